// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Running the usbip tool: outcomes, time limit, and shutting down while a
// tool still runs.

#include "fakeusbip.h"
#include "toolrunner.h"

#include <QElapsedTimer>
#include <QTest>

#include <csignal>
#include <unistd.h>

class ToolRunnerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void outcome_data();
    void outcome();
    void missingProgram();
    void standardInput_data();
    void standardInput();
    void childStartsClean_data();
    void childStartsClean();
    void destroyedWhileRunning();

private:
    FakeUsbip m_usbip;
};

void ToolRunnerTest::outcome_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("failureText");
    QTest::newRow("success") << QByteArray("Imported USB devices\n") << QByteArray() << 0 << 0
                             << true << QString();
    QTest::newRow("stderr is the failure text")
        << QByteArray() << QByteArray("usbip: error: nope\n\n") << 1 << 0 << false
        << QStringLiteral("usbip: error: nope");
    QTest::newRow("silent failure")
        << QByteArray() << QByteArray() << 3 << 0 << false
        << QStringLiteral("usbip port: the tool ended with exit code 3.");
    QTest::newRow("output but an exit code")
        << QByteArray("half\n") << QByteArray() << 1 << 0 << false
        << QStringLiteral("usbip port: the tool ended with exit code 1.");
    QTest::newRow("too slow")
        << QByteArray("late\n") << QByteArray() << 0 << 30000 << false
        << QStringLiteral("usbip port: the tool did not finish in time and was stopped.");
}

void ToolRunnerTest::outcome()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(int, delayMs);
    m_usbip.setResponse({QStringLiteral("port")}, out, err, exitCode, delayMs);

    ToolRunner runner;
    bool called = false;
    ToolResult result;
    QElapsedTimer timer;
    timer.start();
    runner.run({QStringLiteral("port")}, 1000, [&](const ToolResult &r) {
        QVERIFY(!called);
        called = true;
        result = r;
    });
    QTRY_VERIFY_WITH_TIMEOUT(called, 10000);
    QVERIFY(timer.elapsed() < 5000);
    QTEST(result.succeeded(), "succeeded");
    if (result.succeeded())
        QCOMPARE(result.standardOutput, out);
    else
        QTEST(result.failureText(), "failureText");
    QVERIFY(runner.m_runs.isEmpty());
}

void ToolRunnerTest::missingProgram()
{
    ToolRunner runner;
    runner.setProgram(QStringLiteral("/nonexistent/usbip"));
    bool called = false;
    ToolResult result;
    runner.run({QStringLiteral("port")}, 1000, [&](const ToolResult &r) {
        called = true;
        result = r;
    });
    QTRY_VERIFY(called);
    QVERIFY(!result.started);
    QVERIFY(!result.succeeded());
    QVERIFY(result.failureText().contains(QStringLiteral("could not be started")));
}

void ToolRunnerTest::standardInput_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("out");
    const QByteArray script = "table inet t\ndelete table inet t\n";
    // More than a pipe holds: nothing waits for the tool to read it.
    const QByteArray large(300 * 1024, 'x');
    QTest::newRow("none") << "cat" << QByteArray() << QByteArray();
    QTest::newRow("a script") << "cat" << script << script;
    QTest::newRow("opened again by name, as nft -f - does") << "cat /dev/stdin" << script << script;
    QTest::newRow("300 KB") << "cat" << large << large;
    QTest::newRow("300 KB, never read") << "echo done" << large << QByteArray("done\n");
}

void ToolRunnerTest::standardInput()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, input);
    ToolRunner runner;
    runner.setProgram(QStringLiteral("/bin/sh"));
    bool called = false;
    ToolResult result;
    runner.run(
        {QStringLiteral("-c"), command}, 5000,
        [&](const ToolResult &r) {
            called = true;
            result = r;
        },
        input);
    QTRY_VERIFY(called);
    QVERIFY2(result.succeeded(), qPrintable(result.failureText()));
    QTEST(result.standardOutput, "out");
}

void ToolRunnerTest::childStartsClean_data()
{
    QTest::addColumn<bool>("inputClosed"); // the service started with descriptor 0 closed
    QTest::newRow("usual start") << false;
    QTest::newRow("started without standard input") << true;
}

void ToolRunnerTest::childStartsClean()
{
    // No descriptor of ours (the bus connection in the service), no blocked
    // or ignored signal reaches the tool (handlers end with the exec anyway).
    ::signal(SIGPIPE, SIG_IGN);
    QFETCH(bool, inputClosed);
    const int input = ::dup(0);
    if (inputClosed)
        ::close(0);
    ToolRunner runner;
    runner.setProgram(QStringLiteral("/bin/sh"));
    ToolResult result;
    bool called = false;
    runner.run({QStringLiteral("-c"),
                QStringLiteral("ls /proc/$$/fd && grep -E '^Sig(Blk|Ign)' "
                               "/proc/$$/status | tr -d '\\t' && ps -o pgid= -p $$")},
               5000, [&](const ToolResult &r) {
                   called = true;
                   result = r;
               });
    ::dup2(input, 0);
    ::close(input);
    QTRY_VERIFY(called);
    const QStringList lines = QString::fromLatin1(result.standardOutput).split('\n');
    QCOMPARE(lines.mid(0, 5).join(QLatin1Char(' ')),
             QStringLiteral("0 1 2 SigBlk:0000000000000000 SigIgn:0000000000000000"));
    QVERIFY(lines.value(5).trimmed().toLongLong() != ::getpgrp()); // a group of its own
}

void ToolRunnerTest::destroyedWhileRunning()
{
    m_usbip.setResponse({QStringLiteral("port")}, QByteArray(), QByteArray(), 0, 30000);
    m_usbip.clearCalls();
    bool called = false;
    QElapsedTimer timer;
    timer.start();
    {
        ToolRunner runner;
        runner.run({QStringLiteral("port")}, 60000, [&](const ToolResult &) {
            called = true;
        });
        QTRY_COMPARE(m_usbip.calls().size(), 1);
    }
    QVERIFY(timer.elapsed() < 5000);
    QCoreApplication::processEvents();
    QVERIFY(!called);
}

QTEST_GUILESS_MAIN(ToolRunnerTest)
#include "tst_toolrunner.moc"
