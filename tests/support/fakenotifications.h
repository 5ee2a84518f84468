// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakebusserver.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>

// A desktop's notification server (org.freedesktop.Notifications at
// /org/freedesktop/Notifications) on the session bus of the test, serving
// from a thread of its own: it answers GetCapabilities, GetServerInformation,
// Notify and CloseNotification, and records every notification. Point
// DBUS_SESSION_BUS_ADDRESS at a private bus before the first session-bus
// connection of the process.
class FakeNotifications
{
public:
    struct Notification
    {
        QString appName;
        QString appIcon;
        QString summary;
        QString body;
        qint64 atMs = 0; // when it arrived: a started QElapsedTimer's msecsSinceReference()
    };

    FakeNotifications();
    ~FakeNotifications();

    bool start();
    void stop();
    QString errorString() const { return m_server.errorString(); }

    QList<Notification> notifications() const;
    void clear();

private:
    friend class FakeNotificationServer;

    mutable QMutex m_mutex;
    QList<Notification> m_notifications;
    FakeBusServer m_server;
};
