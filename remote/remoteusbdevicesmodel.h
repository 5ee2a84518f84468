// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbdevice.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QMap>
#include <QStringList>
#include <QTimer>

class UsbIpClient;

// The table of the "Remote USB storages" tab: the device list of one
// UsbIpClient with each device's connection state. It restores constant
// attachments on every refresh and watches for lost connections.
class RemoteUsbDevicesModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { HostColumn = 0, BusIdColumn, VidPidColumn, StatusColumn, NameColumn };

    // How often, and how far apart, a fresh attachment is looked for in the
    // port table before the row is left as the last snapshot shows it.
    static constexpr int AttachPollCount = 10;
    static constexpr int AttachPollPauseMs = 100;
    static constexpr int LostCheckIntervalMs = 60000;

    explicit RemoteUsbDevicesModel(UsbIpClient &client, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    QString usbipIdAt(const QModelIndex &index) const;
    QStringList keysAt(const QModelIndex &index) const;
    QString portAt(const QModelIndex &index) const;
    bool isAttached(const QModelIndex &index) const;
    bool isConstant(const QModelIndex &index) const;
    bool isLost(const QModelIndex &index) const;
    QModelIndex indexOf(const QString &usbipId) const;

    // The lost-connection watch runs while this is true.
    bool isWatching() const { return m_timer.isActive(); }

public Q_SLOTS:
    void checkConnections();

private Q_SLOTS:
    void updated();
    void attached(const QString &busid);
    void detached(const QString &port);

private:
    bool isRow(const QModelIndex &index) const;
    bool anyKeyAttached(const QStringList &keys) const;
    bool anyKeyConstant(const QStringList &keys) const;
    QString statusText(int row) const;
    void rowChanged(int row);

    UsbIpClient &m_client;
    QList<UsbDevice> m_devices;
    QStringList m_ids;
    QStringList m_constant;
    QStringList m_lost;
    QHash<QString, QString> m_ports;
    QMap<int, QString> m_headers;
    QTimer m_timer;
};
