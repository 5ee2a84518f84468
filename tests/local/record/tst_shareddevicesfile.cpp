// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovrausbipmanager.h"
#include "shareddevicesfile.h"
#include "testenvironment.h"

#include <QtTest>

// The line-per-entry configuration files, read as the program reads them.
class TestSharedDevicesFile : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
    void missingFileReadsEmpty();
};

void TestSharedDevicesFile::entries_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("two entries") << QByteArray("0781:5567\nabcd:1234\n")
                                 << QStringList{"0781:5567", "abcd:1234"};
    QTest::newRow("no final newline, empty lines dropped")
        << QByteArray("\n0781:5567\n\n\nabcd:1234") << QStringList{"0781:5567", "abcd:1234"};
    QTest::newRow("spaces kept") << QByteArray(" 0781:5567 \n \n")
                                 << QStringList{" 0781:5567 ", " "};
    QTest::newRow("CRLF line ends")
        << QByteArray("0781:5567\r\nabcd:1234\r\n") << QStringList{"0781:5567", "abcd:1234"};
    QTest::newRow("duplicates kept") << QByteArray("a\na\n") << QStringList{"a", "a"};
}

void TestSharedDevicesFile::entries()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);
    TestEnvironment environment;
    environment.writeConfigFile("shared-usb-devices", content);
    environment.writeConfigFile("remote-usb-devices", content);
    QCOMPARE(SharedDevicesFile().path(), OvraUsbIp::sharedDevicesPath());
    QCOMPARE(SharedDevicesFile().entries(), expected);
    QCOMPARE(constantConnections(), expected);
    environment.writeConfigFile("other", content);
    QCOMPARE(SharedDevicesFile(environment.configDir() + "/other").entries(), expected);
}

void TestSharedDevicesFile::missingFileReadsEmpty()
{
    TestEnvironment environment;
    QVERIFY(SharedDevicesFile().entries().isEmpty());
    QVERIFY(constantConnections().isEmpty());
    // A folder in place of the file cannot be read either.
    QVERIFY(SharedDevicesFile(environment.path()).entries().isEmpty());
}

QTEST_GUILESS_MAIN(TestSharedDevicesFile)
#include "tst_shareddevicesfile.moc"
