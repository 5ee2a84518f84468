// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipclient.h"

#include "nethelpers.h"
#include "networkscan.h"
#include "ovrausbipmanager.h"
#include "ovrawait.h"
#include "shareddevicesfile.h"
#include "usbiplisting.h"

#include <QMutexLocker>

UsbIpClient::UsbIpClient(const QString &host, QObject *parent)
    : QObject(parent)
    , m_host(host)
{
    m_manager.setWaiter(&OvraWait::until);
}

UsbIpClient::~UsbIpClient() = default;

void UsbIpClient::setHost(const QString &host)
{
    m_host = host;
}

void UsbIpClient::setKernelVersion(int version)
{
    m_kernelVersion = version;
}

bool UsbIpClient::update()
{
    setDevices(QList<UsbDevice>());
    if (!m_process.listRemote(m_host, UsbIpListing::RemoteListTimeoutMs)) {
        Q_EMIT error(tr("Error updating the list of remote devices!"),
                     OvraUsbIp::printableMessage(UsbIpListing::failureText(m_process)));
        Q_EMIT updated();
        return false;
    }
    setDevices(parseRemoteList(m_process.standardOutputText(), m_host));
    Q_EMIT updated();
    return true;
}

QList<UsbDevice> UsbIpClient::devices() const
{
    QMutexLocker locker(&m_devicesMutex);
    return m_devices;
}

void UsbIpClient::setDevices(const QList<UsbDevice> &devices)
{
    QMutexLocker locker(&m_devicesMutex);
    m_devices = devices;
}

QList<UsbDevice> UsbIpClient::parseRemoteBlocks(const QString &text, const QString &host)
{
    QList<UsbDevice> result;
    const QStringList blocks = splitRemoteBlocks(text);
    for (const QString &block : blocks) {
        const UsbDevice device = UsbDevice::fromRemoteBlock(block, host);
        if (device.isValid())
            result.append(device);
    }
    return result;
}

QList<UsbDevice> UsbIpClient::parseRemoteList(const QString &text, const QString &host)
{
    QList<UsbDevice> result = parseRemoteBlocks(text, host);
    if (m_kernelVersion > OwnDevicesOnlyUpToKernel)
        result += attachedDevices();
    return result;
}

QList<UsbDevice> UsbIpClient::attachedDevices()
{
    QList<UsbDevice> result;
    const QStringList blocks = portsInfo();
    for (const QString &block : blocks) {
        const UsbDevice device = UsbDevice::fromPortBlock(block);
        if (device.isValid())
            result.append(device);
    }
    return result;
}

QStringList UsbIpClient::portsInfo()
{
    // May run in the GUI thread and, during a scan, in the worker thread; the
    // proxy's connection and pending calls are safe for both.
    const std::optional<QString> text = m_manager.callForText(
        QStringLiteral("PortsInfo"), {}, reportAs(tr("Error get ports info!")));
    return text ? splitPortBlocks(*text) : QStringList();
}

QHash<QString, QString> UsbIpClient::ports()
{
    return portTable(portsInfo());
}

bool UsbIpClient::connectDevice(const QString &usbipId, bool isConst)
{
    if (!m_manager.callForTruth(
            QStringLiteral("ConnectDevice"),
            {usbipId.isNull() ? QStringLiteral("") : usbipId, QVariant::fromValue(isConst)},
            reportAs(tr("Error connect to device!\n"))))
        return false;
    Q_EMIT attached(usbipId);
    return true;
}

bool UsbIpClient::disconnectDevice(const QStringList &keys, const QString &port)
{
    // The id under which the device is kept constantly, if it is.
    const QStringList constant = constantConnections();
    QString usbipId = QStringLiteral("");
    for (const QString &key : keys) {
        if (constant.contains(key)) {
            usbipId = key;
            break;
        }
    }
    if (!m_manager.callForTruth(QStringLiteral("DisconnectDevice"),
                                {usbipId, port.isNull() ? QStringLiteral("") : port},
                                reportAs(tr("Error disconnect device!\n"))))
        return false;
    Q_EMIT detached(port);
    return true;
}

OvraAdminUsbIpInterface::ErrorReport UsbIpClient::reportAs(const QString &headline)
{
    return [this, headline](const QString &detailed) { Q_EMIT error(headline, detailed); };
}

void UsbIpClient::stopScan()
{
    m_stop = true;
    // The stop ends the scan running now and every scan asked for before it,
    // also one still waiting in the worker's queue; it is cleared only once
    // the worker has come to this point of its queue.
    QMetaObject::invokeMethod(
        this, [this] { m_stop = false; }, Qt::QueuedConnection);
}

void UsbIpClient::scanNetwork(const QString &subnet, int count, int timeout)
{
    NetworkScan scan(subnet, count, timeout, UsbIpListing::RemoteListTimeoutMs);
    scan.setSkippedAddresses(localAddresses());
    const bool finished = scan.run(
        m_stop, [this](int offset) { Q_EMIT scanNetworkProgress(offset); },
        [this](const QString &text, const QString &host) { return parseRemoteBlocks(text, host); });
    if (!finished) {
        Q_EMIT scanNetworkProgress(1);
        return; // the previous list stays, and nothing is announced
    }

    // The devices attached here are the same whichever host answered: list
    // them once, with one Manager call, after the hosts' own devices.
    QList<UsbDevice> result = scan.devices();
    if (scan.anyListed() && m_kernelVersion > OwnDevicesOnlyUpToKernel)
        result += attachedDevices();

    setDevices(result);
    Q_EMIT updated();
}
