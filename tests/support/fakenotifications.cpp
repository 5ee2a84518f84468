// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakenotifications.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>

namespace {

const char Service[] = "org.freedesktop.Notifications";
const char Path[] = "/org/freedesktop/Notifications";

} // namespace

// Lives in the server's thread.
class FakeNotificationServer : public QDBusVirtualObject
{
public:
    explicit FakeNotificationServer(FakeNotifications *owner)
        : m_owner(owner)
    {
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage
            || message.path() != QLatin1String(Path))
            return false;
        const QString member = message.member();
        const QVariantList args = message.arguments();
        QDBusMessage reply;
        if (member == QLatin1String("GetCapabilities")) {
            reply = message.createReply(QStringList{QStringLiteral("body")});
        } else if (member == QLatin1String("GetServerInformation")) {
            reply = message.createReply(QVariantList{QStringLiteral("fake"), QStringLiteral("ovra"),
                                                     QStringLiteral("1"), QStringLiteral("1.2")});
        } else if (member == QLatin1String("Notify") && args.size() == 8) {
            FakeNotifications::Notification seen;
            QElapsedTimer now;
            now.start();
            seen.atMs = now.msecsSinceReference();
            seen.appName = args.at(0).toString();
            seen.appIcon = args.at(2).toString();
            seen.summary = args.at(3).toString();
            seen.body = args.at(4).toString();
            uint id = 0;
            {
                QMutexLocker lock(&m_owner->m_mutex);
                m_owner->m_notifications.append(seen);
                id = uint(m_owner->m_notifications.size());
            }
            reply = message.createReply(QVariant::fromValue(id));
        } else if (member == QLatin1String("CloseNotification")) {
            reply = message.createReply();
        } else {
            reply = message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member);
        }
        QDBusConnection(connection).send(reply);
        return true;
    }

private:
    FakeNotifications *m_owner;
};

FakeNotifications::FakeNotifications()
    : m_server(QLatin1String(Service), QStringLiteral("fake-notifications"),
               QDBusConnection::SessionBus)
{
}

FakeNotifications::~FakeNotifications()
{
    stop();
}

bool FakeNotifications::start()
{
    return m_server.start(new FakeNotificationServer(this), {QLatin1String(Path)});
}

void FakeNotifications::stop()
{
    m_server.stop();
}

QList<FakeNotifications::Notification> FakeNotifications::notifications() const
{
    QMutexLocker lock(&m_mutex);
    return m_notifications;
}

void FakeNotifications::clear()
{
    QMutexLocker lock(&m_mutex);
    m_notifications.clear();
}
