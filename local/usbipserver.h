// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "ovraadminusbipinterface.h"
#include "usbdevice.h"
#include "usbipprocess.h"

#include <QList>
#include <QObject>
#include <QStringList>

// The local side: lists this machine's shareable USB devices and has the
// Manager service share (bind) and unshare (unbind) them.
class UsbIpServer : public QObject
{
    Q_OBJECT
public:
    explicit UsbIpServer(QObject *parent = nullptr);
    ~UsbIpServer() override;

    bool update();
    bool share(const UsbDevice &device, bool isConst);
    bool unshare(const UsbDevice &device);
    QList<UsbDevice> devices() const;
    // Bus ids of the removable USB storage drives other than the root drive.
    QStringList storageBusIds() const;

Q_SIGNALS:
    void updated();
    void shared(const QString &busid, bool isConst);
    void unshared(const QString &busid);
    void error(const QString &error, const QString &detailed);

private:
    friend class TestUsbIpServer;

    static QString computeRootDevicePrefix();
    // Reports a failed Manager call as `error` under this headline.
    OvraAdminUsbIpInterface::ErrorReport reportAs(const QString &headline);
    void loadBlacklist();

    UsbIpProcess m_process;
    QList<UsbDevice> m_devices;
    OvraAdminUsbIpInterface m_manager;
    QString m_rootPrefix;
    QStringList m_blacklist;
};
