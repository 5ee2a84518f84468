// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "helperprocess.h"

#include "ovrawait.h"

#include <QDebug>
#include <QProcess>

#include <memory>

namespace {

const int KillWaitMs = 1000;

} // namespace

HelperRun runHelperProcess(const QString &program, const QStringList &arguments, int timeoutMs)
{
    // On the heap: a helper that outlives its kill (stuck in the kernel on a
    // dead disk) is let go below, where ~QProcess would block for 30 s.
    auto process = std::make_unique<QProcess>();
    // It reads nothing: no pipe is kept open as its standard input.
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(program, arguments, QIODevice::ReadOnly);
    OvraWait::forProcess(*process, timeoutMs);
    HelperRun run;
    run.standardOutput = process->readAllStandardOutput();
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        OvraWait::forProcess(*process, KillWaitMs);
        run.standardError = process->readAllStandardError();
        if (process->state() != QProcess::NotRunning) {
            qWarning().noquote() << program
                                 << "does not end after it was killed; not waiting for it";
            QProcess *survivor = process.release();
            QObject::connect(survivor,
                             QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                             survivor, &QObject::deleteLater);
        }
        return run;
    }
    run.standardError = process->readAllStandardError();
    run.finished = process->error() != QProcess::FailedToStart
        && process->exitStatus() == QProcess::NormalExit;
    run.exitCode = process->exitCode();
    return run;
}

QString helperProcessOutput(const QString &program, const QStringList &arguments, int timeoutMs)
{
    return QString::fromLocal8Bit(runHelperProcess(program, arguments, timeoutMs).standardOutput);
}
