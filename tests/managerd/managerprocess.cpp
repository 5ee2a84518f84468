// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerprocess.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QThread>

#include "ovrausbipmanager.h"

ManagerProcess::ManagerProcess()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

ManagerProcess::~ManagerProcess()
{
    stop();
}

QString ManagerProcess::executable()
{
    return QStringLiteral(OVRA_MANAGERD_EXECUTABLE);
}

bool ManagerProcess::start(const QStringList &arguments, bool waitForRestore)
{
    const int logStart = m_log.size(); // the log keeps the output of earlier runs
    m_process.start(executable(), arguments, QIODevice::ReadOnly);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("the service did not start: %1").arg(m_process.errorString());
        return false;
    }
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    const QDeadlineTimer deadline(15000);
    bool owned = false;
    bool restored = !waitForRestore;
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        owned = owned || bus->isServiceRegistered(QLatin1String(OvraUsbIp::ManagerService));
        m_process.waitForReadyRead(20);
        m_log += m_process.readAll();
        restored = restored || m_log.indexOf("restore done", logStart) >= 0;
        if (owned && restored)
            return true;
    }
    m_error = QStringLiteral("the service did not come up: %1").arg(QString::fromLocal8Bit(m_log));
    return false;
}

void ManagerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_log += m_process.readAll();
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_log += m_process.readAll();
    // Let the bus see the name go before a new instance asks for it.
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()
           && bus->isServiceRegistered(QLatin1String(OvraUsbIp::ManagerService)))
        QThread::msleep(10);
}

bool ManagerProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

qint64 ManagerProcess::pid() const
{
    return m_process.processId();
}

QString ManagerProcess::log()
{
    m_log += m_process.readAll();
    return QString::fromLocal8Bit(m_log);
}

QDBusMessage ManagerProcess::call(const QString &method, const QVariantList &arguments,
                                  int timeoutMs)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QLatin1String(OvraUsbIp::ManagerService), QLatin1String(OvraUsbIp::ManagerPath),
        QLatin1String(OvraUsbIp::ManagerInterface), method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, timeoutMs);
}
