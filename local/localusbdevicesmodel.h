// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbdevice.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QStringList>

class UsbIpServer;

// The table of the "Local USB storages" tab: the storage devices of the
// local sharing service (and whatever this machine already exports), with
// their shared state.
class LocalUsbDevicesModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { BusIdColumn = 0, VidPidColumn, StatusColumn, NameColumn };

    explicit LocalUsbDevicesModel(UsbIpServer &server, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    QModelIndex indexOf(const QString &busid) const;
    QString busidAt(const QModelIndex &index) const;
    UsbDevice deviceAt(const QModelIndex &index) const;
    bool isShared(const QModelIndex &index) const;

Q_SIGNALS:
    // A failure while refreshing, as the services report theirs.
    void error(const QString &error, const QString &detailed);

private Q_SLOTS:
    void updated();
    void shared(const QString &busid, bool isConst);
    void unshared(const QString &busid);

private:
    friend class TestLocalModel;

    bool isRow(const QModelIndex &index) const;
    QString statusText(int row) const;
    void rowChanged(const QString &busid);

    UsbIpServer &m_server;
    QList<UsbDevice> m_devices;
    QStringList m_busids;
    QHash<QString, bool> m_shared;
    QHash<int, QString> m_headers;
    bool m_testMode = false;
};
