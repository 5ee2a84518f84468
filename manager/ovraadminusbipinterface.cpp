// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraadminusbipinterface.h"

#include "ovrausbipmanager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QMetaType>
#include <QVariant>

namespace {

// Past the bus's own time-out, so that a call without an answer ends as the
// bus's NoReply error rather than as the waiter giving up.
const int WaiterSlackMs = 1000;

} // namespace

OvraAdminUsbIpInterface::OvraAdminUsbIpInterface(QObject *parent)
    : OvraManagerProxy(QString::fromLatin1(OvraUsbIp::ManagerService),
                       QString::fromLatin1(OvraUsbIp::ManagerPath), QDBusConnection::systemBus(),
                       parent)
{
    // The Manager answers within its budget; a call that outlives the budget
    // and a margin has no answer coming, and the caller must not hang on it.
    setTimeout(OvraUsbIp::ManagerReplyTimeoutMs);
}

OvraAdminUsbIpInterface::~OvraAdminUsbIpInterface() = default;

void OvraAdminUsbIpInterface::setWaiter(const Waiter &waiter)
{
    m_waiter = waiter;
}

void OvraAdminUsbIpInterface::wait(const QDBusPendingCall &call)
{
    if (m_waiter && !call.isFinished()) {
        // The watcher's signal is what wakes a waiting event loop when the
        // answer comes; the bus's own time-out comes before the waiter's.
        const QDBusPendingCallWatcher watcher(call);
        m_waiter(
            [&call]() {
                return call.isFinished();
            },
            timeout() + WaiterSlackMs);
    }
    QDBusPendingCall(call).waitForFinished();
}

bool OvraAdminUsbIpInterface::truth(const QDBusPendingCall &call, const ErrorReport &report)
{
    wait(call);
    if (isWrongType(call))
        return false;
    if (call.isError()) {
        if (report)
            report(errorDetail(call.error()));
        return false;
    }
    return boolReply(call);
}

std::optional<QString> OvraAdminUsbIpInterface::text(const QDBusPendingCall &call,
                                                     const ErrorReport &report)
{
    wait(call);
    if (isWrongType(call))
        return QString();
    if (call.isError()) {
        if (report)
            report(errorDetail(call.error()));
        return std::nullopt;
    }
    return stringReply(call);
}

bool OvraAdminUsbIpInterface::isWrongType(const QDBusPendingCall &call)
{
    // What a typed pending reply makes of an answer of another type than the
    // method declares: no failure of the call, but a value that cannot be
    // read as the declared type.
    return call.isError() && call.error().type() == QDBusError::InvalidSignature
        && call.error().message().startsWith(QLatin1String("Unexpected reply signature"));
}

QString OvraAdminUsbIpInterface::errorDetail(const QDBusError &error) const
{
    if (error.name().startsWith(QLatin1String(OvraUsbIp::ManagerErrorPrefix))
        && !error.message().trimmed().isEmpty())
        return error.message();
    return errorText(error.type());
}

bool OvraAdminUsbIpInterface::boolReply(const QDBusPendingCall &call)
{
    if (call.isError())
        return false;
    const QVariant value = call.reply().arguments().value(0);
    return value.userType() == QMetaType::Bool && value.toBool();
}

QString OvraAdminUsbIpInterface::stringReply(const QDBusPendingCall &call)
{
    if (call.isError())
        return QString();
    const QVariant value = call.reply().arguments().value(0);
    if (value.userType() == QMetaType::QString)
        return value.toString();
    // Plain numbers and the like still read as text; containers and structures
    // (which arrive as QDBusArgument) read as nothing.
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Bool:
        return value.toString();
    default:
        return QString();
    }
}

QString OvraAdminUsbIpInterface::errorText(QDBusError::ErrorType type) const
{
    switch (type) {
    case QDBusError::NoError:
    case QDBusError::Other:
        return tr("Unknown error.");
    case QDBusError::Failed:
        return tr("The call failed.");
    case QDBusError::NoMemory:
        return tr("Out of memory.");
    case QDBusError::ServiceUnknown:
        return tr("The called service is not known.");
    case QDBusError::NoReply:
        return tr("Timeout reply.");
    case QDBusError::BadAddress:
        return tr("The address given is not valid.");
    case QDBusError::NotSupported:
        return tr("The call/operation is not supported.");
    case QDBusError::LimitsExceeded:
        return tr("The limits allocated to this process/call/connection exceeded the "
                  "pre-defined values.");
    case QDBusError::AccessDenied:
        return tr("Authorization error.");
    case QDBusError::NoServer:
        return tr("No server found.");
    case QDBusError::Timeout:
        return tr("Timeout reply.");
    case QDBusError::NoNetwork:
        return tr("No network found.");
    case QDBusError::AddressInUse:
        return tr("QDBusServer tried to bind to an address that is already in use.");
    case QDBusError::Disconnected:
        return tr("The call/process/message was sent after QDBusConnection disconnected.");
    case QDBusError::InvalidArgs:
        return tr("The arguments passed to this call/operation are not valid.");
    case QDBusError::UnknownMethod:
        return tr("The method called was not found in this object/interface with the given "
                  "parameters.");
    case QDBusError::TimedOut:
        return tr("Timeout reply.");
    case QDBusError::InvalidSignature:
        return tr("The type signature is not valid or compatible.");
    case QDBusError::UnknownInterface:
        return tr("The interface is not known in this object.");
    case QDBusError::UnknownObject:
        return tr("The object path points to an object that does not exist.");
    case QDBusError::UnknownProperty:
        return tr("The property does not exist in this interface.");
    case QDBusError::PropertyReadOnly:
        return tr("The property set failed because the property is read-only.");
    case QDBusError::InternalError:
        return tr("An internal error occurred.");
    case QDBusError::InvalidService:
        return tr("The service requested is invalid.");
    case QDBusError::InvalidObjectPath:
        return tr("The object path provided is invalid.");
    case QDBusError::InvalidInterface:
        return tr("The interface is invalid.");
    case QDBusError::InvalidMember:
        return tr("The member is invalid.");
    }
    return tr("Unknown error.");
}
