// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

namespace Ui {
class ScanNetworkDialog;
}

class HostBrowser;
class QListWidgetItem;
class RemoteDevices;

// The modal dialog in which the user picks one of this machine's IPv4
// networks and a per-host time-out, and starts, watches and stops a scan of
// that network. The scan itself runs on the remote service's worker thread.
// Above it, the hosts that announce shared devices are listed at once (and
// as they come and go); choosing one (a double click, Enter) ends a running
// scan and closes the dialog with that host as chosenHost().
class ScanNetworkDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ScanNetworkDialog(RemoteDevices *remote, const HostBrowser *announced = nullptr,
                               QWidget *parent = nullptr);
    // The same with the networks to offer given (network address text ->
    // last host offset) instead of this machine's own.
    ScanNetworkDialog(RemoteDevices *remote, const QMap<QString, int> &subnets,
                      const HostBrowser *announced = nullptr, QWidget *parent = nullptr);
    ~ScanNetworkDialog() override;

    // The announced host chosen, as the host field takes it; empty when none was.
    QString chosenHost() const { return m_chosenHost; }

Q_SIGNALS:
    // A scan starts: only for a network with an address to scan.
    void scanNetwork(const QString &subnet, int count, int timeout);

public Q_SLOTS:
    void reject() override;

private Q_SLOTS:
    void scan();
    void stop();
    void scanNetworkProgress(int value);
    void showAnnouncedHosts();
    void chooseHost(QListWidgetItem *item);

private:
    void loadSettings();
    void saveSettings();

    Ui::ScanNetworkDialog *m_ui;
    RemoteDevices *m_remote;
    const HostBrowser *m_announced;
    QMap<QString, int> m_subnets;
    QString m_chosenHost;
};
