// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "polkitauthorizer.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMap>

namespace {

const char AuthorityService[] = "org.freedesktop.PolicyKit1";
const char AuthorityPath[] = "/org/freedesktop/PolicyKit1/Authority";
const char AuthorityInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr quint32 AllowUserInteraction = 0x1;

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const PolkitSubject &subject)
{
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PolkitSubject &subject)
{
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

PolkitAuthorizer::PolkitAuthorizer(const QDBusConnection &connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
{
    qDBusRegisterMetaType<PolkitSubject>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

void PolkitAuthorizer::check(const QString &actionId, const QString &busName, int timeoutMs,
                             Callback done)
{
    const QString cancellationId =
        QStringLiteral("ovra-usbip-%1-%2").arg(QCoreApplication::applicationPid()).arg(++m_nextId);
    PolkitSubject subject;
    subject.kind = QStringLiteral("system-bus-name");
    subject.details.insert(QStringLiteral("name"), busName);

    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(AuthorityService),
                                                       QLatin1String(AuthorityPath),
                                                       QLatin1String(AuthorityInterface),
                                                       QStringLiteral("CheckAuthorization"));
    call << QVariant::fromValue(subject) << actionId
         << QVariant::fromValue(QMap<QString, QString>()) << AllowUserInteraction << cancellationId;
    // An authentication dialog may stay open for long; the call may wait for it.
    call.setInteractiveAuthorizationAllowed(true);

    auto *watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(call, timeoutMs), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, watcher, done, cancellationId](QDBusPendingCallWatcher *) {
            watcher->deleteLater();
            const QDBusMessage reply = watcher->reply();
            if (reply.type() == QDBusMessage::ErrorMessage) {
                const QString name = reply.errorName();
                if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply")
                    || name == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
                    QDBusMessage cancel =
                        QDBusMessage::createMethodCall(QLatin1String(AuthorityService),
                                                       QLatin1String(AuthorityPath),
                                                       QLatin1String(AuthorityInterface),
                                                       QStringLiteral("CancelCheckAuthorization"));
                    cancel << cancellationId;
                    m_connection.call(cancel, QDBus::NoBlock);
                    done(Outcome::Failed,
                         QStringLiteral("The authorization was not given in time."));
                    return;
                }
                done(Outcome::Failed, QStringLiteral("The authorization could not be checked: %1")
                                          .arg(reply.errorMessage()));
                return;
            }
            // (bba{ss}): is_authorized, is_challenge, details
            bool authorized = false;
            bool challenge = false;
            QMap<QString, QString> details;
            const QList<QVariant> values = reply.arguments();
            if (values.size() != 1 || !values.first().canConvert<QDBusArgument>()) {
                done(Outcome::Failed, QStringLiteral("The authority gave an unreadable answer."));
                return;
            }
            const QDBusArgument argument = values.first().value<QDBusArgument>();
            if (argument.currentSignature() != QLatin1String("(bba{ss})")) {
                done(Outcome::Failed, QStringLiteral("The authority gave an unreadable answer."));
                return;
            }
            argument.beginStructure();
            argument >> authorized >> challenge >> details;
            argument.endStructure();
            if (authorized)
                done(Outcome::Allowed, QString());
            else
                done(Outcome::Denied, challenge ? QStringLiteral("Authentication is required.")
                                                : QStringLiteral("Not authorized."));
        });
}
