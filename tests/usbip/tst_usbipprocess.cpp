// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakeusbip.h"
#include "tooloutput.h"
#include "usbipprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The runner against a fake `usbip` (and a fake `pkexec`) first on PATH.
class TestUsbIpProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingProgramFailsAtOnce();
    void commandLines_data();
    void commandLines();
    void result_data();
    void result();
    void outputStaysReadable();
    void timeLimitTerminatesChild();
    void elevatedRunsThroughPkexec();
    void ignoredTerminationGivesUpAfterGrace();
};

void TestUsbIpProcess::missingProgramFailsAtOnce()
{
    QTemporaryDir emptyDir;
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", emptyDir.path().toLocal8Bit());
    UsbIpProcess process;
    QElapsedTimer timer;
    timer.start();
    const bool ok = process.run({QStringLiteral("list"), QStringLiteral("-l")}, 60000);
    const qint64 elapsed = timer.elapsed();
    const bool okElevated = process.run({QStringLiteral("list"), QStringLiteral("-l")}, -1, true);
    const qint64 elapsedElevated = timer.elapsed() - elapsed;
    qputenv("PATH", oldPath);
    QVERIFY(!ok);
    QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
    QVERIFY(!okElevated);
    QVERIFY2(elapsedElevated < 2000, qPrintable(QString::number(elapsedElevated)));
}

void TestUsbIpProcess::commandLines_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("listLocal") << "listLocal" << QStringList{"list", "-l"};
    QTest::newRow("listRemote") << "listRemote" << QStringList{"list", "-r", "host one"};
    QTest::newRow("listPorts") << "listPorts" << QStringList{"port"};
    QTest::newRow("bindDevice") << "bindDevice" << QStringList{"bind", "-b", "1-1"};
    QTest::newRow("unbindDevice") << "unbindDevice" << QStringList{"unbind", "-b", "1-1"};
    QTest::newRow("attachDevice") << "attachDevice"
                                  << QStringList{"attach", "-r", "host one", "-b", "1-1"};
    QTest::newRow("detachDevice") << "detachDevice" << QStringList{"detach", "-p", "00"};
}

void TestUsbIpProcess::commandLines()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, arguments);
    FakeUsbip fake;
    UsbIpProcess process;
    const QString host = QStringLiteral("host one"); // one argument, never split
    bool ok = false;
    if (operation == "listLocal")
        ok = process.listLocal();
    else if (operation == "listRemote")
        ok = process.listRemote(host, 5000);
    else if (operation == "listPorts")
        ok = process.listPorts();
    else if (operation == "bindDevice")
        ok = process.bindDevice("1-1");
    else if (operation == "unbindDevice")
        ok = process.unbindDevice("1-1");
    else if (operation == "attachDevice")
        ok = process.attachDevice(host, "1-1");
    else if (operation == "detachDevice")
        ok = process.detachDevice("00");
    QVERIFY(ok);
    QCOMPARE(fake.calls(), QList<QStringList>{arguments});
}

void TestUsbIpProcess::result_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("expectedOut");
    QTest::addColumn<QString>("expectedErr");

    const QByteArray list = ToolOutput::read(QStringLiteral("list-local-two-sticks.txt"));
    QTest::newRow("success") << list << QByteArray() << 0 << true << QString::fromLatin1(list)
                             << QString();
    QTest::newRow("no exportable devices: success with a message")
        << QByteArray() << QByteArray("usbip: info: no exportable devices found on h\n") << 0
        << true << QString() << "usbip: info: no exportable devices found on h\n";
    QTest::newRow("exit 1 keeps standard error")
        << QByteArray()
        << QByteArray("usbip: error: could not connect to 127.0.0.5:3240: System error\n") << 1
        << false << QString()
        << "usbip: error: could not connect to 127.0.0.5:3240: System error\n";
    QTest::newRow("exit 2") << QByteArray("partial") << QByteArray() << 2 << false << "partial"
                            << QString();
    QTest::newRow("text ends at the first NUL byte")
        << QByteArray("before\0after", 12) << QByteArray("err\0junk", 8) << 0 << true << "before"
        << "err";
}

