// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipserver.h"

#include "helperprocess.h"
#include "ovrausbipmanager.h"
#include "ovrawait.h"
#include "usbipgrammar.h"

#include <Solid/Block>
#include <Solid/Device>
#include <Solid/GenericInterface>
#include <Solid/StorageDrive>

namespace {

const int RootDeviceTimeoutMs = 30000;

} // namespace

UsbIpServer::UsbIpServer(QObject *parent)
    : QObject(parent)
{
    m_manager.setWaiter(&OvraWait::until);
    m_rootPrefix = computeRootDevicePrefix();
    loadBlacklist();
    // Errors that the Manager reports on its own reach the window like ours.
    connect(&m_manager, &OvraAdminUsbIpInterface::Error, this, &UsbIpServer::error);
}

UsbIpServer::~UsbIpServer() = default;

QString UsbIpServer::computeRootDevicePrefix()
{
    // The name of the device mounted at "/", such as vda or sda2.
    const QString output = helperProcessOutput(
        QStringLiteral("/bin/bash"),
        {QStringLiteral("-c"), QStringLiteral("lsblk -r | grep '/$' | awk '{print $1}'")},
        RootDeviceTimeoutMs);
    return output.left(3);
}

void UsbIpServer::loadBlacklist()
{
    // A missing or unreadable blacklist leaves out nothing.
    UsbIpGrammar::readListFile(OvraUsbIp::blacklistPath(), UsbIpGrammar::BlacklistRules,
                               &m_blacklist);
}

bool UsbIpServer::update()
{
    m_devices.clear();
    if (!m_process.listLocal()) {
        Q_EMIT error(tr("Error updating the list of local devices!"),
                     OvraUsbIp::printableMessage(m_process.standardErrorText()));
        Q_EMIT updated();
        return false;
    }
    const QList<UsbDevice> parsed = parseLocalList(m_process.standardOutputText());
    for (const UsbDevice &device : parsed) {
        if (device.isValid() && !m_blacklist.contains(device.vidPid()))
            m_devices.append(device);
    }
    Q_EMIT updated();
    return true;
}

bool UsbIpServer::share(const UsbDevice &device, bool isConst)
{
    // Only a non-empty vid:pid text asks the Manager to keep the share.
    const QString vidpid = isConst ? device.vidPid() : QString();
    if (!m_manager.callForTruth(QStringLiteral("ShareDevice"),
                                {device.busid(), vidpid.isNull() ? QStringLiteral("") : vidpid},
                                reportAs(tr("Error share device!\n"))))
        return false;
    Q_EMIT shared(device.busid(), isConst);
    return true;
}

bool UsbIpServer::unshare(const UsbDevice &device)
{
    const QString vidpid = device.vidPid();
    if (!m_manager.callForTruth(QStringLiteral("UnshareDevice"),
                                {device.busid(), vidpid.isNull() ? QStringLiteral("") : vidpid},
                                reportAs(tr("Error unshare device!\n"))))
        return false;
    Q_EMIT unshared(device.busid());
    return true;
}

OvraAdminUsbIpInterface::ErrorReport UsbIpServer::reportAs(const QString &headline)
{
    return [this, headline](const QString &detailed) { Q_EMIT error(headline, detailed); };
}

QList<UsbDevice> UsbIpServer::devices() const
{
    return m_devices;
}

QStringList UsbIpServer::storageBusIds() const
{
    QStringList result;
    const QList<Solid::Device> drives =
        Solid::Device::listFromType(Solid::DeviceInterface::StorageDrive, QString());
    for (const Solid::Device &device : drives) {
        const Solid::Block *block = device.as<Solid::Block>();
        const Solid::StorageDrive *drive = device.as<Solid::StorageDrive>();
        const Solid::GenericInterface *generic = device.as<Solid::GenericInterface>();
        if (!block || !generic)
            continue;
        // An empty prefix is found in every path: then no drive qualifies.
        if (block->device().contains(m_rootPrefix))
            continue;
        if (!drive || !drive->isValid())
            continue;
        if (!drive->isRemovable() || !drive->isHotpluggable())
            continue;
        if (drive->bus() != Solid::StorageDrive::Usb)
            continue;
        if (drive->driveType() == Solid::StorageDrive::CdromDrive)
            continue;
        const QString siblingId = generic->property(QStringLiteral("SiblingId")).toString();
        result.append(UsbIpGrammar::busIdOfDevicePath(siblingId, UsbIpGrammar::WindowBusIds));
    }
    return result;
}
