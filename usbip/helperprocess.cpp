// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "helperprocess.h"

#include "ovrawait.h"

#include <QProcess>

namespace {

const int KillWaitMs = 1000;

} // namespace

QString helperProcessOutput(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments, QIODevice::ReadWrite);
    OvraWait::forProcess(process, timeoutMs);
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        OvraWait::forProcess(process, KillWaitMs);
    }
    return output;
}
