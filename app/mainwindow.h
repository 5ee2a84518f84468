// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbipclient.h"
#include "usbipserver.h"

#include <QList>
#include <QMainWindow>
#include <QModelIndex>
#include <QPair>
#include <QThread>

#include <memory>

namespace Ui {
class MainWindow;
}

class LocalUsbDevicesModel;
class RemoteUsbDevicesModel;
class QTreeView;

// The program's only window: the local tab shares this machine's USB storage
// devices, the remote tab attaches the devices another host exports.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The beginning of every device identifier of a whole storage drive.
    static const QString DrivePrefix;

private Q_SLOTS:
    void updateLocalDevices();
    void shareDevice(bool isConst = false);
    void unshareDevice();
    void updateRemoteDevices();
    void connectDevice(bool isConst = false);
    void disconnectDevice();
    void currentLocalDeviceChanged(const QModelIndex &current, const QModelIndex &previous);
    void currentRemoteDeviceChanged(const QModelIndex &current, const QModelIndex &previous);
    void hostChanged(const QString &host);
    void localDoubleClicked(const QModelIndex &index);
    void remoteDoubleClicked(const QModelIndex &index);
    void scanNetwork();
    void localContextMenuRequested(const QPoint &pos);
    void remoteContextMenuRequested(const QPoint &pos);
    void showError(const QString &error, const QString &detailed = QString());

private:
    void loadSettings();
    void saveSettings();
    void initLocalTab();
    void initRemoteTab();
    void updateLocalButtons();
    void updateRemoteButtons();
    QModelIndex currentLocalIndex() const;
    QModelIndex currentRemoteIndex() const;
    static void selectRow(QTreeView *view, const QModelIndex &index);
    void showErrorBox(const QString &error, const QString &detailed);

    Ui::MainWindow *m_ui;
    UsbIpServer m_server;
    UsbIpClient m_client;
    QThread m_thread;
    std::unique_ptr<LocalUsbDevicesModel> m_localModel;
    std::unique_ptr<RemoteUsbDevicesModel> m_remoteModel;
    // The failure whose box is showing, then those waiting for their turn.
    QList<QPair<QString, QString>> m_errorBoxes;
};
