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
    // Bus ids of the removable USB storage drives that carry no part of the
    // running system (see SystemDisks) and share no USB device (a dock, a
    // card reader) with a drive that does; none at all when the disks of the
    // system could not be told at construction. That failure is reported
    // once, as `error`: the first connection to it queues the signal, which
    // reaches every receiver connected by the time control is back in the
    // event loop.
    QStringList storageBusIds() const;

Q_SIGNALS:
    void updated();
    void shared(const QString &busid, bool isConst);
    void unshared(const QString &busid);
    void error(const QString &error, const QString &detailed);

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    friend class TestUsbIpServer;

    void findSystemDisks();
    // Reports a failed Manager call as `error` under this headline.
    OvraAdminUsbIpInterface::ErrorReport reportAs(const QString &headline);
    void loadBlacklist();

    UsbIpProcess m_process;
    QList<UsbDevice> m_devices;
    OvraAdminUsbIpInterface m_manager;
    // Device paths of the system's disks and their stacks.
    QStringList m_systemDevices;
    // Why they could not be told; empty when they could.
    QString m_systemDisksProblem;
    bool m_systemDisksProblemReported = false;
    QStringList m_blacklist;
};
