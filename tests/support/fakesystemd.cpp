// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakesystemd.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

namespace {

const char serviceName[] = "org.freedesktop.systemd1";
const char managerPath[] = "/org/freedesktop/systemd1";
const char managerInterface[] = "org.freedesktop.systemd1.Manager";
const char unitInterface[] = "org.freedesktop.systemd1.Unit";
const char propertiesInterface[] = "org.freedesktop.DBus.Properties";

// One entry of the change list EnableUnitFiles answers: (type, file, destination).
struct UnitFileChange
{
    QString type;
    QString file;
    QString destination;
};

QDBusArgument &operator<<(QDBusArgument &argument, const UnitFileChange &change)
{
    argument.beginStructure();
    argument << change.type << change.file << change.destination;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, UnitFileChange &change)
{
    argument.beginStructure();
    argument >> change.type >> change.file >> change.destination;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(UnitFileChange)
Q_DECLARE_METATYPE(QList<UnitFileChange>)

// Lives in the fake's thread and answers every message for the manager
// object and the unit objects below it.
class FakeSystemdObject : public QDBusVirtualObject
{
public:
    FakeSystemdObject(FakeSystemd *owner, const QString &connectionName)
        : m_owner(owner)
        , m_connectionName(connectionName)
    {
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        if (message.interface() == QLatin1String(propertiesInterface))
            return handleProperties(message, connection);
        if (message.path() != QLatin1String(managerPath))
            return false;

        const QString method = message.member();
        const QVariantList args = message.arguments();
        const QString first = args.isEmpty() ? QString() : args.constFirst().toString();
        auto &state = m_owner->m_state;
        QMutexLocker lock(&m_owner->m_mutex);

        if (method == QLatin1String("LoadUnit") || method == QLatin1String("GetUnit")) {
            state.calls << method + QLatin1Char(' ') + first;
            if (method == QLatin1String("GetUnit") && first != state.unit) {
                lock.unlock();
                return sendError(connection, message,
                                 QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"),
                                 QStringLiteral("Unit %1 not loaded.").arg(first));
            }
            lock.unlock();
            return send(connection,
                        message.createReply(
                            QVariant::fromValue(QDBusObjectPath(FakeSystemd::unitPath(first)))));
        }
        if (method == QLatin1String("GetUnitFileState")) {
            state.calls << method + QLatin1Char(' ') + first;
            if (first != state.unit && first != QLatin1String(managerPath)) {
                lock.unlock();
                return sendError(connection, message,
                                 QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"),
                                 QStringLiteral("No such file or directory"));
            }
            const QString fileState = state.unitFileState;
            lock.unlock();
            return send(connection, message.createReply(fileState));
        }
        if (method == QLatin1String("EnableUnitFiles")) {
            const QStringList files = qdbus_cast<QStringList>(args.value(0));
            state.calls << method + QLatin1Char(' ') + files.join(QLatin1Char(','));
            const bool ours = files == QStringList{state.unit};
            if (!state.enableSucceeds || !ours) {
                lock.unlock();
                return sendError(connection, message,
                                 QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                 QStringLiteral("Access denied"));
            }
            state.unitFileState = QStringLiteral("enabled");
            lock.unlock();
            QList<UnitFileChange> changes{
                {QStringLiteral("symlink"),
                 QStringLiteral("/etc/systemd/system/multi-user.target.wants/") + files.first(),
                 QStringLiteral("/lib/systemd/system/") + files.first()}};
            QDBusMessage reply = message.createReply();
            reply << true << QVariant::fromValue(changes);
            return send(connection, reply);
        }
        if (method == QLatin1String("StartUnit")) {
            state.calls << method + QLatin1Char(' ') + first + QLatin1Char(' ')
                    + args.value(1).toString();
            if (first != state.unit) {
                lock.unlock();
                return sendError(connection, message,
                                 QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"),
                                 QStringLiteral("Unit %1 not found.").arg(first));
            }
            if (state.startRefused) {
                lock.unlock();
                return sendError(connection, message,
                                 QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                 QStringLiteral("Access denied"));
            }
            const uint id = state.nextJob++;
            const QString job = QStringLiteral("/org/freedesktop/systemd1/job/%1").arg(id);
            const int delay = state.startDelayMs;
            if (state.activeState != QLatin1String("active"))
                state.activeState = QStringLiteral("activating");
            lock.unlock();
            send(connection, message.createReply(QVariant::fromValue(QDBusObjectPath(job))));
            QTimer::singleShot(delay, this, [this, id, job]() { finishJob(id, job); });
            return true;
        }
        if (method == QLatin1String("Reload") || method == QLatin1String("Subscribe")
            || method == QLatin1String("Unsubscribe")) {
            state.calls << method;
            lock.unlock();
            return send(connection, message.createReply());
        }
        state.calls << QStringLiteral("unknown ") + method;
        lock.unlock();
        return sendError(connection, message,
                         QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                         QStringLiteral("Unknown method %1").arg(method));
    }

private:
    bool handleProperties(const QDBusMessage &message, const QDBusConnection &connection)
    {
        const QVariantList args = message.arguments();
        const QString property = args.value(1).toString();
        QMutexLocker lock(&m_owner->m_mutex);
        auto &state = m_owner->m_state;
        state.calls << message.member() + QLatin1Char(' ') + property;
        const bool ourUnit = message.path() == FakeSystemd::unitPath(state.unit);
        QString value;
        if (message.member() == QLatin1String("Get")
            && args.value(0).toString() == QLatin1String(unitInterface)) {
            if (property == QLatin1String("ActiveState"))
                value = ourUnit ? state.activeState : QStringLiteral("inactive");
            else if (property == QLatin1String("LoadState"))
                value = ourUnit ? QStringLiteral("loaded") : QStringLiteral("not-found");
            else if (property == QLatin1String("Id"))
                value = ourUnit ? state.unit : QString();
        }
        lock.unlock();
        if (value.isNull())
            return sendError(connection, message,
                             QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                             QStringLiteral("Unknown property"));
        return send(connection, message.createReply(QVariant::fromValue(QDBusVariant(value))));
    }

    void finishJob(uint id, const QString &job)
    {
        QMutexLocker lock(&m_owner->m_mutex);
        auto &state = m_owner->m_state;
        QString result = QStringLiteral("done");
        if (state.startSucceeds) {
            state.activeState = QStringLiteral("active");
        } else {
            state.activeState = QStringLiteral("failed");
            result = QStringLiteral("failed");
        }
        const QString unit = state.unit;
        const bool signal = state.sendsJobSignals;
        lock.unlock();
        if (!signal)
            return;
        QDBusMessage removed =
            QDBusMessage::createSignal(QLatin1String(managerPath), QLatin1String(managerInterface),
                                       QStringLiteral("JobRemoved"));
        removed << id << QVariant::fromValue(QDBusObjectPath(job)) << unit << result;
        QDBusConnection(m_connectionName).send(removed);
    }

    bool send(const QDBusConnection &connection, const QDBusMessage &reply)
    {
        QDBusConnection(connection).send(reply);
        return true;
    }

    bool sendError(const QDBusConnection &connection, const QDBusMessage &message,
                   const QString &name, const QString &text)
    {
        return send(connection, message.createErrorReply(name, text));
    }

    FakeSystemd *m_owner;
    QString m_connectionName;
};

FakeSystemd::FakeSystemd(const QString &unit)
{
    m_state.unit = unit;
    static int counter = 0;
    m_connectionName = QStringLiteral("ovra-fake-systemd-%1").arg(++counter);
}

FakeSystemd::~FakeSystemd()
{
    stop();
}

QString FakeSystemd::unitPath(const QString &unit)
{
    // systemd's bus path escaping: every byte other than [A-Za-z0-9] as _xx.
    QString path = QStringLiteral("/org/freedesktop/systemd1/unit/");
    const QByteArray bytes = unit.toUtf8();
    for (const char c : bytes) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain)
            path += QLatin1Char(c);
        else
            path += QStringLiteral("_%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
    }
    return path;
}

bool FakeSystemd::start()
{
    if (m_thread)
        return true;
    qDBusRegisterMetaType<UnitFileChange>();
    qDBusRegisterMetaType<QList<UnitFileChange>>();

    QDBusConnection connection =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
    if (!connection.isConnected()) {
        m_error = QStringLiteral("no system bus: %1").arg(connection.lastError().message());
        return false;
    }
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("fake-systemd"));
    m_thread->start();
    m_object = new FakeSystemdObject(this, m_connectionName);
    m_object->moveToThread(m_thread);
    bool registered = false;
    QMetaObject::invokeMethod(
        m_object,
        [&]() {
            registered = connection.registerVirtualObject(QLatin1String(managerPath), m_object,
                                                          QDBusConnection::SubPath);
        },
        Qt::BlockingQueuedConnection);
    if (!registered) {
        m_error = QStringLiteral("cannot register the systemd object");
        stop();
        return false;
    }
    if (!connection.registerService(QLatin1String(serviceName))) {
        m_error = QStringLiteral("cannot own %1: %2")
                      .arg(QLatin1String(serviceName), connection.lastError().message());
        stop();
        return false;
    }
    return true;
}

