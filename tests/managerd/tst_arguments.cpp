// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Argument checks of the Manager service and its readers of tool output.

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
    void localList_data();
    void localList();
    void portHosts();
};

void ArgumentsTest::busId_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "1-1" << true;
    QTest::newRow("multi-digit") << "12-10" << true;
    QTest::newRow("behind hubs") << "3-1.2.4" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("option") << "-b" << false;
    QTest::newRow("leading hyphen") << "-1-1" << false;
    QTest::newRow("trailing newline") << "1-1\n" << false;
    QTest::newRow("newline inside") << "1-1\n2-2" << false;
    QTest::newRow("shell") << "1-1;rm" << false;
    QTest::newRow("path") << "../1-1" << false;
    QTest::newRow("space") << "1-1 " << false;
    QTest::newRow("dangling dot") << "1-1." << false;
    QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661-\u0661") << false;
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

void ArgumentsTest::localList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected"); // "busid=vid:pid"
    QTest::newRow("nothing") << "" << QStringList();
    QTest::newRow("two devices")
        << " - busid 1-1 (0781:5567)\n   SanDisk Corp. : Cruzer Blade (0781:5567)\n\n"
           " - busid 2-1.2 (abcd:1234)\n   Acme : Stick (abcd:1234)\n\n"
        << QStringList{"1-1=0781:5567", "2-1.2=abcd:1234"};
    QTest::newRow("vendor name with separator")
        << " - busid 1-1 (0781:5567)\n   Foo - busid 9-9 (dead:beef) Inc. : X (0781:5567)\n\n"
           " - busid 1-2 (1111:2222)\n   A - B : C (1111:2222)\n\n"
        << QStringList{"1-1=0781:5567", "1-2=1111:2222"};
    QTest::newRow("malformed block skipped")
        << " - busid 1-1;rm (0781:5567)\n   X\n\n - busid 3-1 (1234:5678)\n   Y\n\n"
        << QStringList{"3-1=1234:5678"};
}

void ArgumentsTest::localList()
{
    QFETCH(QString, text);
    QStringList found;
    const QList<LocalDevice> devices = parseLocalList(text);
    for (const LocalDevice &device : devices)
        found << device.busId + QLatin1Char('=') + device.vidPid;
    QTEST(found, "expected");
}

void ArgumentsTest::portHosts()
{
    const QString text = QStringLiteral("Imported USB devices\n====================\n"
                                        "Port 00: <Port in Use> at High Speed(480Mbps)\n"
                                        "       SanDisk Corp. : Cruzer Blade (0781:5567)\n"
                                        "       3-1 -> usbip://127.0.3.5:3240/1-1\n"
                                        "           -> remote bus/dev 001/002\n"
                                        "Port 08: <Port in Use> at Super Speed(5000Mbps)\n"
                                        "       unknown vendor : unknown product (dead:beef)\n"
                                        "       4-1 -> usbip://fd00::7:3240/2-1.4\n"
                                        "           -> remote bus/dev 002/003\n");
    const QList<DeviceId> ports = parsePortHosts(text);
    QCOMPARE(ports.size(), 2);
    QCOMPARE(ports.at(0).host, QStringLiteral("127.0.3.5"));
    QCOMPARE(ports.at(0).busId, QStringLiteral("1-1"));
    QCOMPARE(ports.at(1).host, QStringLiteral("fd00::7"));
    QCOMPARE(ports.at(1).busId, QStringLiteral("2-1.4"));
}

QTEST_GUILESS_MAIN(ArgumentsTest)
#include "tst_arguments.moc"
