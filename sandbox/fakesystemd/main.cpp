// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// A stand-in for systemd on the sandbox's private system bus: it owns
// org.freedesktop.systemd1 and answers the calls with which the program
// checks, enables and starts a unit. Units are active and enabled unless
// named by --inactive or --disabled; starting a unit makes it active (or,
// with --fail-start, leaves it failed).
//
//   ovra-sandbox-systemd [--inactive UNIT]... [--disabled UNIT]... [--fail-start]
//
// With OVRA_SIM_STATE set, starting or stopping usbipd also switches the
// local daemon of the simulated usbip tool's world on or off.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QMap>
#include <QSaveFile>
#include <QSet>
#include <QTimer>

#include <cstdio>

namespace {

const char ServiceName[] = "org.freedesktop.systemd1";
const char ManagerPath[] = "/org/freedesktop/systemd1";
const char ManagerInterface[] = "org.freedesktop.systemd1.Manager";
const char UnitInterface[] = "org.freedesktop.systemd1.Unit";
const char PropertiesInterface[] = "org.freedesktop.DBus.Properties";
const char UnitPathPrefix[] = "/org/freedesktop/systemd1/unit/";

// One entry of EnableUnitFiles' change list: (type, file name, destination).
struct UnitFileChange
{
    QString type;
    QString file;
    QString destination;
};

} // namespace

Q_DECLARE_METATYPE(UnitFileChange)

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

namespace {

QString fullName(const QString &unit)
{
    return unit.contains(QLatin1Char('.')) ? unit : unit + QStringLiteral(".service");
}

// systemd's bus-path escaping: letters and digits stay, everything else
// becomes _xx.
QString escape(const QString &unit)
{
    QString escaped;
    const QByteArray bytes = unit.toUtf8();
    for (const char c : bytes) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            escaped += QLatin1Char(c);
        else
            escaped += QStringLiteral("_%1").arg(static_cast<uchar>(c), 2, 16, QLatin1Char('0'));
    }
    return escaped;
}

// Tells the simulated usbip tool's world whether usbipd runs, under the
// tool's own lock.
void setWorldDaemon(bool running)
{
    const QString path = QString::fromLocal8Bit(qgetenv("OVRA_SIM_STATE"));
    if (path.isEmpty())
        return;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(30000))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return; // a broken world stays as it is
    QJsonObject world = document.object();
    world.insert(QStringLiteral("usbipd"), running);
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.write(QJsonDocument(world).toJson());
        out.commit();
    }
}

const char UsbipdUnit[] = "usbipd.service";

class FakeSystemd : public QDBusVirtualObject
{
public:
    QSet<QString> inactive;
    QSet<QString> disabled;
    bool failStart = false;

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        if (message.path() == QLatin1String(ManagerPath)
            && message.interface() == QLatin1String(ManagerInterface))
            return handleManager(message, connection, member, args);
        if (message.path().startsWith(QLatin1String(UnitPathPrefix))
            && message.interface() == QLatin1String(PropertiesInterface))
            return handleProperties(message, connection, member, args);
        return false;
    }

