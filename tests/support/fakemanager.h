// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakebusserver.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>

class FakeManagerObject;

// A stand-in for the privileged Manager service on the test's system bus
// (start a PrivateBus first). It owns the name org.ovra.admin.usbip, serves
// the interface org.ovra.admin.usbip.Manager at "/", records every call and
// answers each method as configured. It serves from a thread of its own
// (see FakeBusServer), so it answers while the test's thread blocks in
// waitForFinished().
//
//     FakeManager manager;
//     QVERIFY2(manager.start(), qPrintable(manager.errorString()));
//     manager.setReply(QStringLiteral("ShareDevice"), FakeManager::reply(false));
//     manager.setReply(QStringLiteral("PortsInfo"), FakeManager::reply(portText));
//     manager.setError(QStringLiteral("ConnectDevice"),
//                      QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
//     ... // exercise the code
//     QCOMPARE(manager.calls().last().method, QStringLiteral("ShareDevice"));
//
// Defaults: the boolean methods answer true, PortsInfo answers the two header
// lines of an empty port list, ShareAccess answers (false, []): any host may
// attach. Setters may be called at any time.
class FakeManager : public QObject
{
    Q_OBJECT
public:
    struct Call
    {
        QString method;
        QVariantList arguments;
    };

    // What a method answers: a value (of any bus type: a bool, a QString, an
    // int for a reply of the wrong type, ...; a QVariantList is sent as that
    // many values, as ShareAccess answers), a bus error, or no reply at all
    // (the caller then meets the bus's reply time-out).
    struct Reply
    {
        enum Kind { Value, Error, NoReply };
        Kind kind = Value;
        QVariant value;
        QString errorName;
        QString errorMessage;
    };
    static Reply reply(const QVariant &value);
    static Reply error(const QString &name, const QString &message = QString());
    static Reply noReply();

    // Called in the fake's own thread for every call before the configured
    // reply is looked up; return true and fill `reply` to answer yourself.
    using Handler = std::function<bool(const Call &call, Reply *reply)>;

    explicit FakeManager(QObject *parent = nullptr);
    ~FakeManager() override;

    // Connects to the system bus, registers the object and takes the name.
    bool start();
    // Gives up the name and leaves the bus (the service is then absent).
    void stop();
    bool isRunning() const;
    QString errorString() const { return m_server.errorString(); }

    void setReply(const QString &method, const Reply &reply);
    void setReply(const QString &method, const QVariant &value) { setReply(method, reply(value)); }
    void setError(const QString &method, const QString &errorName,
                  const QString &message = QString())
    {
        setReply(method, error(errorName, message));
    }
    void setHandler(const Handler &handler);
    void resetReplies();

    QList<Call> calls() const;
    void clearCalls();

    // Emits the bus signal Error(error, message) from "/".
    bool emitError(const QString &error, const QString &message);
    // Emits the bus signal ConnectionChanged(deviceId, attached) from "/", to
    // every listener, as the Manager does when a constant connection is lost
    // or attached again.
    bool emitConnectionChanged(const QString &deviceId, bool attached);

    static const QString DefaultPortsInfo;

private:
    friend class FakeManagerObject;
    Reply replyFor(const Call &call);

    mutable QMutex m_mutex;
    QHash<QString, Reply> m_replies;
    QList<Call> m_calls;
    Handler m_handler;

    // Last: it stops serving before the state its object reads goes.
    FakeBusServer m_server;
};

Q_DECLARE_METATYPE(FakeManager::Reply)
Q_DECLARE_METATYPE(FakeManager::Call)
