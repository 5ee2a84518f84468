// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <memory>

// How one run of a child program ended, and what it printed.
struct ChildResult
{
    enum class End {
        NotStarted, // no such program, or it could not be executed
        Exited,
        Crashed,
        TimedOut, // still running at its time limit: killed
    };
    End end = End::NotStarted;
    int exitCode = -1;
    QByteArray standardOutput; // what it printed until it ended or was killed
    QByteArray standardError;

    // It ran to its end in time and said so (exit code 0).
    bool succeeded() const { return end == End::Exited && exitCode == 0; }
    // The outputs as text: the locale's 8-bit codec, up to the first NUL byte.
    QString outputText() const;
    QString errorText() const;
};

// The one way the window side runs a program: found through PATH (never
// through a shell, every argument its own list element), with /dev/null as
// its standard input and a time limit, past which it is killed. A child that
// outlives even its kill (stuck in the kernel on a dead disk) is let go
// rather than waited for. On the GUI thread a wait keeps the window alive
// (OvraWait); elsewhere it blocks the calling thread, which needs no event
// loop.
class ChildProcess
{
public:
    ChildProcess();
    // Kills a child that still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts `program`. `environment` adds or replaces variables of the
    // program's environment ("LC_ALL=C"); the rest is this process's.
    void start(const QString &program, const QStringList &arguments, int timeoutMs,
               const QStringList &environment = QStringList());
    // Whether the run is over, looked at without waiting; a child past its
    // time limit is killed here. For callers that run several at once.
    bool hasEnded();
    // Waits until the run is over (at most its time limit and the kill).
    const ChildResult &wait();
    // How the run ended; meaningful once it has.
    const ChildResult &result() const { return m_result; }

private:
    struct Child;

    void finish();
    void killAndFinish();
    // Waits for the child to end, at most `timeoutMs`; true when it has.
    bool waitForEnd(int timeoutMs);

    std::unique_ptr<Child> m_child;
    QDeadlineTimer m_deadline;
    ChildResult m_result;
    bool m_ended = true;
};

// Starts `program` and waits for it: ChildProcess::start and wait in one.
ChildResult runChild(const QString &program, const QStringList &arguments, int timeoutMs,
                     const QStringList &environment = QStringList());
