// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "systemdservice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

const char unitInterface[] = "org.freedesktop.systemd1.Unit";
const char propertiesInterface[] = "org.freedesktop.DBus.Properties";

// Ordinary calls answer at once; privileged ones may wait for the user to
// type a password into the polkit agent.
const int callTimeoutMs = 25000;
const int interactiveCallTimeoutMs = 120000;
const int pollIntervalMs = 100;
// Past the bus's own time-out, so that a call without an answer ends as the
// bus's NoReply error rather than as the waiter giving up.
const int waiterSlackMs = 1000;

QString fullUnitName(const QString &unit)
{
    // systemd's unit types; anything else is a service name.
    static const QStringList types{QStringLiteral(".service"), QStringLiteral(".socket"),
                                   QStringLiteral(".target"),  QStringLiteral(".device"),
                                   QStringLiteral(".mount"),   QStringLiteral(".automount"),
                                   QStringLiteral(".swap"),    QStringLiteral(".timer"),
                                   QStringLiteral(".path"),    QStringLiteral(".slice"),
                                   QStringLiteral(".scope")};
    for (const QString &type : types) {
        if (unit.endsWith(type))
            return unit;
    }
    return unit + QStringLiteral(".service");
}

} // namespace

namespace OvraAdmin {

QString SystemdService::serviceName()
{
    return QStringLiteral("org.freedesktop.systemd1");
}

QString SystemdService::managerPath()
{
    return QStringLiteral("/org/freedesktop/systemd1");
}

QString SystemdService::managerInterface()
{
    return QStringLiteral("org.freedesktop.systemd1.Manager");
}

SystemdService::SystemdService(const QString &unit, QObject *parent)
    : QObject(parent)
    , m_unit(fullUnitName(unit))
{
}

SystemdService::~SystemdService() = default;

QDBusMessage SystemdService::callManager(const QString &method, const QVariantList &arguments,
                                         bool interactive)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(serviceName(), managerPath(), managerInterface(), method);
    message.setArguments(arguments);
    message.setInteractiveAuthorizationAllowed(interactive);
    const QDBusMessage reply =
        send(message, interactive ? interactiveCallTimeoutMs : callTimeoutMs);
    m_lastError = reply.type() == QDBusMessage::ErrorMessage
                    ? reply.errorName() + QStringLiteral(": ") + reply.errorMessage()
                    : QString();
    return reply;
}

QDBusMessage SystemdService::send(const QDBusMessage &message, int timeoutMs)
{
    QDBusPendingCall call = QDBusConnection::systemBus().asyncCall(message, timeoutMs);
    if (m_waiter && !call.isFinished()) {
        // The watcher's signal wakes the waiting event loop when the answer
        // comes; the bus's own time-out comes first.
        const QDBusPendingCallWatcher watcher(call);
        m_waiter(
            [&call]() {
                return call.isFinished();
            },
            timeoutMs + waiterSlackMs);
    }
    call.waitForFinished();
    return call.reply();
}

void SystemdService::pause(int ms)
{
    if (m_waiter) {
        m_waiter(
            []() {
                return false;
            },
            ms);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

QString SystemdService::unitPath()
{
    // LoadUnit answers for units that are not loaded yet, too (GetUnit would
    // fail for an inactive unit that systemd has garbage-collected).
    const QDBusMessage reply = callManager(QStringLiteral("LoadUnit"), {m_unit});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QString();
    return reply.arguments().constFirst().value<QDBusObjectPath>().path();
}

QString SystemdService::activeState()
{
    const QString path = unitPath();
    if (path.isEmpty())
        return QString();
    QDBusMessage message =
        QDBusMessage::createMethodCall(serviceName(), path, QLatin1String(propertiesInterface),
                                       QStringLiteral("Get"));
    message << QLatin1String(unitInterface) << QStringLiteral("ActiveState");
    const QDBusMessage reply = send(message, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        m_lastError = reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
        return QString();
    }
    m_lastError.clear();
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toString();
}

QString SystemdService::unitFileState()
{
    const QDBusMessage reply = callManager(QStringLiteral("GetUnitFileState"), {m_unit});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QString();
    return reply.arguments().constFirst().toString();
}

bool SystemdService::isActive()
{
    return activeState() == QLatin1String("active");
}

bool SystemdService::isEnabled()
{
    return isEnabledState(unitFileState());
}

bool SystemdService::isEnabledState(const QString &unitFileState)
{
    static const QStringList enabledStates{
        QStringLiteral("enabled"),  QStringLiteral("enabled-runtime"), QStringLiteral("static"),
        QStringLiteral("indirect"), QStringLiteral("generated"),       QStringLiteral("alias")};
    return enabledStates.contains(unitFileState);
}

bool SystemdService::enable()
{
    // EnableUnitFiles(files, runtime, force) -> (carries_install_info, changes)
    const QDBusMessage reply =
        callManager(QStringLiteral("EnableUnitFiles"), {QStringList{m_unit}, false, false}, true);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return false;
    // Like `systemctl enable`: make systemd see the new links.
    return callManager(QStringLiteral("Reload"), {}, true).type() == QDBusMessage::ReplyMessage;
}

void SystemdService::onJobRemoved(uint, const QDBusObjectPath &job, const QString &,
                                  const QString &)
{
    m_finishedJobs.insert(job.path());
}

bool SystemdService::start()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    // systemd sends its job signals only to subscribed clients.
    const bool subscribed =
        callManager(QStringLiteral("Subscribe"), {}).type() == QDBusMessage::ReplyMessage;
    const bool listening =
        bus.connect(serviceName(), managerPath(), managerInterface(), QStringLiteral("JobRemoved"),
                    this, SLOT(onJobRemoved(uint, QDBusObjectPath, QString, QString)));
    m_finishedJobs.clear();

    const QDBusMessage reply =
        callManager(QStringLiteral("StartUnit"), {m_unit, QStringLiteral("replace")}, true);
    bool active = false;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QString job = reply.arguments().constFirst().value<QDBusObjectPath>().path();
        QDeadlineTimer deadline(m_startTimeoutMs);
        for (;;) {
            const bool jobDone = m_finishedJobs.contains(job);
            const QString state = activeState();
            active = state == QLatin1String("active");
            // A finished job leaves the unit in its final state.
            if (active || jobDone || deadline.hasExpired())
                break;
            pause(pollIntervalMs);
        }
        active = active || isActive();
    }
    const QString error = m_lastError;

    if (listening)
        bus.disconnect(serviceName(), managerPath(), managerInterface(),
                       QStringLiteral("JobRemoved"), this,
                       SLOT(onJobRemoved(uint, QDBusObjectPath, QString, QString)));
    if (subscribed)
        callManager(QStringLiteral("Unsubscribe"), {});
    m_lastError = error;
    return active;
}

} // namespace OvraAdmin
