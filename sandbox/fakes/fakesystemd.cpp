// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakesystemd.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutexLocker>
#include <QTimer>

namespace {

const char ServiceName[] = "org.freedesktop.systemd1";
const char ManagerPath[] = "/org/freedesktop/systemd1";
const char ManagerInterface[] = "org.freedesktop.systemd1.Manager";
const char UnitInterface[] = "org.freedesktop.systemd1.Unit";
const char PropertiesInterface[] = "org.freedesktop.DBus.Properties";
const char UnitPathPrefix[] = "/org/freedesktop/systemd1/unit/";

// One entry of the change list EnableUnitFiles answers: (type, file, destination).
struct FakeUnitFileChange
{
    QString type;
    QString file;
    QString destination;
};

QDBusArgument &operator<<(QDBusArgument &argument, const FakeUnitFileChange &change)
{
    argument.beginStructure();
    argument << change.type << change.file << change.destination;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, FakeUnitFileChange &change)
{
    argument.beginStructure();
    argument >> change.type >> change.file >> change.destination;
    argument.endStructure();
    return argument;
}

// The unit a path below UnitPathPrefix names (the escaping of unitPath undone).
QString unitOfPath(const QString &path)
{
    const QByteArray tail = path.mid(int(qstrlen(UnitPathPrefix))).toLatin1();
    QByteArray name;
    for (int i = 0; i < tail.size(); ++i) {
        bool hex = false;
        if (tail.at(i) == '_' && i + 2 < tail.size()) {
            const char byte = char(tail.mid(i + 1, 2).toUInt(&hex, 16));
            if (hex) {
                name += byte;
                i += 2;
                continue;
            }
        }
        name += tail.at(i);
    }
    return QString::fromUtf8(name);
}

QString subState(const QString &activeState)
{
    return activeState == QLatin1String("active") ? QStringLiteral("running")
                                                  : QStringLiteral("dead");
}

} // namespace

Q_DECLARE_METATYPE(FakeUnitFileChange)
Q_DECLARE_METATYPE(QList<FakeUnitFileChange>)

