// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbdevice.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// A device id read back into its parts: a line of the constant-connections
// file, or the remote device of an attached port ("host/busid/vid:pid").
struct DeviceId
{
    QString host;
    QString busId;
    QString vidPid; // may be empty
    QString text; // as it was written

    // Empty parts when `text` is not of the form.
    static DeviceId parse(const QString &text);
    bool isValid() const { return !host.isEmpty() && !busId.isEmpty(); }
};

// One attached port of this machine: the remote device and the port number
// as text ("00" stays "00").
struct AttachedPort
{
    DeviceId device;
    QString port;
};

// The attached ports of a port text (`usbip port`, as the Manager's PortsInfo
// answers), in port order; a port whose remote line names no whole bus id is
// left out.
QList<AttachedPort> attachedPorts(const QString &portText);

// Whether a device id names the device of a row. The bus ids are the same,
// the vid:pid texts too (an id without one names the device by host and bus
// id alone), and the hosts are the same host: the same name without regard
// to case, or names and addresses that resolve to the same address — the
// host a row was listed under ("nas", "NAS", "nas.lan", "192.168.1.20"),
// the host a port shows (as the tool was given it) and the host of a line
// written by an earlier version all name one device.
class DeviceMatch
{
public:
    // Looks up, once and all at the same time, every host name of `hosts`
    // that is not an address. On the GUI thread the window stays alive
    // meanwhile.
    explicit DeviceMatch(const QStringList &hosts);

    bool sameHost(const QString &a, const QString &b) const;
    bool matches(const UsbDevice &device, const DeviceId &id) const;

    // The first id of `ids` that names `device`; nullptr when none does.
    const DeviceId *find(const UsbDevice &device, const QList<DeviceId> &ids) const;
    const AttachedPort *find(const UsbDevice &device, const QList<AttachedPort> &ports) const;

private:
    QHash<QString, QString> m_addresses;
};
