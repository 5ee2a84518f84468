// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// A stand-in for the polkit authority on the sandbox's private system bus.
// It owns org.freedesktop.PolicyKit1 and answers every CheckAuthorization
// with "allowed", or with "denied" after --deny; --delay MS answers only after
// MS milliseconds, as an authentication dialog that the user takes time over.
// The answer can be switched while it runs through its control interface:
//
//   org.ovra.sandbox.FakePolkit.SetAuthorized(b)   on /org/ovra/sandbox/FakePolkit
//   org.ovra.sandbox.FakePolkit.Checks() -> as     the action ids asked so far
//
//   ovra-sandbox-polkit [--deny] [--delay MS]

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QMap>
#include <QTimer>

#include <cstdio>

namespace {

const char ServiceName[] = "org.freedesktop.PolicyKit1";
const char AuthorityPath[] = "/org/freedesktop/PolicyKit1/Authority";
const char AuthorityInterface[] = "org.freedesktop.PolicyKit1.Authority";
const char ControlPath[] = "/org/ovra/sandbox/FakePolkit";
const char ControlInterface[] = "org.ovra.sandbox.FakePolkit";

// CheckAuthorization's answer: (is_authorized, is_challenge, details).
struct AuthorizationResult
{
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
};

} // namespace

Q_DECLARE_METATYPE(AuthorizationResult)

QDBusArgument &operator<<(QDBusArgument &argument, const AuthorizationResult &result)
{
    argument.beginStructure();
    argument << result.authorized << result.challenge << result.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, AuthorizationResult &result)
{
    argument.beginStructure();
    argument >> result.authorized >> result.challenge >> result.details;
    argument.endStructure();
    return argument;
}

namespace {

class FakeAuthority : public QDBusVirtualObject
{
public:
    bool authorized = true;
    int delayMs = 0;
    QStringList checks;

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        QDBusMessage reply;
        if (message.path() == QLatin1String(AuthorityPath)
            && message.interface() == QLatin1String(AuthorityInterface)) {
            if (member == QLatin1String("CheckAuthorization") && args.size() == 5) {
                checks << args.at(1).toString();
                AuthorizationResult result;
                result.authorized = authorized;
                reply = message.createReply(QVariant::fromValue(result));
                if (delayMs > 0) {
                    QTimer::singleShot(delayMs, [connection, reply]() {
                        QDBusConnection(connection).send(reply);
                    });
                    return true;
                }
            } else if (member == QLatin1String("CancelCheckAuthorization")) {
                reply = message.createReply();
            } else {
                reply = message.createErrorReply(
                    QStringLiteral("org.freedesktop.PolicyKit1.Error.NotSupported"),
                    QStringLiteral("The sandbox's authority does not know %1").arg(member));
            }
        } else if (message.path() == QLatin1String(ControlPath)
                   && message.interface() == QLatin1String(ControlInterface)) {
            if (member == QLatin1String("SetAuthorized") && args.size() == 1) {
                authorized = args.at(0).toBool();
                reply = message.createReply();
            } else if (member == QLatin1String("Checks")) {
                reply = message.createReply(checks);
            } else {
                reply = message.createErrorReply(
                    QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member);
            }
        } else {
            return false;
        }
        QDBusConnection(connection).send(reply);
        return true;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<AuthorizationResult>();

    FakeAuthority authority;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        bool ok = true;
        if (arguments.at(i) == QLatin1String("--deny")) {
            authority.authorized = false;
        } else if (arguments.at(i) == QLatin1String("--delay") && i + 1 < arguments.size()) {
            authority.delayMs = arguments.at(++i).toInt(&ok);
        } else {
            ok = false;
        }
        if (!ok || authority.delayMs < 0) {
            std::fprintf(stderr, "usage: %s [--deny] [--delay MS]\n", argv[0]);
            return 2;
        }
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.registerVirtualObject(QLatin1String(AuthorityPath), &authority)
        || !bus.registerVirtualObject(QLatin1String(ControlPath), &authority)
        || !bus.registerService(QLatin1String(ServiceName))) {
        std::fprintf(stderr, "ovra-sandbox-polkit: cannot serve %s on the system bus: %s\n",
                     ServiceName, qPrintable(bus.lastError().message()));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