// Lives in the fake's thread and answers every message for the manager
// object and the unit objects below it.
class FakeSystemdObject : public QDBusVirtualObject
{
public:
    explicit FakeSystemdObject(FakeSystemd *owner)
        : m_owner(owner)
    {
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        if (message.interface() == QLatin1String(PropertiesInterface))
            return send(connection, properties(message));
        if (message.path() != QLatin1String(ManagerPath))
            return false;
        return send(connection, manager(message));
    }

private:
    QDBusMessage manager(const QDBusMessage &message)
    {
        const QString method = message.member();
        const QVariantList args = message.arguments();
        const QString first = args.isEmpty() ? QString() : args.constFirst().toString();
        QMutexLocker lock(&m_owner->m_mutex);
        QStringList &calls = m_owner->m_calls;

        if (method == QLatin1String("LoadUnit") || method == QLatin1String("GetUnit")) {
            calls << method + QLatin1Char(' ') + first;
            if (method == QLatin1String("GetUnit") && !m_owner->findUnit(first))
                return message.createErrorReply(QStringLiteral(
                                                    "org.freedesktop.systemd1.NoSuchUnit"),
                                                QStringLiteral("Unit %1 not loaded.").arg(first));
            return message.createReply(
                QVariant::fromValue(QDBusObjectPath(FakeSystemd::unitPath(first))));
        }
        if (method == QLatin1String("GetUnitFileState")) {
            calls << method + QLatin1Char(' ') + first;
            const FakeSystemd::Unit *unit = m_owner->findUnit(first);
            if (!unit)
                return message.createErrorReply(QStringLiteral(
                                                    "org.freedesktop.DBus.Error.FileNotFound"),
                                                QStringLiteral("No such file or directory"));
            return message.createReply(unit->fileState);
        }
        if (method == QLatin1String("EnableUnitFiles")) {
            const QStringList files = qdbus_cast<QStringList>(args.value(0));
            calls << method + QLatin1Char(' ') + files.join(QLatin1Char(','));
            QList<FakeSystemd::Unit *> units;
            for (const QString &file : files)
                units << m_owner->findUnit(file);
            if (!m_owner->m_enableSucceeds || files.isEmpty() || units.contains(nullptr))
                return message.createErrorReply(QStringLiteral(
                                                    "org.freedesktop.DBus.Error.AccessDenied"),
                                                QStringLiteral("Access denied"));
            QList<FakeUnitFileChange> changes;
            for (int i = 0; i < files.size(); ++i) {
                units.at(i)->fileState = QStringLiteral("enabled");
                changes << FakeUnitFileChange{
                    QStringLiteral("symlink"),
                    QStringLiteral("/etc/systemd/system/multi-user.target.wants/") + files.at(i),
                    QStringLiteral("/lib/systemd/system/") + files.at(i)};
            }
            QDBusMessage reply = message.createReply();
            reply << true << QVariant::fromValue(changes);
            return reply;
        }
        if (method == QLatin1String("StartUnit") || method == QLatin1String("StopUnit")
            || method == QLatin1String("RestartUnit")) {
            calls << method + QLatin1Char(' ') + first + QLatin1Char(' ')
                         + args.value(1).toString();
            FakeSystemd::Unit *unit = m_owner->findUnit(first);
            if (!unit)
                return message.createErrorReply(QStringLiteral(
                                                    "org.freedesktop.systemd1.NoSuchUnit"),
                                                QStringLiteral("Unit %1 not found.").arg(first));
            if (m_owner->m_startRefused)
                return message.createErrorReply(QStringLiteral(
                                                    "org.freedesktop.DBus.Error.AccessDenied"),
                                                QStringLiteral("Access denied"));
            const bool stop = method == QLatin1String("StopUnit");
            if (stop && unit->activeState != QLatin1String("inactive"))
                unit->activeState = QStringLiteral("deactivating");
            else if (!stop && unit->activeState != QLatin1String("active"))
                unit->activeState = QStringLiteral("activating");
            const uint id = m_owner->m_nextJob++;
            const QDBusObjectPath job(QStringLiteral("/org/freedesktop/systemd1/job/%1").arg(id));
            // The job finishes after the call has been answered.
            QTimer::singleShot(m_owner->m_startDelayMs, this, [this, id, job, first, stop]() {
                finishJob(id, job, first, stop);
            });
            return message.createReply(QVariant::fromValue(job));
        }
        if (method == QLatin1String("Reload") || method == QLatin1String("Subscribe")
            || method == QLatin1String("Unsubscribe")) {
            calls << method;
            return message.createReply();
        }
        calls << QStringLiteral("unknown ") + method;
        return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                        QStringLiteral("Unknown method %1").arg(method));
    }

    QDBusMessage properties(const QDBusMessage &message)
    {
        const QVariantList args = message.arguments();
        const QString property = args.value(1).toString();
        QMutexLocker lock(&m_owner->m_mutex);
        m_owner->m_calls << message.member() + QLatin1Char(' ') + property;
        const QString name = unitOfPath(message.path());
        const FakeSystemd::Unit *unit = nullptr;
        if (message.path().startsWith(QLatin1String(UnitPathPrefix)))
            unit = m_owner->findUnit(name);
        // Like systemd, an unknown unit is an object too: one not found.
        const QString activeState = unit ? unit->activeState : QStringLiteral("inactive");
        const QVariantMap values{{QStringLiteral("Id"), name},
                                 {QStringLiteral("ActiveState"), activeState},
                                 {QStringLiteral("SubState"), subState(activeState)},
                                 {QStringLiteral("LoadState"),
                                  unit ? QStringLiteral("loaded") : QStringLiteral("not-found")},
                                 {QStringLiteral("UnitFileState"),
                                  unit ? unit->fileState : QString()}};
        lock.unlock();

        const bool ourInterface = args.value(0).toString() == QLatin1String(UnitInterface);
        if (message.path().startsWith(QLatin1String(UnitPathPrefix)) && ourInterface) {
            if (message.member() == QLatin1String("Get") && values.contains(property))
                return message.createReply(
                    QVariant::fromValue(QDBusVariant(values.value(property))));
            if (message.member() == QLatin1String("GetAll"))
                return message.createReply(QVariant::fromValue(values));
        }
        return message.createErrorReply(QStringLiteral(
                                            "org.freedesktop.DBus.Error.UnknownProperty"),
                                        QStringLiteral("Unknown property"));
    }

    void finishJob(uint id, const QDBusObjectPath &job, const QString &name, bool stop)
    {
        QMutexLocker lock(&m_owner->m_mutex);
        const bool succeeds = stop || m_owner->m_startSucceeds;
        const FakeSystemd::ActiveHandler handler = m_owner->m_activeHandler;
        const bool signal = m_owner->m_sendsJobSignals;
        lock.unlock();
        if (succeeds && handler)
            handler(name, !stop);

        lock.relock();
        if (FakeSystemd::Unit *unit = m_owner->findUnit(name)) {
            unit->activeState = !succeeds ? QStringLiteral("failed")
                              : stop      ? QStringLiteral("inactive")
                                          : QStringLiteral("active");
        }
        lock.unlock();
        if (!signal)
            return;
        QDBusMessage removed =
            QDBusMessage::createSignal(QLatin1String(ManagerPath), QLatin1String(ManagerInterface),
                                       QStringLiteral("JobRemoved"));
        removed << id << QVariant::fromValue(job) << name
                << (succeeds ? QStringLiteral("done") : QStringLiteral("failed"));
        m_owner->m_server.connection().send(removed);
    }

    static bool send(const QDBusConnection &connection, const QDBusMessage &reply)
    {
        QDBusConnection(connection).send(reply);
        return true;
    }

    FakeSystemd *m_owner;
};

