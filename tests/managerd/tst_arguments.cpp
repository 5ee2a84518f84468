// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Argument checks of the Manager service. The bus id form, the tool's
// outputs and the hosts that may attach are the grammar's (tests/usbip);
// here the Manager's own limits.

#include "managerarguments.h"

#include <QTest>

using namespace ManagerArguments;

class ArgumentsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void busId_data();
    void busId();
    void vidPid_data();
    void vidPid();
    void port_data();
    void port();
    void host_data();
    void host();
    void deviceId_data();
    void deviceId();
};

void ArgumentsTest::busId_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "1-1" << true;
    QTest::newRow("behind hubs") << "3-1.2.4" << true;
    QTest::newRow("longest") << QString(29, QLatin1Char('1')) + "-1" << true;
    QTest::newRow("trailing newline") << "1-1\n" << false;
    QTest::newRow("too long") << QString(40, QLatin1Char('1')) + "-1" << false;
}

void ArgumentsTest::busId()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(isBusId(text), valid);
}

void ArgumentsTest::vidPid_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("lower") << "0781:5567" << true;
    QTest::newRow("upper") << "ABCD:EF01" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("short") << "781:5567" << false;
    QTest::newRow("not hex") << "078g:5567" << false;
    QTest::newRow("final newline") << "0781:5567\n" << false;
    QTest::newRow("injected line") << "0781:5567\n1234:5678" << false;
    QTest::newRow("carriage return") << "0781:5567\r" << false;
}

void ArgumentsTest::vidPid()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(isVidPid(text), valid);
}

void ArgumentsTest::port_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("00") << "00" << true;
    QTest::newRow("7") << "7" << true;
    QTest::newRow("127") << "127" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("four digits") << "1000" << false;
    QTest::newRow("hex") << "00a" << false;
    QTest::newRow("negative") << "-1" << false;
    QTest::newRow("final newline") << "1\n" << false;
}

void ArgumentsTest::port()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(isPort(text), valid);
}

void ArgumentsTest::host_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("ipv4") << "192.168.1.10" << true;
    QTest::newRow("name") << "storage-box.example.org" << true;
    QTest::newRow("single label") << "localhost" << true;
    QTest::newRow("ipv6") << "fd00::1" << true;
    QTest::newRow("ipv6 loopback") << "::1" << true;
    QTest::newRow("ipv6 with zone") << "fe80::1%eth0" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("option") << "-h" << false;
    QTest::newRow("label with leading hyphen") << "a.-b" << false;
    QTest::newRow("space") << "a b" << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("final newline") << "host\n" << false;
    QTest::newRow("shell") << "host;reboot" << false;
    QTest::newRow("colons but not ipv6") << "1:2:3" << false;
    QTest::newRow("too long") << QString(300, QLatin1Char('a')) << false;
}

void ArgumentsTest::host()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(isHost(text), valid);
}

void ArgumentsTest::deviceId_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("busId");
    QTest::addColumn<QString>("vidPid");
    QTest::newRow("full") << "192.168.1.10/1-1/abcd:1234" << true << "192.168.1.10"
                          << "1-1"
                          << "abcd:1234";
    QTest::newRow("no ids") << "host/2-1.3/" << true << "host"
                            << "2-1.3"
                            << "";
    QTest::newRow("ipv6") << "fd00::5/1-1/abcd:1234" << true << "fd00::5"
                          << "1-1"
                          << "abcd:1234";
    QTest::newRow("no slashes") << "host" << false << ""
                                << ""
                                << "";
    QTest::newRow("four parts") << "host/1-1/abcd:1234/x" << false << ""
                                << ""
                                << "";
    QTest::newRow("option host") << "-x/1-1/abcd:1234" << false << ""
                                 << ""
                                 << "";
    QTest::newRow("bad bus id") << "host/../abcd:1234" << false << ""
                                << ""
                                << "";
    QTest::newRow("bad ids") << "host/1-1/abcd" << false << ""
                             << ""
                             << "";
    QTest::newRow("newline") << "host/1-1/abcd:1234\nother/1-1/abcd:1234" << false << ""
                             << ""
                             << "";
    QTest::newRow("too long") << QString(MaxDeviceIdLength, QLatin1Char('a')) + "/1-1/" << false
                              << ""
                              << ""
                              << "";
}

void ArgumentsTest::deviceId()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    DeviceId device;
    QString reason;
    QCOMPARE(parseDeviceId(text, &device, &reason), valid);
    if (!valid) {
        QVERIFY(!reason.isEmpty());
        return;
    }
    QTEST(device.host, "host");
    QTEST(device.busId, "busId");
    QTEST(device.vidPid, "vidPid");
}

QTEST_GUILESS_MAIN(ArgumentsTest)
#include "tst_arguments.moc"
