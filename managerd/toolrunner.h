// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

// What one run of the usbip tool gave.
struct ToolResult
{
    QString tool = QStringLiteral("usbip"); // the program's file name
    QStringList arguments;
    bool started = false;
    bool timedOut = false;
    bool crashed = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
    QString startError;

    // The tool ran to its end in time and said so (exit code 0).
    bool succeeded() const { return started && !timedOut && !crashed && exitCode == 0; }
    // A one-paragraph English account of a failure: the tool's own standard
    // error when it said something, else what happened to it ("usbip port:
    // the tool ...").
    QString failureText() const;
};

// Runs `usbip` (found on PATH; never through a shell, every argument its own
// list element), or another program set with setProgram, without blocking
// the event loop. Each run has a time limit; a tool that exceeds it is
// killed with its whole process group. A tool never outlives the service: it
// is killed when the service dies, and it inherits no descriptor but its
// standard input, output and error and no signal handler or mask. Its
// standard input is empty, or a text given with the run, held in memory
// (a memory file: writing it can never block the event loop, and a tool
// that ends without reading it costs nothing). (Not
// QProcess: its child is a full copy of the service that waits for the
// service before it execs, and a service killed in that moment leaves the
// copy waiting for ever, with the bus connection and so the bus name.)
class ToolRunner : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const ToolResult &)>;

    explicit ToolRunner(QObject *parent = nullptr);
    // Kills what still runs; no callback is called any more.
    ~ToolRunner() override;

    void setProgram(const QString &program) { m_program = program; }
    QString program() const { return m_program; }

    // Starts `usbip ARGUMENTS` with `input` on its standard input; `done` is
    // called once, from the event loop, when the tool has finished, failed to
    // start or was killed after `timeoutMs` milliseconds.
    void run(const QStringList &arguments, int timeoutMs, Callback done,
             const QByteArray &input = QByteArray());

private:
    friend class ToolRunnerTest;

    struct Run;

    bool start(Run *run, const QByteArray &input, QString *problem);
    void drain(Run *run, int fd, QByteArray *into);
    void reap(Run *run);
    void finish(Run *run);
    void release(Run *run);

    QString m_program = QStringLiteral("usbip");
    QList<Run *> m_runs;
};
