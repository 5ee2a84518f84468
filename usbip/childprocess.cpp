// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "childprocess.h"

#include "ovrawait.h"

#include <QDebug>
#include <QProcess>
#include <QThread>

namespace {

// How long a killed child may take to go.
const int KillWaitMs = 1000;

QString decodeUpToNul(const QByteArray &data)
{
    const int nul = data.indexOf('\0');
    return QString::fromLocal8Bit(nul < 0 ? data : data.left(nul));
}

} // namespace

// The QProcess, kept out of the header: the runner is the one place that
// starts child processes.
struct ChildProcess::Child : QProcess
{
};

QString ChildResult::outputText() const
{
    return decodeUpToNul(standardOutput);
}

QString ChildResult::errorText() const
{
    return decodeUpToNul(standardError);
}

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess()
{
    if (!m_ended)
        killAndFinish();
}

void ChildProcess::start(const QString &program, const QStringList &arguments, int timeoutMs,
                         const QStringList &environment)
{
    if (!m_ended)
        killAndFinish();
    m_result = ChildResult();
    m_ended = false;
    m_deadline.setRemainingTime(timeoutMs);
    m_child = std::make_unique<Child>();
    m_child->setProcessChannelMode(QProcess::SeparateChannels);
    // It reads nothing: no pipe is kept open as its standard input.
    m_child->setStandardInputFile(QProcess::nullDevice());
    if (!environment.isEmpty()) {
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment)
            variables.insert(entry.section(QLatin1Char('='), 0, 0),
                             entry.section(QLatin1Char('='), 1));
        m_child->setProcessEnvironment(variables);
    }
    m_child->start(program, arguments, QIODevice::ReadOnly);
    if (m_child->state() == QProcess::NotRunning)
        finish(); // it could not be started
}

bool ChildProcess::hasEnded()
{
    if (m_ended)
        return true;
    m_child->waitForFinished(0);
    if (m_child->state() == QProcess::NotRunning)
        finish();
    else if (m_deadline.hasExpired())
        killAndFinish();
    return m_ended;
}

const ChildResult &ChildProcess::wait()
{
    if (m_ended)
        return m_result;
    if (waitForEnd(int(qMax<qint64>(0, m_deadline.remainingTime()))))
        finish();
    else
        killAndFinish();
    return m_result;
}

bool ChildProcess::waitForEnd(int timeoutMs)
{
    // On the GUI thread the window stays alive; elsewhere the thread blocks.
    if (OvraWait::isAvailable() && m_child->thread() == QThread::currentThread())
        OvraWait::until(
            [this]() {
                return m_child->state() == QProcess::NotRunning;
            },
            timeoutMs);
    else
        m_child->waitForFinished(timeoutMs);
    return m_child->state() == QProcess::NotRunning;
}

void ChildProcess::finish()
{
    m_ended = true;
    m_result.standardOutput += m_child->readAllStandardOutput();
    m_result.standardError += m_child->readAllStandardError();
    if (m_child->error() == QProcess::FailedToStart) {
        m_result.end = ChildResult::End::NotStarted;
    } else if (m_child->exitStatus() == QProcess::CrashExit) {
        m_result.end = ChildResult::End::Crashed;
    } else {
        m_result.end = ChildResult::End::Exited;
        m_result.exitCode = m_child->exitCode();
    }
    m_child.reset();
}

void ChildProcess::killAndFinish()
{
    m_ended = true;
    m_result.end = ChildResult::End::TimedOut;
    m_child->kill();
    waitForEnd(KillWaitMs);
    m_result.standardOutput += m_child->readAllStandardOutput();
    m_result.standardError += m_child->readAllStandardError();
    if (m_child->state() != QProcess::NotRunning) {
        // ~QProcess would wait 30 s for it: let it go, and clean up once it
        // has ended, if ever.
        qWarning().noquote() << m_child->program()
                             << "does not end after it was killed; not waiting for it";
        QProcess *survivor = m_child.release();
        QObject::connect(survivor, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         survivor, &QObject::deleteLater);
        return;
    }
    m_child.reset();
}

ChildResult runChild(const QString &program, const QStringList &arguments, int timeoutMs,
                     const QStringList &environment)
{
    ChildProcess child;
    child.start(program, arguments, timeoutMs, environment);
    return child.wait();
}
