// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "toolrunner.h"

#include <QVariant>

#include <memory>

#include <signal.h>
#include <unistd.h>

namespace {

// Limits what a misbehaving tool can make the service hold in memory.
constexpr qint64 MaxOutput = 4 * 1024 * 1024;

// Puts the tool into a process group of its own, so that a time-out ends
// the tool and whatever it started.
class GroupProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

} // namespace

QString ToolResult::failureText() const
{
    const QString command = QStringLiteral("usbip ") + arguments.join(QLatin1Char(' '));
    if (!started)
        return QStringLiteral("%1: the tool could not be started (%2).").arg(command, startError);
    if (timedOut)
        return QStringLiteral("%1: the tool did not finish in time and was stopped.").arg(command);
    const QString err = QString::fromUtf8(standardError).trimmed();
    if (!err.isEmpty())
        return err;
    if (crashed)
        return QStringLiteral("%1: the tool crashed.").arg(command);
    return QStringLiteral("%1: the tool ended with exit code %2.").arg(command).arg(exitCode);
}

ToolRunner::ToolRunner(QObject *parent)
    : QObject(parent)
{
}

ToolRunner::~ToolRunner()
{
    const QList<QProcess *> processes =
        findChildren<QProcess *>(QString(), Qt::FindDirectChildrenOnly);
    for (QProcess *process : processes) {
        process->disconnect();
        const qint64 pid = process->processId();
        if (pid > 0)
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        process->waitForFinished(2000);
    }
}

void ToolRunner::run(const QStringList &arguments, int timeoutMs, Callback done)
{
    auto *process = new GroupProcess(this);
    auto *timer = new QTimer(process);
    auto result = std::make_shared<ToolResult>();
    result->arguments = arguments;
    ++m_running;

    auto finish = [this, process, result, done]() {
        if (process->property("ovraFinished").toBool())
            return;
        process->setProperty("ovraFinished", true);
        --m_running;
        process->disconnect();
        process->deleteLater();
        done(*result);
    };
    auto collect = [process, result]() {
        if (result->standardOutput.size() < MaxOutput)
            result->standardOutput += process->readAllStandardOutput().left(MaxOutput);
        else
            process->readAllStandardOutput();
        if (result->standardError.size() < MaxOutput)
            result->standardError += process->readAllStandardError().left(MaxOutput);
        else
            process->readAllStandardError();
    };

    connect(process, &QProcess::readyReadStandardOutput, process, collect);
    connect(process, &QProcess::readyReadStandardError, process, collect);
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), process,
            [process, result, collect, finish](int exitCode, QProcess::ExitStatus status) {
                collect();
                result->exitCode = exitCode;
                result->crashed = status == QProcess::CrashExit && !result->timedOut;
                finish();
            });
    connect(process, &QProcess::errorOccurred, process,
            [process, result, finish](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return; // crashes and kills end in finished()
                result->started = false;
                result->startError = process->errorString();
                finish();
            });
    connect(process, &QProcess::started, process, [result, timer, timeoutMs]() {
        result->started = true;
        timer->start(timeoutMs);
    });
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, process, [process, result]() {
        result->timedOut = true;
        const qint64 pid = process->processId();
        if (pid > 0)
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        process->kill();
    });

    process->setProgram(m_program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(QIODevice::ReadOnly);
}