FakeSystemd::FakeSystemd(const QString &unit)
    : m_unit(unit)
    , m_server(QLatin1String(ServiceName), QStringLiteral("fake-systemd"))
{
    m_units.insert(unit, Unit{QStringLiteral("inactive"), QStringLiteral("enabled")});
}

FakeSystemd::~FakeSystemd()
{
    stop();
}

QString FakeSystemd::unitPath(const QString &unit)
{
    // systemd's bus path escaping: every byte other than [A-Za-z0-9] as _xx.
    QString path = QLatin1String(UnitPathPrefix);
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
    qDBusRegisterMetaType<FakeUnitFileChange>();
    qDBusRegisterMetaType<QList<FakeUnitFileChange>>();
    return m_server.start(new FakeSystemdObject(this), {QLatin1String(ManagerPath)},
                          QDBusConnection::SubPath);
}

void FakeSystemd::stop()
{
    m_server.stop();
}

FakeSystemd::Unit *FakeSystemd::findUnit(const QString &name)
{
    auto found = m_units.find(name);
    if (found == m_units.end() && m_otherUnitsExist && !name.isEmpty())
        found = m_units.insert(name, Unit{QStringLiteral("active"), QStringLiteral("enabled")});
    return found == m_units.end() ? nullptr : &found.value();
}

QString FakeSystemd::unit() const
{
    return m_unit;
}

void FakeSystemd::addUnit(const QString &unit, bool active, bool enabled)
{
    QMutexLocker lock(&m_mutex);
    m_units.insert(unit, Unit{active ? QStringLiteral("active") : QStringLiteral("inactive"),
                              enabled ? QStringLiteral("enabled") : QStringLiteral("disabled")});
}

void FakeSystemd::setActive(bool active)
{
    QMutexLocker lock(&m_mutex);
    m_units[m_unit].activeState = active ? QStringLiteral("active") : QStringLiteral("inactive");
}

bool FakeSystemd::isActive() const
{
    return activeState() == QLatin1String("active");
}

QString FakeSystemd::activeState() const
{
    QMutexLocker lock(&m_mutex);
    return m_units.value(m_unit).activeState;
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
    m_units[m_unit].fileState = state;
}

QString FakeSystemd::unitFileState() const
{
    QMutexLocker lock(&m_mutex);
    return m_units.value(m_unit).fileState;
}

QStringList FakeSystemd::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

void FakeSystemd::clearCalls()
{
    QMutexLocker lock(&m_mutex);
    m_calls.clear();
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
