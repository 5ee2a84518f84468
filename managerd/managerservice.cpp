// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerservice.h"

#include "listfile.h"
#include "managerarguments.h"
#include "ovrausbipmanager.h"
#include "usbipgrammar.h"

#include <QDBusError>
#include <QLoggingCategory>
#include <QPointer>

#include <memory>

Q_LOGGING_CATEGORY(lcManager, "ovra.managerd", QtInfoMsg)

namespace {

// Below this much time left of a call's budget the tool is not started at all.
constexpr int MinimumToolTimeMs = 1000;

QString quoted(const QString &text)
{
    // For messages and the log: keep client-supplied text short, on one
    // line and free of control characters.
    QString shown;
    for (const QChar c : text.left(64)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return QLatin1Char('"') + shown
        + (text.size() > 64 ? QStringLiteral("...\"") : QStringLiteral("\""));
}

// Why the arguments of ShareDevice/UnshareDevice are refused; empty when they
// are good (a vid:pid may be empty: the share is for the session).
QString shareArgumentsProblem(const QString &busid, const QString &vidpid)
{
    if (!ManagerArguments::isBusId(busid))
        return QStringLiteral("Invalid bus id %1.").arg(quoted(busid));
    if (!vidpid.isEmpty() && !ManagerArguments::isVidPid(vidpid))
        return QStringLiteral("Invalid vid:pid %1.").arg(quoted(vidpid));
    return QString();
}

} // namespace

ManagerService::ManagerService(const ManagerOptions &options, const QDBusConnection &connection,
                               QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_connection(connection)
    , m_authorizer(connection)
{
    if (m_options.configDir.isEmpty())
        m_options.configDir = OvraUsbIp::configDir();
}

QString ManagerService::sharedDevicesPath() const
{
    return m_options.configDir + QStringLiteral("/shared-usb-devices");
}

QString ManagerService::remoteDevicesPath() const
{
    return m_options.configDir + QStringLiteral("/remote-usb-devices");
}

// ---- bus methods ---------------------------------------------------------

bool ManagerService::ShareDevice(const QString &busid, const QString &vidpid)
{
    if (!calledFromDBus())
        return false;
    const QString problem = shareArgumentsProblem(busid, vidpid);
    if (!problem.isEmpty())
        return rejectArguments(problem);

    const Call call = takeCall();
    authorize(call, QLatin1String(ShareAction), [this, call, busid, vidpid]() {
        runAndRecord(call, {QStringLiteral("bind"), QStringLiteral("-b"), busid},
                     QStringLiteral("Cannot share the device %1.").arg(busid),
                     {vidpid.isEmpty() ? QString() : sharedDevicesPath(), vidpid, ListChange::Add,
                      QStringLiteral("The device %1 is shared, but not constantly.").arg(busid)});
    });
    return false;
}

bool ManagerService::UnshareDevice(const QString &busid, const QString &vidpid)
{
    if (!calledFromDBus())
        return false;
    const QString problem = shareArgumentsProblem(busid, vidpid);
    if (!problem.isEmpty())
        return rejectArguments(problem);

    const Call call = takeCall();
    authorize(call, QLatin1String(ShareAction), [this, call, busid, vidpid]() {
        runAndRecord(call, {QStringLiteral("unbind"), QStringLiteral("-b"), busid},
                     QStringLiteral("Cannot unshare the device %1.").arg(busid),
                     {vidpid.isEmpty() ? QString() : sharedDevicesPath(), vidpid,
                      ListChange::Remove,
                      QStringLiteral("The device %1 is unshared, but stays in the list of constant "
                                     "shares.")
                          .arg(busid)});
    });
    return false;
}

bool ManagerService::ConnectDevice(const QString &usbipId, bool isConst)
{
    if (!calledFromDBus())
        return false;
    ManagerArguments::DeviceId device;
    QString reason;
    if (!ManagerArguments::parseDeviceId(usbipId, &device, &reason))
        return rejectArguments(
            QStringLiteral("Invalid device id %1: %2").arg(quoted(usbipId), reason));

    const Call call = takeCall();
    authorize(call, QLatin1String(ConnectAction), [this, call, usbipId, isConst, device]() {
        runAndRecord(
            call,
            {QStringLiteral("attach"), QStringLiteral("-r"), device.host, QStringLiteral("-b"),
             device.busId},
            QStringLiteral("Cannot connect the device %1.").arg(usbipId),
            {isConst ? remoteDevicesPath() : QString(), usbipId, ListChange::Add,
             QStringLiteral("The device %1 is connected, but not constantly.").arg(usbipId)});
    });
    return false;
}

bool ManagerService::DisconnectDevice(const QString &usbipId, const QString &port)
{
    if (!calledFromDBus())
        return false;
    if (!ManagerArguments::isPort(port))
        return rejectArguments(QStringLiteral("Invalid port %1.").arg(quoted(port)));
    QString reason;
    if (!usbipId.isEmpty() && !ManagerArguments::parseDeviceId(usbipId, nullptr, &reason))
        return rejectArguments(
            QStringLiteral("Invalid device id %1: %2").arg(quoted(usbipId), reason));

    const Call call = takeCall();
    authorize(call, QLatin1String(ConnectAction), [this, call, usbipId, port]() {
        runAndRecord(call, {QStringLiteral("detach"), QStringLiteral("-p"), port},
                     QStringLiteral("Cannot disconnect port %1.").arg(port),
                     {usbipId.isEmpty() ? QString() : remoteDevicesPath(), usbipId,
                      ListChange::Remove,
                      QStringLiteral("Port %1 is disconnected, but %2 stays in the list of "
                                     "constant connections.")
                          .arg(port, usbipId)});
    });
    return false;
}

// ---- helpers -------------------------------------------------------------

void ManagerService::runAndRecord(const Call &call, const QStringList &arguments,
                                  const QString &failure, const ListChange &change)
{
    if (change.kind == ListChange::Add && !change.path.isEmpty()) {
        // Running the tool now would give a share or connection that
        // silently is not constant: refuse while its list cannot be read.
        QStringList lines;
        QString error;
        if (!ListFile(change.path).read(&lines, &error)) {
            signalError(call, failure, error);
            reply(call, false);
            return;
        }
    }
    runTool(call, arguments, [this, call, failure, change](const ToolResult &result) {
        if (!result.succeeded()) {
            signalError(call, failure, result.failureText());
            reply(call, false);
            return;
        }
        if (!change.path.isEmpty()) {
            ListFile file(change.path);
            QString error;
            const bool recorded = change.kind == ListChange::Add
                ? file.add(change.entry, &error)
                : file.remove(change.entry, &error);
            if (!recorded)
                signalError(call, change.failure, error);
        }
        // The device's state did change, even when its list could not follow.
        reply(call, true);
    });
}

QString ManagerService::PortsInfo()
{
    if (!calledFromDBus())
        return QString();
    // Anyone may ask, so many clients asking at once share one run of the
    // tool instead of starting one each.
    m_portsWaiters.append(takeCall());
    if (m_portsWaiters.size() > 1)
        return QString();
    runTool(m_portsWaiters.first(), {QStringLiteral("port")}, [this](const ToolResult &result) {
        // Without the vhci driver the tool fails and prints nothing: no port
        // is attached. The port table is polled, so a failure is logged
        // rather than signalled to every client as an error.
        if (!result.succeeded())
            qCWarning(lcManager).noquote() << "usbip port:" << result.failureText();
        const QString text = QString::fromUtf8(result.standardOutput);
        const QList<Call> waiters = m_portsWaiters;
        m_portsWaiters.clear();
        for (const Call &waiter : waiters)
            reply(waiter, text);
    });
    return QString();
}

// ---- call plumbing -------------------------------------------------------

bool ManagerService::rejectArguments(const QString &reason)
{
    qCInfo(lcManager).noquote() << "rejected a call of" << message().member() << "from"
                                << message().service() << ":" << reason;
    sendErrorReply(QDBusError::InvalidArgs, reason);
    return false;
}

ManagerService::Call ManagerService::takeCall()
{
    setDelayedReply(true);
    Call call;
    call.message = message();
    call.received.start();
    return call;
}

void ManagerService::authorize(const Call &call, const QString &actionId,
                               std::function<void()> granted)
{
    m_authorizer.check(
        actionId, call.message.service(), m_options.callBudgetMs,
        [this, call, actionId, granted](PolkitAuthorizer::Outcome outcome, const QString &reason) {
            if (outcome != PolkitAuthorizer::Outcome::Allowed) {
                qCInfo(lcManager).noquote()
                    << actionId << "refused for" << call.message.service() << ":" << reason;
                replyError(call, QDBusError::errorString(QDBusError::AccessDenied), reason);
                return;
            }
            granted();
        });
}

void ManagerService::runTool(const Call &call, const QStringList &arguments,
                             std::function<void(const ToolResult &)> done)
{
    const qint64 left = m_options.callBudgetMs - call.received.elapsed();
    if (left < MinimumToolTimeMs) {
        // The client has given up waiting by now: do nothing it does not know of.
        replyError(call, QDBusError::errorString(QDBusError::Timeout),
                   QStringLiteral("The call took too long before it could run; nothing was done."));
        return;
    }
    const int limit = static_cast<int>(qMin<qint64>(m_options.toolTimeoutMs, left));
    qCInfo(lcManager).noquote() << "running usbip" << arguments.join(QLatin1Char(' '));
    m_tool.run(arguments, limit, std::move(done));
}

void ManagerService::reply(const Call &call, const QVariant &value)
{
    m_connection.send(call.message.createReply(value));
}

void ManagerService::replyError(const Call &call, const QString &name, const QString &text)
{
    m_connection.send(call.message.createErrorReply(name, text));
}

void ManagerService::signalError(const Call &call, const QString &headline, const QString &message)
{
    qCWarning(lcManager).noquote() << headline << message;
    QDBusMessage signal = QDBusMessage::createTargetedSignal(
        call.message.service(), QLatin1String(OvraUsbIp::ManagerPath),
        QLatin1String(OvraUsbIp::ManagerInterface), QStringLiteral("Error"));
    signal << headline << message;
    m_connection.send(signal);
}

// ---- restoring constant shares and connections ---------------------------

void ManagerService::restore(std::function<void()> done)
{
    QPointer<ManagerService> self(this);
    restoreShares([self, done]() {
        if (!self)
            return;
        self->restoreConnections([done]() {
            if (done)
                done();
        });
    });
}

void ManagerService::restoreShares(std::function<void()> next)
{
    QStringList wanted;
    QString error;
    if (!ListFile(sharedDevicesPath()).read(&wanted, &error)) {
        qCWarning(lcManager).noquote() << "cannot restore the constant shares:" << error;
        next();
        return;
    }
    if (wanted.isEmpty()) {
        next();
        return;
    }
    m_tool.run(
        {QStringLiteral("list"), QStringLiteral("-l")}, m_options.toolTimeoutMs,
        [this, wanted, next](const ToolResult &result) {
            if (!result.succeeded()) {
                qCWarning(lcManager).noquote()
                    << "cannot list the local devices:" << result.failureText();
                next();
                return;
            }
            QList<QStringList> commands;
            const QList<UsbIpGrammar::LocalDevice> devices = UsbIpGrammar::parseLocalList(
                QString::fromUtf8(result.standardOutput), UsbIpGrammar::ManagerBusIds);
            for (const UsbIpGrammar::LocalDevice &device : devices) {
                const QString vidPid = UsbIpGrammar::vidPidText(device.vendorId, device.productId);
                if (!ManagerArguments::isBusId(device.busId) || !ManagerArguments::isVidPid(vidPid))
                    continue;
                if (wanted.contains(vidPid))
                    commands.append({QStringLiteral("bind"), QStringLiteral("-b"), device.busId});
            }
            runEach(commands, next);
        });
}

void ManagerService::restoreConnections(std::function<void()> next)
{
    QStringList wanted;
    QString error;
    if (!ListFile(remoteDevicesPath()).read(&wanted, &error)) {
        qCWarning(lcManager).noquote() << "cannot restore the constant connections:" << error;
        next();
        return;
    }
    if (wanted.isEmpty()) {
        next();
        return;
    }
    m_tool.run({QStringLiteral("port")}, m_options.toolTimeoutMs,
               [this, wanted, next](const ToolResult &result) {
                   // A failing `usbip port` (no vhci driver yet) means nothing is attached.
                   const QList<UsbIpGrammar::PortRemote> attached = UsbIpGrammar::portRemotes(
                       QString::fromUtf8(result.standardOutput), UsbIpGrammar::ManagerBusIds);
                   QList<QStringList> commands;
                   for (const QString &line : wanted) {
                       ManagerArguments::DeviceId device;
                       QString reason;
                       if (!ManagerArguments::parseDeviceId(line, &device, &reason)) {
                           qCWarning(lcManager).noquote() << "skipping the constant connection"
                                                          << quoted(line) << ":" << reason;
                           continue;
                       }
                       bool present = false;
                       for (const UsbIpGrammar::PortRemote &port : attached)
                           present =
                               present || (port.host == device.host && port.busId == device.busId);
                       if (present)
                           continue;
                       const QStringList command{QStringLiteral("attach"), QStringLiteral("-r"),
                                                 device.host, QStringLiteral("-b"), device.busId};
                       if (!commands.contains(command))
                           commands.append(command);
                   }
                   runEach(commands, next);
               });
}

void ManagerService::runEach(const QList<QStringList> &commands, std::function<void()> done)
{
    if (commands.isEmpty()) {
        done();
        return;
    }
    const QStringList first = commands.first();
    const QList<QStringList> rest = commands.mid(1);
    qCInfo(lcManager).noquote() << "restoring: usbip" << first.join(QLatin1Char(' '));
    m_tool.run(first, m_options.toolTimeoutMs, [this, rest, done](const ToolResult &result) {
        if (!result.succeeded())
            qCWarning(lcManager).noquote()
                << "restoring failed, will retry at the next start:" << result.failureText();
        runEach(rest, done);
    });
}
