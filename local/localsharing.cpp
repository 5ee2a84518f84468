// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "localsharing.h"

#include "outsidetext.h"
#include "ovrausbipmanager.h"
#include "ovrawait.h"
#include "systemdisks.h"
#include "usbipgrammar.h"
#include "usbiplisting.h"

#include <Solid/Block>
#include <Solid/Device>
#include <Solid/GenericInterface>
#include <Solid/StorageDrive>

namespace {

// What this machine's own daemon is asked for its exports.
const char ThisMachine[] = "localhost";

} // namespace

AccessState askShareAccess(OvraAdminUsbIpInterface &manager)
{
    AccessState access;
    QDBusPendingReply<bool, QStringList> reply = manager.ShareAccess();
    manager.wait(reply);
    if (OvraAdminUsbIpInterface::isWrongType(reply)) {
        // An answer of another form than (b, as): a Manager that is not ours.
        access.problem = manager.errorText(QDBusError::InvalidSignature);
    } else if (reply.isError()) {
        access.problem = OutsideText::cleaned(manager.errorDetail(reply.error()),
                                              OutsideText::MaxShownChars, OutsideText::Lines::Kept);
        if (reply.error().name() == QLatin1String(OvraUsbIp::AccessListBrokenError))
            access.kind = AccessState::Kind::Broken;
    } else {
        access.kind =
            reply.argumentAt<0>() ? AccessState::Kind::Restricted : AccessState::Kind::AnyHost;
        access.hosts = reply.argumentAt<1>();
    }
    return access;
}

