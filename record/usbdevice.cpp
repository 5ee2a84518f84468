// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbdevice.h"

#include "usbiplisting.h"

UsbDevice::UsbDevice(const QString &busId, const QString &name, const QString &vendorId,
                     const QString &productId, const QString &host)
    : m_busId(busId)
    , m_name(name)
    , m_vendorId(vendorId)
    , m_productId(productId)
    , m_host(host)
{
}

UsbDevice UsbDevice::fromLocal(const UsbIpGrammar::LocalDevice &device)
{
    if (!device.described || device.busId.isEmpty())
        return UsbDevice();
    return UsbDevice(device.busId, device.name, device.vendorId, device.productId, QString());
}

UsbDevice UsbDevice::fromExported(const UsbIpGrammar::ExportedDevice &device, const QString &host)
{
    if (device.busId.isEmpty())
        return UsbDevice();
    return UsbDevice(device.busId, device.name, device.vendorId, device.productId, host);
}

UsbDevice UsbDevice::fromPortBlock(const QString &block)
{
    const UsbIpGrammar::PortBlock port = UsbIpGrammar::parsePortBlock(block);
    if (port.lineCount < 4 || port.name.isEmpty())
        return UsbDevice();
    // The whole remote bus id, hub ports included.
    const QString busId =
        port.remoteHost.isEmpty() ? QString() : UsbIpGrammar::leadingBusId(port.remoteBusId);
    return UsbDevice(busId, port.name, port.vendorId, port.productId,
                     busId.isEmpty() ? QString() : port.remoteHost);
}

QString UsbDevice::vidPid() const
{
    return UsbIpGrammar::vidPidText(m_vendorId, m_productId);
}

bool UsbDevice::isValid() const
{
    return !m_busId.isEmpty() && !m_name.isEmpty();
}

QString UsbDevice::deviceId() const
{
    return QStringLiteral("%1/%2/%3").arg(m_host, m_busId, vidPid());
}

QList<UsbDevice> localDevices(const QString &text)
{
    QList<UsbDevice> devices;
    const QList<UsbIpGrammar::LocalDevice> parsed = UsbIpGrammar::parseLocalList(text);
    for (const UsbIpGrammar::LocalDevice &entry : parsed) {
        const UsbDevice device = UsbDevice::fromLocal(entry);
        if (device.isValid())
            devices.append(device);
    }
    return devices;
}

QList<UsbDevice> exportedDevices(const QString &text, const QString &host)
{
    QList<UsbDevice> devices;
    const QList<UsbIpGrammar::ExportedDevice> listed = UsbIpListing::exportedDevices(text);
    for (const UsbIpGrammar::ExportedDevice &device : listed)
        devices.append(UsbDevice::fromExported(device, host));
    return devices;
}

QList<UsbDevice> attachedDevices(const QString &portText)
{
    QList<UsbDevice> devices;
    const QStringList blocks = UsbIpGrammar::splitPortBlocks(portText);
    for (const QString &block : blocks) {
        const UsbDevice device = UsbDevice::fromPortBlock(block);
        if (device.isValid())
            devices.append(device);
    }
    return devices;
}
