// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "devicematch.h"

#include "nethelpers.h"
#include "ovrawait.h"

#include <QRegularExpression>

DeviceId DeviceId::parse(const QString &text)
{
    // The host may be an IPv6 address; it never holds a slash.
    static const QRegularExpression form(
        QStringLiteral("\\A(?<host>[^/]+)/(?<busid>[^/]+)/(?<vidpid>[^/]*)\\z"));
    const QRegularExpressionMatch match = form.match(text);
    DeviceId id;
    id.text = text;
    if (match.hasMatch() && UsbIpGrammar::isBusId(match.captured(QStringLiteral("busid")))) {
        id.host = match.captured(QStringLiteral("host"));
        id.busId = match.captured(QStringLiteral("busid"));
        id.vidPid = match.captured(QStringLiteral("vidpid"));
    }
    return id;
}

QList<AttachedPort> attachedPorts(const QString &portText)
{
    QList<AttachedPort> ports;
    const QStringList blocks = UsbIpGrammar::splitPortBlocks(portText);
    for (const QString &block : blocks) {
        const UsbIpGrammar::PortBlock port = UsbIpGrammar::parsePortBlock(block);
        if (port.lineCount < 3 || port.port.isEmpty() || port.remoteHost.isEmpty()
            || !UsbIpGrammar::isBusId(port.remoteBusId))
            continue;
        AttachedPort attached;
        attached.device.host = port.remoteHost;
        attached.device.busId = port.remoteBusId;
        attached.device.vidPid = UsbIpGrammar::vidPidText(port.vendorId, port.productId);
        attached.device.text =
            QStringLiteral("%1/%2/%3")
                .arg(attached.device.host, attached.device.busId, attached.device.vidPid);
        attached.port = port.port;
        ports.append(attached);
    }
    return ports;
}

DeviceMatch::DeviceMatch(const QStringList &hosts)
    : m_addresses(hostAddresses(hosts, OvraWait::isAvailable() ? Wait(&OvraWait::until) : Wait()))
{
}

bool DeviceMatch::sameHost(const QString &a, const QString &b) const
{
    if (a.compare(b, Qt::CaseInsensitive) == 0)
        return true;
    const QString address = m_addresses.value(a);
    return !address.isEmpty() && address == m_addresses.value(b);
}

bool DeviceMatch::matches(const UsbDevice &device, const DeviceId &id) const
{
    return id.isValid() && device.busId() == id.busId
        && (id.vidPid.isEmpty() || device.vidPid().compare(id.vidPid, Qt::CaseInsensitive) == 0)
        && sameHost(device.host(), id.host);
}

const DeviceId *DeviceMatch::find(const UsbDevice &device, const QList<DeviceId> &ids) const
{
    for (const DeviceId &id : ids) {
        if (matches(device, id))
            return &id;
    }
    return nullptr;
}

const AttachedPort *DeviceMatch::find(const UsbDevice &device,
                                      const QList<AttachedPort> &ports) const
{
    for (const AttachedPort &port : ports) {
        if (matches(device, port.device))
            return &port;
    }
    return nullptr;
}
