// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakepolkit.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QMutexLocker>
#include <QTimer>
#include <QVariantMap>

namespace {

const char AuthorityService[] = "org.freedesktop.PolicyKit1";
const char AuthorityPath[] = "/org/freedesktop/PolicyKit1/Authority";
const char AuthorityInterface[] = "org.freedesktop.PolicyKit1.Authority";
const char ControlPath[] = "/org/ovra/sandbox/FakePolkit";
const char ControlInterface[] = "org.ovra.sandbox.FakePolkit";

// (sa{sv}): the subject of a check.
struct FakePolkitSubject
{
    QString kind;
    QVariantMap details;
};

// (bba{ss}): is_authorized, is_challenge, details.
struct FakePolkitResult
{
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
};

QDBusArgument &operator<<(QDBusArgument &argument, const FakePolkitSubject &subject)
{
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, FakePolkitSubject &subject)
{
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const FakePolkitResult &result)
{
    argument.beginStructure();
    argument << result.authorized << result.challenge << result.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, FakePolkitResult &result)
{
    argument.beginStructure();
    argument >> result.authorized >> result.challenge >> result.details;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(FakePolkitSubject)
Q_DECLARE_METATYPE(FakePolkitResult)

// Lives in the fake's thread and answers the authority and the control
// object.
class FakePolkitAuthority : public QDBusVirtualObject
{
public:
    explicit FakePolkitAuthority(FakePolkit *owner)
        : m_owner(owner)
    {
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        const QString member = message.member();
        const QVariantList args = message.arguments();
        QDBusMessage reply;
        if (message.path() == QLatin1String(AuthorityPath)
            && message.interface() == QLatin1String(AuthorityInterface)) {
            if (member == QLatin1String("CheckAuthorization") && args.size() == 5)
                return check(message, connection);
            if (member == QLatin1String("CancelCheckAuthorization")) {
                QMutexLocker lock(&m_owner->m_mutex);
                m_owner->m_cancelled.append(args.value(0).toString());
                reply = message.createReply();
            } else {
                reply = message.createErrorReply(
                    QStringLiteral("org.freedesktop.PolicyKit1.Error.NotSupported"),
                    QStringLiteral("The fake authority does not know %1").arg(member));
            }
        } else if (message.path() == QLatin1String(ControlPath)
                   && message.interface() == QLatin1String(ControlInterface)) {
            if (member == QLatin1String("SetAuthorized") && args.size() == 1) {
                m_owner->setAllowed(args.at(0).toBool());
                reply = message.createReply();
            } else if (member == QLatin1String("Checks")) {
                QStringList actions;
                const QList<FakePolkit::Check> checks = m_owner->checks();
                for (const FakePolkit::Check &check : checks)
                    actions << check.actionId;
                reply = message.createReply(actions);
            } else {
                reply = message.createErrorReply(QStringLiteral(
                                                     "org.freedesktop.DBus.Error.UnknownMethod"),
                                                 member);
            }
        } else {
            return false;
        }
        QDBusConnection(connection).send(reply);
        return true;
    }

private:
    bool check(const QDBusMessage &message, const QDBusConnection &connection)
    {
        const QVariantList args = message.arguments();
        const FakePolkitSubject subject = qdbus_cast<FakePolkitSubject>(args.at(0));
        FakePolkit::Check check;
        check.actionId = args.at(1).toString();
        check.subjectKind = subject.kind;
        check.busName = subject.details.value(QStringLiteral("name")).toString();
        check.flags = args.at(3).toUInt();
        check.cancellationId = args.at(4).toString();
        FakePolkitResult result;
        int delay = 0;
        {
            QMutexLocker lock(&m_owner->m_mutex);
            m_owner->m_checks.append(check);
            delay = m_owner->m_delayMs;
            result.authorized = m_owner->m_perAction.value(check.actionId, m_owner->m_allowed);
        }
        const QDBusMessage reply = message.createReply(QVariant::fromValue(result));
        if (delay <= 0) {
            QDBusConnection(connection).send(reply);
        } else {
            QDBusConnection late(connection);
            QTimer::singleShot(delay, this, [late, reply]() {
                late.send(reply);
            });
        }
        return true;
    }

    FakePolkit *m_owner;
};

FakePolkit::FakePolkit()
    : m_server(QLatin1String(AuthorityService), QStringLiteral("fake-polkit"))
{
    qDBusRegisterMetaType<FakePolkitSubject>();
    qDBusRegisterMetaType<FakePolkitResult>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

FakePolkit::~FakePolkit()
{
    stop();
}

bool FakePolkit::start(QString *error)
{
    if (m_server.start(new FakePolkitAuthority(this),
                       {QLatin1String(AuthorityPath), QLatin1String(ControlPath)}))
        return true;
    if (error)
        *error = QStringLiteral("fake polkit: %1").arg(m_server.errorString());
    return false;
}

void FakePolkit::stop()
{
    m_server.stop();
}

void FakePolkit::setAllowed(bool allowed)
{
    QMutexLocker lock(&m_mutex);
    m_allowed = allowed;
    m_perAction.clear();
}

void FakePolkit::setAllowed(const QString &actionId, bool allowed)
{
    QMutexLocker lock(&m_mutex);
    m_perAction.insert(actionId, allowed);
}

void FakePolkit::setDelay(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_delayMs = ms;
}

QList<FakePolkit::Check> FakePolkit::checks() const
{
    QMutexLocker lock(&m_mutex);
    return m_checks;
}

void FakePolkit::clearChecks()
{
    QMutexLocker lock(&m_mutex);
    m_checks.clear();
    m_cancelled.clear();
}

QStringList FakePolkit::cancelledIds() const
{
    QMutexLocker lock(&m_mutex);
    return m_cancelled;
}
