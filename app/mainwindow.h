// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "hostbrowser.h"
#include "localsharing.h"
#include "platform.h"
#include "remotedevices.h"

#include <QList>
#include <QMainWindow>
#include <QModelIndex>
#include <QPair>

#include <memory>

namespace Ui {
class MainWindow;
}

class LocalDevicesModel;
class RemoteDevicesModel;
class QTreeView;

// The program's only window: the local tab shares this machine's USB storage
// devices, the remote tab attaches the devices another host exports.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(const Platform &platform, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The beginning of every device identifier of a whole storage drive.
    static const QString DrivePrefix;

protected:
    void showEvent(QShowEvent *event) override;

private Q_SLOTS:
    void shareDevice(bool isConst = false);
    void unshareDevice();
    void editShareAccess();
    void updateRemoteDevices();
    void connectDevice(bool isConst = false);
    void disconnectDevice();
    void hostChanged(const QString &host);
    void localDoubleClicked(const QModelIndex &index);
    void remoteDoubleClicked(const QModelIndex &index);
    void scanNetwork();
    void localContextMenuRequested(const QPoint &pos);
    void remoteContextMenuRequested(const QPoint &pos);
    void showError(const QString &error, const QString &detailed = QString());
    // Lists `host` as if it had been typed into the host field.
    void listHost(const QString &host);
    // A constant connection the Manager lost or attached again: a desktop
    // notification, not a box (the Manager heals it by itself).
    void notifyConnectionChange(const ConnectionChange &change);

private:
    // A drive that has just come or gone needs a moment before the tool
    // lists it: a listing the user or a drive asks for waits that moment
    // first, also when it was held back during a call; the one at start
    // does not.
    enum Pause { NoPause, PauseFirst };
    void updateLocalDevices(Pause pause = NoPause);
    void loadSettings();
    void saveSettings();
    void initLocalTab();
    void initRemoteTab();
    void updateLocalButtons();
    void updateRemoteButtons();
    QModelIndex currentLocalIndex() const;
    QModelIndex currentRemoteIndex() const;
    static void selectRow(QTreeView *view, const QModelIndex &index);
    // Has the boxes waiting shown once control is back in the event loop and
    // no call waits.
    void postErrorBoxes();
    // Shows the boxes waiting, one after the other.
    void showErrorBoxes();

    Ui::MainWindow *m_ui;
    LocalSharing m_local;
    RemoteDevices m_remote;
    HostBrowser m_announcedHosts;
    std::unique_ptr<LocalDevicesModel> m_localModel;
    std::unique_ptr<RemoteDevicesModel> m_remoteModel;
    // The failure whose box is showing, then those waiting for their turn.
    QList<QPair<QString, QString>> m_errorBoxes;
    bool m_showingBox = false;
    // Boxes of failures in the constructor wait until the window is shown.
    bool m_constructed = false;
    // Who may attach is asked with the first local listing.
    bool m_accessAsked = false;
};
