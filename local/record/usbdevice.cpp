// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbdevice.h"

#include "nethelpers.h"

using UsbIpGrammar::WindowBusIds;

namespace {

// The name a reverse look-up of the host's address gives, when that name
// leads back to the same address; otherwise the address itself (as when
// there is no reverse entry). Whoever holds an address writes its reverse
// entry, so only a name that the forward look-up confirms stands for the
// host; empty when the host has no address.
QString confirmedHostName(const QString &host)
{
    const QString address = cachedHostAddress(host);
    if (address.isEmpty())
        return QString();
    const QString name = cachedHostName(host);
    return cachedHostAddress(name) == address ? name : address;
}

} // namespace

UsbDevice::UsbDevice(const QString &busid, const QString &name, const QString &vendorId,
                     const QString &productId, const QString &host)
    : m_busid(busid)
    , m_name(name)
    , m_vendorId(vendorId)
    , m_productId(productId)
    , m_host(host)
{
}

UsbDevice UsbDevice::fromLocalBlock(const QString &block)
{
    const UsbIpGrammar::LocalDevice parsed = UsbIpGrammar::parseLocalBlock(block, WindowBusIds);
    if (!parsed.described || parsed.busId.isEmpty())
        return UsbDevice();
    return UsbDevice(parsed.busId, parsed.name, parsed.vendorId, parsed.productId, QString());
}

UsbDevice UsbDevice::fromRemoteBlock(const QString &block, const QString &host)
{
    const UsbIpGrammar::ExportedDevice parsed = UsbIpGrammar::parseRemoteBlock(block, WindowBusIds);
    if (parsed.busId.isEmpty())
        return UsbDevice();
    UsbDevice device(parsed.busId, parsed.name, parsed.vendorId, parsed.productId, host);
    // Keys cost name look-ups; a record that is dropped needs none.
    if (device.isValid())
        device.fillKeys();
    return device;
}

UsbDevice UsbDevice::fromPortBlock(const QString &block)
{
    const UsbIpGrammar::PortBlock port = UsbIpGrammar::parsePortBlock(block);
    if (port.lineCount < 4 || port.name.isEmpty())
        return UsbDevice();
    // The whole remote bus id, hub ports included, as the port table has it.
    const QString busid = port.remoteHost.isEmpty()
        ? QString()
        : UsbIpGrammar::leadingBusId(port.remoteBusId, WindowBusIds);
    UsbDevice device(busid, port.name, port.vendorId, port.productId,
                     busid.isEmpty() ? QString() : port.remoteHost);
    if (device.isValid())
        device.fillKeys();
    return device;
}

QString UsbDevice::vidPid() const
{
    return UsbIpGrammar::vidPidText(m_vendorId, m_productId);
}

bool UsbDevice::isValid() const
{
    return !m_busid.isEmpty() && !m_name.isEmpty();
}

QString UsbDevice::key(int form) const
{
    QString hostText;
    switch (form) {
    case DeviceId:
        // The host exactly as it was listed, a name as typed or an address:
        // the Manager attaches it and records it. Never the name a reverse
        // look-up gives: whoever answers for the address sets that name, and
        // it may lead to another machine.
        hostText = m_host;
        break;
    case AddressKey:
        hostText = cachedHostAddress(m_host);
        break;
    case HostNameKey:
        hostText = confirmedHostName(m_host);
        break;
    default:
        return QString();
    }
    return QStringLiteral("%1/%2/%3").arg(hostText, m_busid, vidPid());
}

bool UsbDevice::operator==(const UsbDevice &other) const
{
    return m_busid == other.m_busid && m_name == other.m_name && m_vendorId == other.m_vendorId
        && m_productId == other.m_productId && m_host == other.m_host && m_keys == other.m_keys;
}

void UsbDevice::fillKeys()
{
    m_keys = QStringList{key(HostNameKey), key(AddressKey)};
    // A port shows the host as the tool was given it: the address, or, for a
    // device attached under a name, that name, which is the device id's.
    const QString id = key(DeviceId);
    if (!m_keys.contains(id))
        m_keys.append(id);
}

QList<UsbDevice> parseLocalList(const QString &text)
{
    QList<UsbDevice> devices;
    const QStringList blocks = UsbIpGrammar::splitLocalBlocks(text);
    for (const QString &block : blocks)
        devices.append(UsbDevice::fromLocalBlock(block));
    return devices;
}

PortInfo PortInfo::fromPortBlock(const QString &block)
{
    PortInfo info;
    const UsbIpGrammar::PortBlock port = UsbIpGrammar::parsePortBlock(block);
    if (port.lineCount < 3 || port.port.isEmpty())
        return info;
    info.port = port.port;
    if (UsbIpGrammar::isBusId(port.remoteBusId, WindowBusIds))
        info.key = QStringLiteral("%1/%2/%3")
                       .arg(port.remoteHost, port.remoteBusId,
                            UsbIpGrammar::vidPidText(port.vendorId, port.productId));
    return info;
}

QHash<QString, QString> portTable(const QStringList &portBlocks)
{
    QHash<QString, QString> table;
    for (const QString &block : portBlocks) {
        const PortInfo info = PortInfo::fromPortBlock(block);
        if (info.isValid())
            table.insert(info.key, info.port);
    }
    return table;
}
