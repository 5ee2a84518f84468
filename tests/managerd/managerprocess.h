// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStringList>
#include <QVariantList>

// The built Manager service, run as a child process on the (private) system
// bus. The child inherits PATH (so a FakeUsbip is found first) and the
// environment of the test.
class ManagerProcess
{
public:
    ManagerProcess();
    ~ManagerProcess();

    static QString executable();

    // Starts the service and waits until it owns its bus name; with
    // `waitForRestore` also until it has finished restoring.
    bool start(const QStringList &arguments, bool waitForRestore = true);
    void stop();
    bool isRunning() const;
    // How the last run ended (after stop()).
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    int exitCode() const { return m_process.exitCode(); }
    qint64 pid() const;
    // What the service logged so far.
    QString log();
    QString errorString() const { return m_error; }

    // A blocking call of a Manager method on the system bus.
    static QDBusMessage call(const QString &method, const QVariantList &arguments,
                             int timeoutMs = 30000);

private:
    QProcess m_process;
    QByteArray m_log;
    QString m_error;
};
