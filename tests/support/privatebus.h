// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private dbus-daemon that stands in for the system bus: start() launches
// it with a permissive configuration and points DBUS_SYSTEM_BUS_ADDRESS at
// it. Start it before the first QDBusConnection::systemBus() of the process:
// Qt keeps that connection for the life of the process.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();

    // Folder the bus searches for activatable services (*.service files).
    QString serviceDir() const;
    // Writes an activation file for `name` that runs `command`.
    void addActivatableService(const QString &name, const QString &command);
    // Takes the activation file of `name` away again.
    void removeActivatableService(const QString &name);

    bool start();
    void stop();
    bool isRunning() const;
    QString address() const { return m_address; }
    QString errorString() const { return m_error; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
};
