// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "childprocess.h"
#include "fakeusbip.h"
#include "tooloutput.h"
#include "usbiplisting.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(ChildResult::End)

// The one runner of the window side, against small shell scripts, and the
// usbip listings on top of it against the fake usbip.
class TestChildProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void ends_data();
    void ends();
    void severalAtOnce();
    void listings_data();
    void listings();

private:
    QString script(const QString &name, const QByteArray &body);

    QTemporaryDir m_dir;
};

QString TestChildProcess::script(const QString &name, const QByteArray &body)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write("#!/bin/bash\n" + body + '\n');
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

void TestChildProcess::ends_data()
{
    QTest::addColumn<QByteArray>("body"); // empty: no such program
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<ChildResult::End>("end");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<int>("maxMs"); // how long the whole run may take

    using End = ChildResult::End;
    QTest::newRow("success") << QByteArray("echo out; echo err >&2") << 5000 << End::Exited << 0
                             << "out\n"
                             << "err\n"
                             << 4000;
    QTest::newRow("exit 1 keeps both outputs")
        << QByteArray("echo partial; echo 'usbip: error: no route' >&2; exit 1") << 5000
        << End::Exited << 1 << "partial\n"
        << "usbip: error: no route\n"
        << 4000;
    QTest::newRow("text ends at the first NUL byte")
        << QByteArray("printf 'before\\0after'; printf 'err\\0junk' >&2") << 5000 << End::Exited
        << 0 << "before"
        << "err" << 4000;
    QTest::newRow("no such program: at once")
        << QByteArray() << 60000 << End::NotStarted << -1 << QString() << QString() << 2000;
    QTest::newRow("crash") << QByteArray("kill -SEGV $$") << 5000 << End::Crashed << -1 << QString()
                           << QString() << 4000;
    QTest::newRow("standard input is empty, never a pipe left open")
        << QByteArray("cat; echo read") << 5000 << End::Exited << 0 << "read\n"
        << QString() << 4000;
    QTest::newRow("the environment entry reaches it")
        << QByteArray("echo \"$LC_ALL\"") << 5000 << End::Exited << 0 << "C\n"
        << QString() << 4000;
    QTest::newRow("past its limit: killed, what it printed kept")
        << QByteArray("echo early; exec sleep 30") << 300 << End::TimedOut << -1 << "early\n"
        << QString() << 2500;
    QTest::newRow("ignoring the termination request changes nothing")
        << QByteArray("trap '' TERM; echo early; sleep 30") << 300 << End::TimedOut << -1
        << "early\n"
        << QString() << 2500;
}

void TestChildProcess::ends()
{
    QFETCH(QByteArray, body);
    QFETCH(int, timeoutMs);
    QFETCH(int, maxMs);
    const QString program =
        body.isEmpty() ? m_dir.filePath(QStringLiteral("missing")) : script("tool", body);
    QElapsedTimer timer;
    timer.start();
    const ChildResult result =
        runChild(program, {QStringLiteral("an argument")}, timeoutMs, {QStringLiteral("LC_ALL=C")});
    const qint64 elapsed = timer.elapsed();
    QTEST(result.end, "end");
    QTEST(result.exitCode, "exitCode");
    QTEST(result.outputText(), "out");
    QTEST(result.errorText(), "err");
    QCOMPARE(result.succeeded(), result.end == ChildResult::End::Exited && result.exitCode == 0);
    QVERIFY2(elapsed < maxMs, qPrintable(QString::number(elapsed)));
    if (result.end == ChildResult::End::TimedOut)
        QVERIFY2(elapsed >= timeoutMs, qPrintable(QString::number(elapsed)));
}

void TestChildProcess::severalAtOnce()
{
    // The scan's way: several children, looked at without waiting.
    const QString fast = script("fast", "echo fast");
    const QString slow = script("slow", "sleep 30");
    ChildProcess first;
    ChildProcess second;
    ChildProcess missing;
    first.start(fast, {}, 5000);
    second.start(slow, {}, 300);
    missing.start(m_dir.filePath(QStringLiteral("missing")), {}, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(first.hasEnded() && second.hasEnded() && missing.hasEnded(), 3000);
    QCOMPARE(first.result().outputText(), QStringLiteral("fast\n"));
    QCOMPARE(second.result().end, ChildResult::End::TimedOut);
    QCOMPARE(missing.result().end, ChildResult::End::NotStarted);
    // A child still running when its owner goes is killed with it.
    {
        ChildProcess abandoned;
        abandoned.start(slow, {}, 30000);
        QVERIFY(!abandoned.hasEnded());
    }
}

void TestChildProcess::listings_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QStringList>("busIds");
    QTest::addColumn<QString>("failure");

    QTest::newRow("two sticks") << ToolOutput::read(QStringLiteral("list-remote-two-sticks.txt"))
                                << QByteArray() << 0 << 0 << true << QStringList{"1-1", "3-12"}
                                << QString();
    QTest::newRow("the tool's own message")
        << QByteArray() << QByteArray("usbip: error: could not connect to h:3240\n") << 1 << 0
        << false << QStringList() << "usbip: error: could not connect to h:3240";
    QTest::newRow("no message: says it could not answer in time")
        << QByteArray() << QByteArray() << 0 << 8000 << false << QStringList()
        << "The usbip tool got no answer within 5 seconds.";
}

void TestChildProcess::listings()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(int, delayMs);
    FakeUsbip fake;
    const QString host = QStringLiteral("host one"); // one argument, never split
    fake.setResponse({"list", "-r", host}, out, err, exitCode, delayMs);
    const UsbIpListing::Exports exports = UsbIpListing::listExports(host);
    QTEST(exports.listed, "listed");
    QStringList busIds;
    for (const UsbIpGrammar::ExportedDevice &device : exports.devices)
        busIds.append(device.busId);
    QTEST(busIds, "busIds");
    QTEST(exports.failure, "failure");
    QCOMPARE(fake.calls(), (QList<QStringList>{{"list", "-r", host}}));

    // Without the tool at all.
    fake.uninstall();
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", m_dir.path().toLocal8Bit());
    const ChildResult local = UsbIpListing::listLocal();
    qputenv("PATH", path);
    QCOMPARE(UsbIpListing::failureText(local),
             QStringLiteral("The usbip tool could not be started."));
}

QTEST_GUILESS_MAIN(TestChildProcess)
#include "tst_childprocess.moc"
