// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <functional>

#include <QList>
#include <QString>

// What the Manager service reads and writes of the kernel's sysfs, below a
// root folder that is /sys on a real machine and a stand-in tree in the
// tests and the sandbox, and the records `usbip attach` keeps beside the
// vhci driver (/var/run/vhci_hcd). Bus ids and module names reaching it have
// been checked already (they never name a path of their own).
class Sysfs
{
public:
    explicit Sysfs(const QString &root = QStringLiteral("/sys"),
                   const QString &vhciStateDir = QStringLiteral("/var/run/vhci_hcd"));

    // The kernel modules the Manager may load (no other module is ever
    // loaded), and the driver a shared device is bound to.
    static constexpr char UsbipHostModule[] = "usbip-host";
    static constexpr char VhciModule[] = "vhci-hcd";
    static constexpr char UsbipHostDriver[] = "usbip-host";

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

    // A virtual port that a device sits on, and the device as the record of
    // `usbip attach` names it (host and bus id empty without a readable
    // record).
    struct ImportedPort
    {
        int port = -1;
        QString host;
        QString busId;
    };
    // The vhci driver's ports in use, read from its port tables and the
    // records: a few small files, no tool run. None when the driver is not
    // loaded; false with `error` when a table cannot be read.
    bool importedPorts(QList<ImportedPort> *ports, QString *error = nullptr) const;
    // The port of `ports` that holds the device `busId` of `host`; null for none.
    static const ImportedPort *findImported(const QList<ImportedPort> &ports, const QString &host,
                                            const QString &busId);

    // A USB device of this machine (no interface, no root hub).
    struct UsbDevice
    {
        QString busId;
        QString vidPid; // "vvvv:pppp" as the kernel shows the ids
        QString driver; // the name of the device's driver; empty without one
        bool imported = false; // a device attached over USB/IP (below vhci_hcd)
    };
    // The USB devices whose model `wanted` says yes to (ids read first, the
    // rest only for those).
    QList<UsbDevice> usbDevices(const std::function<bool(const QString &vidPid)> &wanted) const;

private:
    QString m_root;
    QString m_vhciStateDir;
};