private:
    QMap<QString, QString> m_units; // escaped path tail -> unit name
    uint m_nextJob = 1;

    QString activeState(const QString &unit) const
    {
        if (!inactive.contains(unit))
            return QStringLiteral("active");
        return failStart && m_started.contains(unit) ? QStringLiteral("failed")
                                                     : QStringLiteral("inactive");
    }
    QSet<QString> m_started;

    QDBusObjectPath unitPath(const QString &unit)
    {
        const QString tail = escape(unit);
        m_units.insert(tail, unit);
        return QDBusObjectPath(QLatin1String(UnitPathPrefix) + tail);
    }

    bool handleManager(const QDBusMessage &message, const QDBusConnection &connection,
                       const QString &member, const QList<QVariant> &args)
    {
        QDBusMessage reply;
        if ((member == QLatin1String("LoadUnit") || member == QLatin1String("GetUnit"))
            && args.size() == 1) {
            reply =
                message.createReply(QVariant::fromValue(unitPath(fullName(args.at(0).toString()))));
        } else if (member == QLatin1String("GetUnitFileState") && args.size() == 1) {
            const QString unit = fullName(args.at(0).toString());
            reply = message.createReply(disabled.contains(unit) ? QStringLiteral("disabled")
                                                                : QStringLiteral("enabled"));
        } else if (member == QLatin1String("EnableUnitFiles") && args.size() == 3) {
            QList<UnitFileChange> changes;
            const QStringList files = qdbus_cast<QStringList>(args.at(0));
            for (const QString &file : files) {
                const QString unit = fullName(file);
                disabled.remove(unit);
                changes << UnitFileChange{
                    QStringLiteral("symlink"),
                    QStringLiteral("/etc/systemd/system/multi-user.target.wants/") + unit,
                    QStringLiteral("/lib/systemd/system/") + unit};
            }
            reply = message.createReply(QVariantList{true, QVariant::fromValue(changes)});
        } else if (member == QLatin1String("Reload") || member == QLatin1String("Subscribe")
                   || member == QLatin1String("Unsubscribe")) {
            reply = message.createReply();
        } else if ((member == QLatin1String("StartUnit") || member == QLatin1String("StopUnit")
                    || member == QLatin1String("RestartUnit"))
                   && args.size() == 2) {
            const QString unit = fullName(args.at(0).toString());
            const uint id = m_nextJob++;
            const QDBusObjectPath job(QStringLiteral("/org/freedesktop/systemd1/job/%1").arg(id));
            QString result = QStringLiteral("done");
            if (member == QLatin1String("StopUnit")) {
                inactive.insert(unit);
                if (unit == QLatin1String(UsbipdUnit))
                    setWorldDaemon(false);
            } else if (failStart) {
                m_started.insert(unit);
                result = QStringLiteral("failed");
            } else {
                inactive.remove(unit);
                if (unit == QLatin1String(UsbipdUnit))
                    setWorldDaemon(true);
            }
            reply = message.createReply(QVariant::fromValue(job));
            // The job finishes shortly after the call has been answered.
            QTimer::singleShot(50, [connection, id, job, unit, result]() {
                QDBusMessage removed = QDBusMessage::createSignal(QLatin1String(ManagerPath),
                                                                  QLatin1String(ManagerInterface),
                                                                  QStringLiteral("JobRemoved"));
                removed << id << QVariant::fromValue(job) << unit << result;
                QDBusConnection(connection).send(removed);
            });
        } else {
            reply = message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                QStringLiteral("The sandbox's systemd does not know %1").arg(member));
        }
        QDBusConnection(connection).send(reply);
        return true;
    }

    bool handleProperties(const QDBusMessage &message, const QDBusConnection &connection,
                          const QString &member, const QList<QVariant> &args)
    {
        const QString tail = message.path().mid(int(qstrlen(UnitPathPrefix)));
        const QString unit = m_units.value(tail);
        QVariantMap properties{
            {QStringLiteral("Id"), unit},
            {QStringLiteral("ActiveState"), activeState(unit)},
            {QStringLiteral("SubState"),
             activeState(unit) == QLatin1String("active") ? QStringLiteral("running")
                                                          : QStringLiteral("dead")},
            {QStringLiteral("LoadState"), QStringLiteral("loaded")},
            {QStringLiteral("UnitFileState"),
             disabled.contains(unit) ? QStringLiteral("disabled") : QStringLiteral("enabled")}};
        QDBusMessage reply;
        if (unit.isEmpty()) {
            reply =
                message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                                         QStringLiteral("No such unit"));
        } else if (member == QLatin1String("Get") && args.size() == 2
                   && args.at(0).toString() == QLatin1String(UnitInterface)
                   && properties.contains(args.at(1).toString())) {
            reply = message.createReply(
                QVariant::fromValue(QDBusVariant(properties.value(args.at(1).toString()))));
        } else if (member == QLatin1String("GetAll") && args.size() == 1) {
            reply = message.createReply(QVariant::fromValue(properties));
        } else {
            reply = message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                QStringLiteral("Unknown property"));
        }
        QDBusConnection(connection).send(reply);
        return true;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<UnitFileChange>();
    qDBusRegisterMetaType<QList<UnitFileChange>>();

    FakeSystemd systemd;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        if (argument == QLatin1String("--inactive") && i + 1 < arguments.size()) {
            systemd.inactive.insert(fullName(arguments.at(++i)));
        } else if (argument == QLatin1String("--disabled") && i + 1 < arguments.size()) {
            systemd.disabled.insert(fullName(arguments.at(++i)));
        } else if (argument == QLatin1String("--fail-start")) {
            systemd.failStart = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--inactive UNIT]... [--disabled UNIT]... [--fail-start]\n",
                         argv[0]);
            return 2;
        }
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()
        || !bus.registerVirtualObject(QLatin1String(ManagerPath), &systemd,
                                      QDBusConnection::SubPath)
        || !bus.registerService(QLatin1String(ServiceName))) {
        std::fprintf(stderr, "ovra-sandbox-systemd: cannot serve %s on the system bus: %s\n",
                     ServiceName, qPrintable(bus.lastError().message()));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
