// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A fake `usbip` executable put first on PATH. For each argument list it
// replays a recorded standard output, standard error, exit code and delay,
// and it records every argument list it was called with. Argument lists
// without a response of their own get the default response (exit code 0,
// no output) or, after setDefaultPassThrough(), run the real tool.
//
// Beside it stands a fake `lsblk`, the other tool whose output decides what
// the window offers: it prints a recorded layout of block devices, by
// default "lsblk-plain-partition.json" (the system on /dev/sda), so that no
// suite depends on this machine's disks.
class FakeUsbip
{
public:
    FakeUsbip();
    ~FakeUsbip();

    bool isValid() const { return m_dir.isValid(); }
    QString directory() const { return m_dir.path(); }
    QString executable() const;

    void setResponse(const QStringList &arguments, const QByteArray &standardOutput,
                     const QByteArray &standardError = QByteArray(), int exitCode = 0,
                     int delayMs = 0);
    // Shell commands the fake runs, after its delay, when called with these
    // arguments: what the real tool changes beside its output. Set it after
    // their response (without one they succeed with no output).
    void setEffect(const QStringList &arguments, const QByteArray &shellCommands);
    void setDefaultResponse(const QByteArray &standardOutput,
                            const QByteArray &standardError = QByteArray(), int exitCode = 0,
                            int delayMs = 0);
    // Hands these arguments (or, by default, everything) to the real tool.
    void setPassThrough(const QStringList &arguments);
    void setDefaultPassThrough();
    void clearResponses();

    // What the fake lsblk prints and how it exits, whatever it is asked.
    void setBlockDevices(const QByteArray &standardOutput, int exitCode = 0,
                         const QByteArray &standardError = QByteArray());

    // Every argument list the fake was called with, oldest first.
    QList<QStringList> calls() const;
    void clearCalls();

    // Puts the fake's folder first on PATH (done by the constructor) or
    // restores the PATH found at construction.
    void install();
    void uninstall();

    static QString realUsbip();

private:
    QString responseDir(const QStringList &arguments) const;
    void writeResponse(const QString &dir, const QByteArray &out, const QByteArray &err,
                       int exitCode, int delayMs);

    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    bool m_installed = false;
};
