// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipserver.h"

#include "ovrausbipmanager.h"
#include "ovrawait.h"
#include "systemdisks.h"
#include "usbipgrammar.h"

#include <QMetaMethod>

#include <Solid/Block>
#include <Solid/Device>
#include <Solid/GenericInterface>
#include <Solid/StorageDrive>

namespace {

const int SystemDisksTimeoutMs = 30000;

} // namespace

UsbIpServer::UsbIpServer(QObject *parent)
    : QObject(parent)
{
    m_manager.setWaiter(&OvraWait::until);
    findSystemDisks();
    loadBlacklist();
    // Errors that the Manager reports on its own reach the window like ours;
    // their detail is the tool's raw standard error.
    connect(&m_manager, &OvraAdminUsbIpInterface::Error, this,
            [this](const QString &headline, const QString &message) {
                Q_EMIT error(headline, OvraUsbIp::printableMessage(message));
            });
}

UsbIpServer::~UsbIpServer() = default;

void UsbIpServer::findSystemDisks()
{
    const SystemDisks::Result found = SystemDisks::find(SystemDisksTimeoutMs);
    QString reason;
    switch (found.problem) {
    case SystemDisks::Problem::None:
        m_systemDevices = found.devices;
        return;
    case SystemDisks::Problem::NotRun:
        reason = tr("The program lsblk could not be run.");
        break;
    case SystemDisks::Problem::Failed:
        reason = OvraUsbIp::printableMessage(QString::fromLocal8Bit(found.toolMessage));
        if (reason.isEmpty())
            reason = tr("The program lsblk failed.");
        break;
    case SystemDisks::Problem::Unreadable:
        reason = tr("The output of lsblk cannot be read.");
        break;
    case SystemDisks::Problem::NoRoot:
        reason = tr("No block device holds the root file system.");
        break;
    }
    // Fail safe: a drive that might hold the system is never offered.
    m_systemDisksProblem =
        tr("No drive is offered for sharing: the disks of the running system cannot be told "
           "apart from the others.")
        + QLatin1Char('\n') + reason;
}

void UsbIpServer::connectNotify(const QMetaMethod &signal)
{
    QObject::connectNotify(signal);
    // The disks are looked at during construction, before anyone listens.
    if (signal != QMetaMethod::fromSignal(&UsbIpServer::error) || m_systemDisksProblem.isEmpty()
        || m_systemDisksProblemReported)
        return;
    m_systemDisksProblemReported = true;
    QMetaObject::invokeMethod(
        this,
        [this]() {
            Q_EMIT error(tr("Error updating the list of local devices!"), m_systemDisksProblem);
        },
        Qt::QueuedConnection);
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
    if (!m_systemDisksProblem.isEmpty())
        return result;
    const QList<Solid::Device> drives =
        Solid::Device::listFromType(Solid::DeviceInterface::StorageDrive, QString());
    auto busIdOf = [](const Solid::GenericInterface *generic) {
        const QString siblingId = generic->property(QStringLiteral("SiblingId")).toString();
        return UsbIpGrammar::busIdOfDevicePath(siblingId, UsbIpGrammar::WindowBusIds);
    };
    // Sharing binds the whole USB device: a dock or card reader that holds a
    // system disk in one slot must not be offered for the others.
    QStringList systemBusIds;
    for (const Solid::Device &device : drives) {
        const Solid::Block *block = device.as<Solid::Block>();
        const Solid::GenericInterface *generic = device.as<Solid::GenericInterface>();
        if (block && generic && m_systemDevices.contains(block->device())) {
            const QString busId = busIdOf(generic);
            // A disk that is no USB device (NVMe, SATA) shares no bus id.
            if (!busId.isEmpty())
                systemBusIds.append(busId);
        }
    }
    for (const Solid::Device &device : drives) {
        const Solid::Block *block = device.as<Solid::Block>();
        const Solid::StorageDrive *drive = device.as<Solid::StorageDrive>();
        const Solid::GenericInterface *generic = device.as<Solid::GenericInterface>();
        if (!block || !generic)
            continue;
        if (m_systemDevices.contains(block->device()))
            continue;
        if (!drive || !drive->isValid())
            continue;
        if (!drive->isRemovable() || !drive->isHotpluggable())
            continue;
        if (drive->bus() != Solid::StorageDrive::Usb)
            continue;
        if (drive->driveType() == Solid::StorageDrive::CdromDrive)
            continue;
        const QString busId = busIdOf(generic);
        if (!systemBusIds.contains(busId))
            result.append(busId);
    }
    return result;
}
