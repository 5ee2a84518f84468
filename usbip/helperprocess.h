// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// How a run of a small helper program ended.
struct HelperRun
{
    bool finished = false; // started, and ended on its own in time
    int exitCode = -1;
    QByteArray standardOutput; // what it printed until it ended or was killed
    QByteArray standardError;

    bool succeeded() const { return finished && exitCode == 0; }
};

// Runs a small helper program (uname, lsblk) found through PATH. A program
// that cannot start gives nothing; one still running after `timeoutMs` is
// killed and gives what it printed until then. On the GUI thread the window
// stays alive meanwhile (OvraWait).
HelperRun runHelperProcess(const QString &program, const QStringList &arguments, int timeoutMs);

// The same, for callers that need only the standard output, decoded with the
// local 8-bit codec; how the program ended is not looked at.
QString helperProcessOutput(const QString &program, const QStringList &arguments, int timeoutMs);
