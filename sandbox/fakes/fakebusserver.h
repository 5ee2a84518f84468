// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <QThread>

class QDBusVirtualObject;

// Serves one name on the system bus (or the session bus) from a bus
// connection and a thread of its own, so that the name answers while the
// thread that started it blocks in a call or waits for a child process that
// calls. The fakes of the bus services are built on it.
class FakeBusServer
{
public:
    // `label` names the connection and the thread in diagnostics.
    FakeBusServer(const QString &serviceName, const QString &label,
                  QDBusConnection::BusType bus = QDBusConnection::SystemBus);
    ~FakeBusServer();

    // Serves `object` (taken over; it moves into the server's thread and is
    // deleted by stop()) at each of `paths`, then takes the name.
    bool start(QDBusVirtualObject *object, const QStringList &paths,
               QDBusConnection::VirtualObjectRegisterOption option = QDBusConnection::SingleNode);
    // Gives up the name and leaves the bus; pending timers of the object die
    // with it.
    void stop();
    bool isRunning() const { return m_object != nullptr; }
    QString errorString() const { return m_error; }

    // The server's own connection (for signals).
    QDBusConnection connection() const;

private:
    QString m_serviceName;
    QString m_connectionName;
    QDBusConnection::BusType m_bus;
    QStringList m_paths;
    QThread m_thread;
    QDBusVirtualObject *m_object = nullptr;
    QString m_error;
};
