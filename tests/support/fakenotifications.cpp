// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakenotifications.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>

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
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        const QVariantList args = message.arguments();
        QDBusMessage reply =
            message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                     message.member());
        if (message.member() == QLatin1String("GetCapabilities")) {
            reply = message.createReply(QStringList{QStringLiteral("body")});
        } else if (message.member() == QLatin1String("Notify") && args.size() == 8) {
            QElapsedTimer now;
            now.start();
            QMutexLocker lock(&m_owner->m_mutex);
            m_owner->m_notifications.append({args.at(0).toString(), args.at(2).toString(),
                                             args.at(3).toString(), args.at(4).toString(),
                                             now.msecsSinceReference()});
            reply = message.createReply(uint(m_owner->m_notifications.size()));
        }
        QDBusConnection(connection).send(reply);
        return true;
    }

private:
    FakeNotifications *m_owner;
};

FakeNotifications::FakeNotifications()
    : m_server(QStringLiteral("org.freedesktop.Notifications"),
               QStringLiteral("fake-notifications"), QDBusConnection::SessionBus)
{
}

bool FakeNotifications::start()
{
    return m_server.start(new FakeNotificationServer(this),
                          {QStringLiteral("/org/freedesktop/Notifications")});
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
