// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

namespace Ui {
class ScanNetworkDialog;
}

class RemoteDevices;

// The modal dialog in which the user picks one of this machine's IPv4
// networks and a per-host time-out, and starts, watches and stops a scan of
// that network. The scan itself runs on the remote service's worker thread.
class ScanNetworkDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ScanNetworkDialog(RemoteDevices *remote, QWidget *parent = nullptr);
    // The same with the networks to offer given (network address text ->
    // last host offset) instead of this machine's own.
    ScanNetworkDialog(RemoteDevices *remote, const QMap<QString, int> &subnets,
                      QWidget *parent = nullptr);
    ~ScanNetworkDialog() override;

Q_SIGNALS:
    // A scan starts: only for a network with an address to scan.
    void scanNetwork(const QString &subnet, int count, int timeout);

public Q_SLOTS:
    void reject() override;

private Q_SLOTS:
    void scan();
    void stop();
    void scanNetworkProgress(int value);

private:
    void loadSettings();
    void saveSettings();

    Ui::ScanNetworkDialog *m_ui;
    RemoteDevices *m_remote;
    QMap<QString, int> m_subnets;
};
