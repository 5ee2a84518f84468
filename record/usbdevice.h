// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbipgrammar.h"

#include <QList>
#include <QMetaType>
#include <QString>

// One USB device, local or remote: a plain value record, filled from the
// fields the tool's output grammars (usbipgrammar.h) read.
class UsbDevice
{
public:
    UsbDevice() = default;

    // One block of `usbip list -l`; no host.
    static UsbDevice fromLocal(const UsbIpGrammar::LocalDevice &device);
    // One device of `usbip list -r HOST`, with `host` as listed (a name as
    // typed, or an address).
    static UsbDevice fromExported(const UsbIpGrammar::ExportedDevice &device, const QString &host);
    // One port block of the port text (what follows "Port "): the device
    // attached there, with the host the port shows (as the tool was given it).
    static UsbDevice fromPortBlock(const QString &block);

    QString busId() const { return m_busId; }
    QString name() const { return m_name; }
    QString vendorId() const { return m_vendorId; }
    QString productId() const { return m_productId; }
    QString host() const { return m_host; }

    // "vvvv:pppp"; empty when both ids are empty.
    QString vidPid() const;
    // Bus id and name both non-empty.
    bool isValid() const;
    // "host/busid/vid:pid" with the host as listed: what names a remote
    // device to the Manager and in the constant-connections file.
    QString deviceId() const;

private:
    UsbDevice(const QString &busId, const QString &name, const QString &vendorId,
              const QString &productId, const QString &host);

    QString m_busId;
    QString m_name;
    QString m_vendorId;
    QString m_productId;
    QString m_host;
};

Q_DECLARE_METATYPE(UsbDevice)

// The valid records of a `usbip list -l` output, in output order.
QList<UsbDevice> localDevices(const QString &text);
// The valid records of a `usbip list -r HOST` output, in output order.
QList<UsbDevice> exportedDevices(const QString &text, const QString &host);
// The valid records of the devices attached to this machine, from the port
// text of `usbip port` (as the Manager's PortsInfo returns it).
QList<UsbDevice> attachedDevices(const QString &portText);
