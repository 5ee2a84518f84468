// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "ovramanagerproxy.h"

#include <QDBusError>
#include <QDBusPendingCall>
#include <QString>

#include <functional>
#include <optional>

// Client proxy of the privileged Manager service on the system bus. Every
// method of the interface is a typed slot generated from the interface
// description, which sends the call and returns its pending reply at once;
// truth() and text() wait for such a reply and read it, which is the whole
// synchronous call of the services:
//
//     if (!manager.truth(manager.ShareDevice(busId, vidPid), report)) ...
class OvraAdminUsbIpInterface : public OvraManagerProxy
{
    Q_OBJECT
public:
    explicit OvraAdminUsbIpInterface(QObject *parent = nullptr);
    ~OvraAdminUsbIpInterface() override;

    // The fixed English text of a bus error type, translated.
    QString errorText(QDBusError::ErrorType type) const;
    // The detailed text of a failed call: the Manager's own message, as it
    // sent it, for its own errors (ManagerErrorPrefix; clean it before
    // showing it), errorText of the type for all others.
    QString errorDetail(const QDBusError &error) const;

    // Waits until `finished` holds or `timeoutMs` has passed, keeping the
    // calling thread's window alive where it can; may return at once where it
    // cannot (the call then blocks the thread until the answer or the bus's
    // time-out).
    using Waiter = std::function<bool(const std::function<bool()> &finished, int timeoutMs)>;
    void setWaiter(const Waiter &waiter);

    // Returns once the call has finished (answered, failed, or timed out
    // after ManagerReplyTimeoutMs), waiting with the waiter; for a reply with
    // more than one value, read it typed afterwards.
    void wait(const QDBusPendingCall &call);

    // Receives errorDetail of a failed call.
    using ErrorReport = std::function<void(const QString &detailed)>;
    // Waits for a call of a method that answers a truth value: false on a bus
    // error (reported) and for any answer but a boolean true (an answer of
    // another type is no error: it reads as false, and nothing is reported).
    bool truth(const QDBusPendingCall &call, const ErrorReport &report);
    // The same for a method that answers a text: nothing on a bus error, an
    // empty text for an answer of another type.
    std::optional<QString> text(const QDBusPendingCall &call, const ErrorReport &report);

    // The first value of a finished call: true only for a boolean true; a
    // string, or a number for PortsInfo-like texts, else empty.
    static bool boolReply(const QDBusPendingCall &call);
    static QString stringReply(const QDBusPendingCall &call);
    // Whether a typed pending reply failed only because the answer had
    // another type than the method declares.
    static bool isWrongType(const QDBusPendingCall &call);

private:
    Waiter m_waiter;
};
