// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QProcess>
#include <QStringList>

// Runs the `usbip` command-line tool synchronously. The owner reads the
// command's output from this object after run() returns.
class UsbIpProcess : public QProcess
{
public:
    explicit UsbIpProcess(QObject *parent = nullptr);

    // True exactly when the command ran to a normal end with exit code 0.
    // timeout is in milliseconds, -1 waits without limit; elevated runs the
    // tool through pkexec.
    bool run(const QStringList &arguments, int timeout = -1, bool elevated = false);
    // Whether the last command was stopped for taking longer than its limit.
    bool timedOut() const;
    // Whether the last command could not be started at all (no such program).
    bool failedToStart() const;

    bool listLocal();
    bool listRemote(const QString &host, int timeout);
    bool listPorts();
    bool bindDevice(const QString &busid);
    bool unbindDevice(const QString &busid);
    bool attachDevice(const QString &host, const QString &busid);
    bool detachDevice(const QString &port);

    // Starts `usbip list -r <host>` without waiting for it, for owners that
    // run several at once: they look in with waitForFinished (a limit of 0
    // only looks), end it with kill(), and ask succeeded() once it is over.
    void startListRemote(const QString &host);
    // True when the last command started and ran to a normal end with exit
    // code 0.
    bool succeeded() const;

    // Output of the last command, decoded with the local 8-bit codec up to
    // its first NUL byte.
    QString standardOutputText();
    QString standardErrorText();

private:
    bool m_timedOut = false;
    bool m_failedToStart = false;
};
