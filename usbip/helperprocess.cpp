// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "helperprocess.h"

#include "ovrawait.h"

#include <QProcess>

namespace {

const int KillWaitMs = 1000;

} // namespace

HelperRun runHelperProcess(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments, QIODevice::ReadWrite);
    OvraWait::forProcess(process, timeoutMs);
    HelperRun run;
    run.standardOutput = process.readAllStandardOutput();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        OvraWait::forProcess(process, KillWaitMs);
        run.standardError = process.readAllStandardError();
        return run;
    }
    run.standardError = process.readAllStandardError();
    run.finished =
        process.error() != QProcess::FailedToStart && process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    return run;
}

QString helperProcessOutput(const QString &program, const QStringList &arguments, int timeoutMs)
{
    return QString::fromLocal8Bit(runHelperProcess(program, arguments, timeoutMs).standardOutput);
}
