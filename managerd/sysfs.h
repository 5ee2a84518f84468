// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

// What the Manager service reads and writes of the kernel's sysfs, below a
// root folder that is /sys on a real machine and a stand-in tree in the
// tests and the sandbox. Bus ids and module names reaching it have been
// checked already (they never name a path of their own).
class Sysfs
{
public:
    explicit Sysfs(const QString &root = QStringLiteral("/sys"));

    // Whether the kernel module `module` ("usbip-host") is loaded (or built
    // in with parameters): /sys/module/usbip_host exists.
    bool isModuleLoaded(const QString &module) const;

    // The serial number of the local USB device `busId`, as the kernel read
    // it from the device; empty when the device has none (or is gone).
    QString serial(const QString &busId) const;

    // How many virtual ports the vhci driver has (the file nports of
    // vhci_hcd.0, the count `usbip` itself works with): ports 0 to
    // count - 1 exist. -1 with `error` when the count cannot be read.
    int vhciPortCount(QString *error = nullptr) const;

    // How many local devices are bound to usbip-host (shared), whoever bound
    // them: the bus ids in /sys/bus/usb/drivers/usbip-host. 0 when the
    // module is not loaded.
    int sharedDeviceCount() const;

    // Hands the device `busId` to its usual driver again when it has none
    // (after `usbip bind` took it from its driver and then failed): drops
    // it from usbip-host's match table, then the bus's drivers_probe file.
    // A device that has a driver stays as it is.
    bool reprobe(const QString &busId, QString *error = nullptr) const;

private:
    QString m_root;
};
