#pragma once

#include <QDBusAbstractInterface>
#include <QDBusError>
#include <QDBusPendingReply>
#include <QString>

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

Q_SIGNALS:
    void Error(const QString &error, const QString &message);

public Q_SLOTS:
    QDBusPendingReply<bool> ConnectDevice(const QString &usbipId, bool isConst);
    QDBusPendingReply<bool> DisconnectDevice(const QString &usbipId, const QString &port);
    QDBusPendingReply<QString> PortsInfo();
    QDBusPendingReply<bool> ShareDevice(const QString &busid, const QString &vidpid = QString());
    QDBusPendingReply<bool> UnshareDevice(const QString &busid, const QString &vidpid = QString());
};
