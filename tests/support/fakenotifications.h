// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakebusserver.h"

#include <QList>
#include <QMutex>
#include <QString>

// A desktop's notification server (org.freedesktop.Notifications) on the
// test's session bus, from a thread of its own: it records every Notify.
class FakeNotifications
{
public:
    struct Notification
    {
        QString appName, appIcon, summary, body;
        qint64 atMs; // arrival, as a started QElapsedTimer's msecsSinceReference()
    };

    FakeNotifications();
    bool start();
    void stop() { m_server.stop(); }
    QString errorString() const { return m_server.errorString(); }
    QList<Notification> notifications() const;
    void clear();

private:
    friend class FakeNotificationServer;
    mutable QMutex m_mutex;
    QList<Notification> m_notifications;
    FakeBusServer m_server; // last: it stops serving before the list goes
};
