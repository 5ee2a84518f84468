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

// Typed client proxy of the privileged Manager service on the system bus.
// The proxy never waits itself: every method returns its pending reply.
class OvraAdminUsbIpInterface : public QDBusAbstractInterface
{
    Q_OBJECT
public:
    explicit OvraAdminUsbIpInterface(QObject *parent = nullptr);
    ~OvraAdminUsbIpInterface() override;

    // The fixed English text of a bus error type, translated.
    QString errorText(QDBusError::ErrorType type) const;

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

public Q_SLOTS:
    QDBusPendingReply<bool> ConnectDevice(const QString &usbipId, bool isConst);
    QDBusPendingReply<bool> DisconnectDevice(const QString &usbipId, const QString &port);
    QDBusPendingReply<QString> PortsInfo();
    QDBusPendingReply<bool> ShareDevice(const QString &busid, const QString &vidpid = QString());
    QDBusPendingReply<bool> UnshareDevice(const QString &busid, const QString &vidpid = QString());
};
