// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QObject>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// Tells when a USB device comes or goes, or is bound to or unbound from a
// driver (usbip-host among them), whoever did it: udev's events of the usb
// subsystem, read from its netlink socket when they arrive, never polled.
// Without udev (a container, a test) it stays silent.
class UsbDeviceWatch : public QObject
{
    Q_OBJECT
public:
    explicit UsbDeviceWatch(QObject *parent = nullptr);
    ~UsbDeviceWatch() override;

Q_SIGNALS:
    void changed();

private:
    void readEvents();

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};