LocalSharing::LocalSharing(const Platform &platform, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
{
    qRegisterMetaType<LocalRow>();
    qRegisterMetaType<QList<LocalRow>>();
    qRegisterMetaType<AccessState>();
    m_manager.setWaiter(&OvraWait::until);
    // A missing or unreadable blacklist leaves out nothing.
    UsbIpGrammar::readListFile(m_platform.blacklistPath(), UsbIpGrammar::BlacklistRules,
                               &m_blacklist);
    // Errors that the Manager reports on its own reach the window like ours;
    // their detail is the tool's standard error.
    connect(&m_manager, &OvraAdminUsbIpInterface::Error, this,
            [this](const QString &headline, const QString &message) {
                Q_EMIT error(OutsideText::cleaned(headline),
                             OutsideText::cleaned(message, OutsideText::MaxShownChars,
                                                  OutsideText::Lines::Kept));
            });
}

LocalSharing::~LocalSharing() = default;

void LocalSharing::findSystemDisks()
{
    m_systemDisksKnown = true;
    const SystemDisks::Result found = SystemDisks::find();
    QString reason;
    switch (found.problem) {
    case SystemDisks::Problem::None:
        m_systemDevices = found.devices;
        return;
    case SystemDisks::Problem::NotRun:
        reason = tr("The program lsblk could not be run.");
        break;
    case SystemDisks::Problem::Failed:
        reason = OutsideText::cleaned(QString::fromLocal8Bit(found.toolMessage),
                                      OutsideText::MaxShownChars, OutsideText::Lines::Kept);
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
    Q_EMIT error(tr("Error updating the list of local devices!"), m_systemDisksProblem);
}

bool LocalSharing::update()
{
    m_rows.clear();
    const ChildResult listing = UsbIpListing::listLocal();
    if (!listing.succeeded()) {
        Q_EMIT updated(m_rows);
        Q_EMIT error(tr("Error updating the list of local devices!"),
                     OutsideText::cleaned(UsbIpListing::failureText(listing),
                                          OutsideText::MaxShownChars, OutsideText::Lines::Kept));
        return false;
    }
    QList<UsbDevice> devices;
    const QList<UsbDevice> listed = localDevices(listing.outputText());
    for (const UsbDevice &device : listed) {
        if (!m_blacklist.contains(device.vidPid()))
            devices.append(device);
    }
    QStringList candidates = m_platform.testMode ? QStringList() : storageBusIds();

    // What the local usbip daemon exports right now is shared already. With
    // no local device there is no row to mark: no wait and no second box.
    UsbIpListing::Exports exports;
    exports.listed = true;
    if (!devices.isEmpty())
        exports = UsbIpListing::listExports(QLatin1String(ThisMachine));
    QStringList constant;
    UsbIpGrammar::readListFile(m_platform.sharedDevicesPath(), UsbIpGrammar::WindowListRules,
                               &constant);
    QHash<QString, LocalRow::Share> shares;
    for (const UsbIpGrammar::ExportedDevice &device : qAsConst(exports.devices)) {
        const bool listedConstantly =
            constant.contains(UsbIpGrammar::vidPidText(device.vendorId, device.productId));
        shares.insert(device.busId,
                      listedConstantly ? LocalRow::Share::Constant : LocalRow::Share::Session);
        candidates.append(device.busId);
    }

    for (const UsbDevice &device : qAsConst(devices)) {
        if (m_platform.testMode || candidates.contains(device.busId()))
            m_rows.append(LocalRow{device, shares.value(device.busId(), LocalRow::Share::None)});
    }
    Q_EMIT updated(m_rows);

    // Without the exports every shared device shows as unshared: say so.
    if (!exports.listed)
        Q_EMIT error(tr("Error updating the list of shared devices!"),
                     OutsideText::cleaned(exports.failure, OutsideText::MaxShownChars,
                                          OutsideText::Lines::Kept));
    return true;
}

bool LocalSharing::share(const UsbDevice &device, bool constant)
{
    // Only a non-empty vid:pid text asks the Manager to keep the share.
    if (!m_manager.truth(m_manager.ShareDevice(device.busId(),
                                               constant ? device.vidPid() : QString()),
                         reportAs(tr("Error share device!\n"))))
        return false;
    setShare(device.busId(), constant ? LocalRow::Share::Constant : LocalRow::Share::Session);
    return true;
}

bool LocalSharing::unshare(const UsbDevice &device)
{
    if (!m_manager.truth(m_manager.UnshareDevice(device.busId(), device.vidPid()),
                         reportAs(tr("Error unshare device!\n"))))
        return false;
    setShare(device.busId(), LocalRow::Share::None);
    return true;
}

AccessState LocalSharing::readAccess()
{
    const AccessState access = askShareAccess(m_manager);
    Q_EMIT accessChanged(access);
    return access;
}

bool LocalSharing::setAccess(bool restricted, const QStringList &hosts)
{
    if (!m_manager.truth(m_manager.SetShareAccess(restricted, hosts),
                         reportAs(tr("Error changing who may attach!"))))
        return false;
    readAccess();
    return true;
}

void LocalSharing::setShare(const QString &busId, LocalRow::Share share)
{
    for (int row = 0; row < m_rows.size(); ++row) {
        LocalRow &entry = m_rows[row];
        if (entry.device.busId() != busId)
            continue;
        // A share that is there already keeps its kind.
        if (entry.isShared() == (share != LocalRow::Share::None))
            return;
        entry.share = share;
        Q_EMIT rowChanged(row, entry);
        return;
    }
}

OvraAdminUsbIpInterface::ErrorReport LocalSharing::reportAs(const QString &headline)
{
    return [this, headline](const QString &detailed) {
        Q_EMIT error(headline, OutsideText::cleaned(detailed, OutsideText::MaxShownChars,
                                                    OutsideText::Lines::Kept));
    };
}

QStringList LocalSharing::storageBusIds()
{
    if (!m_systemDisksKnown)
        findSystemDisks();
    QStringList result;
    if (!m_systemDisksProblem.isEmpty())
        return result;
    const QList<Solid::Device> drives =
        Solid::Device::listFromType(Solid::DeviceInterface::StorageDrive, QString());
    auto busIdOf = [](const Solid::GenericInterface *generic) {
        return UsbIpGrammar::busIdOfDevicePath(
            generic->property(QStringLiteral("SiblingId")).toString());
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
        if (!block || !generic || m_systemDevices.contains(block->device()))
            continue;
        if (!drive || !drive->isValid() || !drive->isRemovable() || !drive->isHotpluggable())
            continue;
        if (drive->bus() != Solid::StorageDrive::Usb
            || drive->driveType() == Solid::StorageDrive::CdromDrive)
            continue;
        const QString busId = busIdOf(generic);
        if (!systemBusIds.contains(busId))
            result.append(busId);
    }
    return result;
}
