// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

// Asks the system's polkit authority whether a bus client may do an action.
//
// The check is the authority's CheckAuthorization method, called directly
// over the bus without blocking the event loop: several clients may be
// waiting for an authentication dialog at the same time, and each answer
// must reach its own call. (The polkit-qt-1 Authority reports asynchronous
// results through one signal that does not say which check it answers and
// can only cancel "the last" check, and its synchronous check would block
// the service while a dialog is open.)
class PolkitAuthorizer : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Allowed, Denied, Failed };
    using Callback = std::function<void(Outcome, const QString &reason)>;

    explicit PolkitAuthorizer(const QDBusConnection &connection, QObject *parent = nullptr);

    // Checks `actionId` for the client with unique bus name `busName`, with
    // user interaction allowed. `done` is called exactly once; after
    // `timeoutMs` without an answer the check is cancelled and fails.
    void check(const QString &actionId, const QString &busName, int timeoutMs, Callback done);

private:
    QDBusConnection m_connection;
    quint64 m_nextId = 0;
};

// The polkit subject (kind, details) as it goes over the bus: (sa{sv}).
struct PolkitSubject
{
    QString kind;
    QVariantMap details;
};
Q_DECLARE_METATYPE(PolkitSubject)
