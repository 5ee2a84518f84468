// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbdevicewatch.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cstring>
#include <libudev.h>

Q_LOGGING_CATEGORY(lcWatch, "ovra.managerd.watch", QtInfoMsg)

UsbDeviceWatch::UsbDeviceWatch(QObject *parent)
    : QObject(parent)
    , m_udev(udev_new())
{
    // Events as udev passed them on, of whole devices (not interfaces).
    m_monitor = m_udev ? udev_monitor_new_from_netlink(m_udev, "udev") : nullptr;
    if (!m_monitor
        || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") < 0
        || udev_monitor_enable_receiving(m_monitor) < 0) {
        qCWarning(lcWatch) << "cannot watch udev's USB events: shared devices are counted "
                              "after each call only";
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UsbDeviceWatch::readEvents);
}

UsbDeviceWatch::~UsbDeviceWatch()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

void UsbDeviceWatch::readEvents()
{
    // The socket does not block: everything queued, then back to the loop.
    bool relevant = false;
    while (udev_device *device = udev_monitor_receive_device(m_monitor)) {
        const char *action = udev_device_get_action(device);
        for (const char *wanted : {"add", "remove", "bind", "unbind"})
            relevant = relevant || (action && std::strcmp(action, wanted) == 0);
        udev_device_unref(device);
    }
    if (relevant)
        Q_EMIT changed();
}
