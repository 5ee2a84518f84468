// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusAbstractInterface>
#include <QDBusError>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

// Typed client proxy of the privileged Manager service on the system bus.
// The typed slots never wait: each returns its pending reply. The call*
// operations are the whole synchronous call of the services: send, wait,
// report a bus error, read the answer.
class OvraAdminUsbIpInterface : public QDBusAbstractInterface
{
    Q_OBJECT
public:
    explicit OvraAdminUsbIpInterface(QObject *parent = nullptr);
    ~OvraAdminUsbIpInterface() override;

    // The fixed English text of a bus error type, translated.
    QString errorText(QDBusError::ErrorType type) const;
    // The detailed text of a failed call: the Manager's own message for its
    // own errors (ManagerErrorPrefix), errorText of the type for all others.
    QString errorDetail(const QDBusError &error) const;

    // Waits until `finished` holds or `timeoutMs` has passed, keeping the
    // calling thread's window alive where it can; may return at once where it
    // cannot (the call then blocks the thread until the answer or the bus's
    // time-out).
    using Waiter = std::function<bool(const std::function<bool()> &finished, int timeoutMs)>;
    void setWaiter(const Waiter &waiter);

    // Receives errorDetail of a failed call.
    using ErrorReport = std::function<void(const QString &detailed)>;
    // Sends the call and returns it finished (answered, failed, or timed out
    // after ManagerReplyTimeoutMs).
    QDBusPendingCall callAndWait(const QString &method, const QList<QVariant> &arguments);
    // The synchronous call of a method that answers a truth value: false on a
    // bus error (reported) and for any answer but a boolean true.
    bool callForTruth(const QString &method, const QList<QVariant> &arguments,
                      const ErrorReport &report);
    // The same for a method that answers a text: nothing on a bus error.
    std::optional<QString> callForText(const QString &method, const QList<QVariant> &arguments,
                                       const ErrorReport &report);

    // The same bus call as the typed slots, without the reply's type check:
    // a typed reply of the wrong type turns into a signature error, while the
    // callers must read such a value as false (or as an empty text).
    QDBusPendingCall callUntyped(const QString &method, const QList<QVariant> &arguments);
    // The first value of a finished call: true only for a boolean true; a
    // string, or a number for PortsInfo-like texts, else empty.
    static bool boolReply(const QDBusPendingCall &call);
    static QString stringReply(const QDBusPendingCall &call);

Q_SIGNALS:
    void Error(const QString &error, const QString &message);
    // A constant connection was lost (false) or is attached again (true).
    void ConnectionChanged(const QString &deviceId, bool attached);

public Q_SLOTS:
    QDBusPendingReply<bool> ConnectDevice(const QString &usbipId, bool isConst);
    // With usbipId, port may be OvraUsbIp::UnknownPort.
    QDBusPendingReply<bool> DisconnectDevice(const QString &usbipId, const QString &port);
    QDBusPendingReply<QString> PortsInfo();
    QDBusPendingReply<bool> ShareDevice(const QString &busid, const QString &vidpid = QString());
    QDBusPendingReply<bool> UnshareDevice(const QString &busid, const QString &vidpid = QString());

private:
    Waiter m_waiter;
};
