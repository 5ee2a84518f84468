// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovrausbipmanager.h"
#include "shareddevicesfile.h"
#include "testenvironment.h"

#include <QtTest>

// The line-per-entry configuration files, read as the window reads them (the
// reading rules themselves are the grammar's, tests/usbip).
class TestSharedDevicesFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entries();
    void missingFileReadsEmpty();
};

void TestSharedDevicesFile::entries()
{
    const QByteArray content("\n 0781:5567 \r\n\nabcd:1234");
    const QStringList expected{" 0781:5567 ", "abcd:1234"};
    TestEnvironment environment;
    environment.writeConfigFile("shared-usb-devices", content);
    environment.writeConfigFile("remote-usb-devices", content);
    QCOMPARE(SharedDevicesFile().m_path, OvraUsbIp::sharedDevicesPath());
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