void TestUsbIpProcess::result()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(bool, expected);
    QFETCH(QString, expectedOut);
    QFETCH(QString, expectedErr);
    FakeUsbip fake;
    fake.setDefaultResponse(out, err, exitCode);
    UsbIpProcess process;
    QCOMPARE(process.listLocal(), expected);
    QCOMPARE(process.standardOutputText(), expectedOut);
    QCOMPARE(process.standardErrorText(), expectedErr);
    // The raw channels are still there for owners that read them directly.
    QCOMPARE(process.readAllStandardError(), err);
    QCOMPARE(process.readAllStandardOutput(), out);
}

void TestUsbIpProcess::outputStaysReadable()
{
    FakeUsbip fake;
    fake.setResponse({"list", "-l"}, "first\n", "first error\n", 0);
    fake.setResponse({"port"}, "second\n", QByteArray(), 0);
    UsbIpProcess process;
    QVERIFY(process.listLocal());
    QCOMPARE(process.standardOutputText(), QStringLiteral("first\n"));
    QCOMPARE(process.standardOutputText(), QStringLiteral("first\n"));
    QCOMPARE(process.standardErrorText(), QStringLiteral("first error\n"));
    // The next command replaces what the last one printed.
    QVERIFY(process.listPorts());
    QCOMPARE(process.standardOutputText(), QStringLiteral("second\n"));
    QCOMPARE(process.standardErrorText(), QString());
}

void TestUsbIpProcess::timeLimitTerminatesChild()
{
    FakeUsbip fake;
    fake.setResponse({"list", "-r", "127.0.0.5"}, "late\n", QByteArray(), 0, 20000);
    UsbIpProcess process;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!process.listRemote(QStringLiteral("127.0.0.5"), 300));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 300, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 10000, qPrintable(QString::number(elapsed)));
    QCOMPARE(process.state(), QProcess::NotRunning);
    QCOMPARE(process.standardOutputText(), QString());

    // The object is reusable after a termination.
    fake.setResponse({"list", "-l"}, "again\n");
    QVERIFY(process.listLocal());
    QCOMPARE(process.standardOutputText(), QStringLiteral("again\n"));
}

void TestUsbIpProcess::elevatedRunsThroughPkexec()
{
    FakeUsbip fake;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath("pkexec.log");
    const QString pkexec = dir.filePath("pkexec");
    {
        QFile script(pkexec);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/bash\nprintf '%s\\n' \"$@\" > '" + log.toLocal8Bit()
                     + "'\nexec \"$@\"\n");
    }
    QFile::setPermissions(pkexec, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", dir.path().toLocal8Bit() + ':' + oldPath);
    fake.setResponse({"bind", "-b", "1-1"}, "bound\n");
    UsbIpProcess process;
    const bool ok = process.run({"bind", "-b", "1-1"}, 10000, true);
    qputenv("PATH", oldPath);
    QVERIFY(ok);
    QFile recorded(log);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QCOMPARE(recorded.readAll(), QByteArray("usbip\nbind\n-b\n1-1\n"));
    QCOMPARE(process.standardOutputText(), QStringLiteral("bound\n"));
}

void TestUsbIpProcess::ignoredTerminationGivesUpAfterGrace()
{
    // A usbip that ignores the termination request and never ends.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tool = dir.filePath("usbip");
    {
        QFile script(tool);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/bash\n"
                     "if [ \"$1\" = port ]; then echo fresh; exit 0; fi\n"
                     "echo stale\ntrap '' TERM\nexec sleep 120\n");
    }
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", dir.path().toLocal8Bit() + ':' + oldPath);

    UsbIpProcess process;
    QElapsedTimer timer;
    timer.start();
    const bool ok = process.listRemote(QStringLiteral("127.0.0.6"), 200);
    const qint64 elapsed = timer.elapsed();
    // The next command on the same object runs and reads its own output.
    const bool next = process.listPorts();
    const QString nextOutput = process.standardOutputText();
    qputenv("PATH", oldPath);

    QVERIFY(!ok);
    QVERIFY2(elapsed >= 30000 && elapsed < 40000, qPrintable(QString::number(elapsed)));
    QVERIFY(next);
    QCOMPARE(nextOutput, QStringLiteral("fresh\n"));
}

QTEST_GUILESS_MAIN(TestUsbIpProcess)
#include "tst_usbipprocess.moc"
