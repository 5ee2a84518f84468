// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipclient.h"

#include "nethelpers.h"
#include "networkscan.h"
#include "shareddevicesfile.h"

#include <QDBusPendingCall>
#include <QMutexLocker>

namespace {

const int RemoteListTimeoutMs = 1000;

} // namespace

UsbIpClient::UsbIpClient(const QString &host, QObject *parent)
    : QObject(parent)
    , m_host(host)
{
}

UsbIpClient::~UsbIpClient() = default;

void UsbIpClient::setHost(const QString &host)
{
    m_host = host;
}

QString UsbIpClient::host() const
{
    return m_host;
}

void UsbIpClient::setKernelVersion(int version)
{
    m_kernelVersion = version;
}

int UsbIpClient::kernelVersion() const
{
    return m_kernelVersion;
}

bool UsbIpClient::update()
{
    setDevices(QList<UsbDevice>());
    if (!m_process.listRemote(m_host, RemoteListTimeoutMs)) {
        emit error(tr("Error updating the list of remote devices!"), QString());
        emit updated();
        return false;
    }
    setDevices(parseRemoteList(m_process.standardOutputText(), m_host));
    emit updated();
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
    if (m_kernelVersion > 4)
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
    QDBusPendingCall call = m_manager.callUntyped(QStringLiteral("PortsInfo"), {});
    call.waitForFinished();
    if (call.isError()) {
        emit error(tr("Error get ports info!"), m_manager.errorText(call.error().type()));
        return QStringList();
    }
    return splitPortBlocks(OvraAdminUsbIpInterface::stringReply(call));
}

QHash<QString, QString> UsbIpClient::ports()
{
    return portTable(portsInfo());
}

bool UsbIpClient::connectDevice(const QString &usbipId, bool isConst)
{
    QDBusPendingCall call = m_manager.callUntyped(
        QStringLiteral("ConnectDevice"),
        {usbipId.isNull() ? QStringLiteral("") : usbipId, QVariant::fromValue(isConst)});
    call.waitForFinished();
    if (call.isError()) {
        emit error(tr("Error connect to device!\n"), m_manager.errorText(call.error().type()));
        return false;
    }
    if (!OvraAdminUsbIpInterface::boolReply(call))
        return false;
    emit attached(usbipId);
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
    QDBusPendingCall call = m_manager.callUntyped(
        QStringLiteral("DisconnectDevice"), {usbipId, port.isNull() ? QStringLiteral("") : port});
    call.waitForFinished();
    if (call.isError()) {
        emit error(tr("Error disconnect device!\n"), m_manager.errorText(call.error().type()));
        return false;
    }
    if (!OvraAdminUsbIpInterface::boolReply(call))
        return false;
    emit detached(port);
    return true;
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
    NetworkScan scan(subnet, count, timeout, RemoteListTimeoutMs);
    scan.setSkippedAddresses(localAddresses());
    const bool finished = scan.run(
        m_stop, [this](int offset) { emit scanNetworkProgress(offset); },
        [this](const QString &text, const QString &host) { return parseRemoteBlocks(text, host); });
    if (!finished) {
        emit scanNetworkProgress(1);
        return; // the previous list stays, and nothing is announced
    }

    // The devices attached here are the same whichever host answered: list
    // them once, with one Manager call, after the hosts' own devices.
    QList<UsbDevice> result = scan.devices();
    if (scan.anyListed() && m_kernelVersion > 4)
        result += attachedDevices();

    setDevices(result);
    emit updated();
}