void FakeSystemd::stop()
{
    if (!m_thread)
        return;
    {
        QDBusConnection connection(m_connectionName);
        connection.unregisterService(QLatin1String(serviceName));
        connection.unregisterObject(QLatin1String(managerPath), QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_thread->quit();
    m_thread->wait();
    delete m_object;
    m_object = nullptr;
    delete m_thread;
    m_thread = nullptr;
}

QString FakeSystemd::unit() const
{
    QMutexLocker lock(&m_mutex);
    return m_state.unit;
}

void FakeSystemd::setActive(bool active)
{
    QMutexLocker lock(&m_mutex);
    m_state.activeState = active ? QStringLiteral("active") : QStringLiteral("inactive");
}

bool FakeSystemd::isActive() const
{
    return activeState() == QLatin1String("active");
}

QString FakeSystemd::activeState() const
{
    QMutexLocker lock(&m_mutex);
    return m_state.activeState;
}

void FakeSystemd::setEnabled(bool enabled)
{
    setUnitFileState(enabled ? QStringLiteral("enabled") : QStringLiteral("disabled"));
}

bool FakeSystemd::isEnabled() const
{
    return unitFileState() == QLatin1String("enabled");
}

void FakeSystemd::setUnitFileState(const QString &state)
{
    QMutexLocker lock(&m_mutex);
    m_state.unitFileState = state;
}

QString FakeSystemd::unitFileState() const
{
    QMutexLocker lock(&m_mutex);
    return m_state.unitFileState;
}

void FakeSystemd::setStartSucceeds(bool succeeds)
{
    QMutexLocker lock(&m_mutex);
    m_state.startSucceeds = succeeds;
}

void FakeSystemd::setEnableSucceeds(bool succeeds)
{
    QMutexLocker lock(&m_mutex);
    m_state.enableSucceeds = succeeds;
}

void FakeSystemd::setStartRefused(bool refused)
{
    QMutexLocker lock(&m_mutex);
    m_state.startRefused = refused;
}

void FakeSystemd::setStartDelay(int milliseconds)
{
    QMutexLocker lock(&m_mutex);
    m_state.startDelayMs = milliseconds;
}

void FakeSystemd::setSendsJobSignals(bool sends)
{
    QMutexLocker lock(&m_mutex);
    m_state.sendsJobSignals = sends;
}

QStringList FakeSystemd::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_state.calls;
}

void FakeSystemd::clearCalls()
{
    QMutexLocker lock(&m_mutex);
    m_state.calls.clear();
}

int FakeSystemd::indexOfCall(const QString &prefix) const
{
    const QStringList all = calls();
    for (int i = 0; i < all.size(); ++i) {
        if (all.at(i).startsWith(prefix))
            return i;
    }
    return -1;
}
