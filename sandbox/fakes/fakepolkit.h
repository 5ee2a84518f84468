// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakebusserver.h"

#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

class FakePolkitAuthority;

// A fake polkit authority (org.freedesktop.PolicyKit1 at
// /org/freedesktop/PolicyKit1/Authority) on the private system bus. It
// answers CheckAuthorization with "authorised" or "not authorised" as set,
// optionally late, and records every check. It serves from a thread of its
// own (see FakeBusServer), so a test may block in
// QDBusPendingCall::waitForFinished while a service asks the fake.
//
// Whoever did not start it switches it through its control object:
//   org.ovra.sandbox.FakePolkit.SetAuthorized(b)   on /org/ovra/sandbox/FakePolkit
//   org.ovra.sandbox.FakePolkit.Checks() -> as     the action ids asked so far
//
// Start the private bus (PrivateBus::start) before start().
class FakePolkit
{
public:
    struct Check
    {
        QString actionId;
        QString subjectKind;
        QString busName; // subject detail "name" of a system-bus-name subject
        quint32 flags = 0; // 1: user interaction allowed
        QString cancellationId;
    };

    FakePolkit();
    ~FakePolkit();

    bool start(QString *error = nullptr);
    void stop();

    // Every action is allowed (default) or denied; setAllowed(action, ...)
    // overrides one action.
    void setAllowed(bool allowed);
    void setAllowed(const QString &actionId, bool allowed);
    // Answers each check only after `ms` milliseconds.
    void setDelay(int ms);

    QList<Check> checks() const;
    void clearChecks();
    QStringList cancelledIds() const;

private:
    friend class FakePolkitAuthority;

    mutable QMutex m_mutex;
    bool m_allowed = true;
    QMap<QString, bool> m_perAction;
    int m_delayMs = 0;
    QList<Check> m_checks;
    QStringList m_cancelled;

    // Last: it stops serving before the state its object reads goes.
    FakeBusServer m_server;
};
