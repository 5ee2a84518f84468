// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Argument checks of the Manager service. The bus id form and the tool's
// outputs are the grammar's (tests/usbip); here the Manager's own limits.

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
    void accessHost_data();
    void accessHost();
    void accessHosts_data();
    void accessHosts();
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

void ArgumentsTest::accessHost_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // empty: refused

    QTest::newRow("ipv4") << "192.168.1.20"
                          << "192.168.1.20";
    QTest::newRow("ipv4 prefix") << "192.168.1.0/24"
                                 << "192.168.1.0/24";
    QTest::newRow("host bits cleared") << "192.168.1.5/24"
                                       << "192.168.1.0/24";
    QTest::newRow("odd prefix") << "10.1.2.3/13"
                                << "10.0.0.0/13";
    QTest::newRow("full ipv4 prefix") << "10.0.0.1/32"
                                      << "10.0.0.1";
    QTest::newRow("every ipv4 host") << "172.16.0.9/0"
                                     << "0.0.0.0/0";
    QTest::newRow("ipv6 shortened, lower case") << "FD00:0:0:0:0:0:0:1"
                                                << "fd00::1";
    QTest::newRow("ipv6 prefix") << "fd00::/64"
                                 << "fd00::/64";
    QTest::newRow("ipv6 host bits cleared") << "2001:db8::1:2/112"
                                            << "2001:db8::1:0/112";
    QTest::newRow("full ipv6 prefix") << "fe80::1/128"
                                      << "fe80::1";
    QTest::newRow("ipv4-mapped") << "::ffff:192.0.2.1"
                                 << "192.0.2.1";
    QTest::newRow("ipv4-mapped prefix") << "::ffff:192.0.2.0/120"
                                        << "192.0.2.0/24";
    QTest::newRow("ipv4-mapped, shorter prefix") << "::ffff:192.0.2.0/64"
                                                 << "::/64";
    QTest::newRow("ipv6 with dotted end") << "64:ff9b::192.0.2.1"
                                          << "64:ff9b::c000:201";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank") << " "
                           << "";
    QTest::newRow("leading blank") << " 10.0.0.1"
                                   << "";
    QTest::newRow("final newline") << "10.0.0.1\n"
                                   << "";
    QTest::newRow("host name") << "storage.example"
                               << "";
    QTest::newRow("three parts") << "10.0.1"
                                 << "";
    QTest::newRow("leading zero") << "010.0.0.1"
                                  << "";
    QTest::newRow("octet too big") << "10.0.0.256"
                                   << "";
    QTest::newRow("prefix too long") << "10.0.0.0/33"
                                     << "";
    QTest::newRow("ipv6 prefix too long") << "fd00::/129"
                                          << "";
    QTest::newRow("empty prefix") << "10.0.0.0/"
                                  << "";
    QTest::newRow("prefix with leading zero") << "10.0.0.0/08"
                                              << "";
    QTest::newRow("negative prefix") << "10.0.0.0/-1"
                                     << "";
    QTest::newRow("two prefixes") << "10.0.0.0/8/8"
                                  << "";
    QTest::newRow("prefix only") << "/24"
                                 << "";
    QTest::newRow("ipv6 zone") << "fe80::1%eth0"
                               << "";
    QTest::newRow("ipv6 in brackets") << "[fd00::1]"
                                      << "";
    QTest::newRow("two double colons") << "fd00::1::2"
                                       << "";
    QTest::newRow("option") << "-h"
                            << "";
    QTest::newRow("too long") << QString(70, QLatin1Char('0')) << "";
}

void ArgumentsTest::accessHost()
{
    QFETCH(QString, text);
    QString reason;
    const QString canonical = canonicalAccessHost(text, &reason);
    QTEST(canonical, "canonical");
    QCOMPARE(reason.isEmpty(), !canonical.isEmpty());
    // The canonical form is its own canonical form.
    if (!canonical.isEmpty())
        QCOMPARE(canonicalAccessHost(canonical), canonical);
}

void ArgumentsTest::accessHosts_data()
{
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("canonical");
    QTest::addColumn<QString>("reason"); // empty: accepted

    QStringList most;
    for (int i = 0; i < 256; ++i)
        most << QStringLiteral("10.0.0.%1").arg(i);
    QTest::newRow("none") << QStringList() << QStringList() << QString();
    QTest::newRow("duplicates after the canonical form go, the first place stays")
        << QStringList{"fd00::1", "10.0.0.1", "FD00:0::1", "10.0.0.1/32", "10.0.0.0/8"}
        << QStringList{"fd00::1", "10.0.0.1", "10.0.0.0/8"} << QString();
    QTest::newRow("256") << most << most << QString();
    QTest::newRow("257, though some are the same")
        << most + QStringList{"10.0.0.1"} << QStringList()
        << "The host list has 257 entries; at most 256 are allowed.";
    QTest::newRow("one bad entry refuses all")
        << QStringList{"10.0.0.1", "10.0.0.%2"} << QStringList()
        << "Invalid host \"10.0.0.%2\" (entry 2 of the list): it is not an IPv4 or IPv6 "
           "address or prefix.";
}

void ArgumentsTest::accessHosts()
{
    QFETCH(QStringList, hosts);
    QStringList canonical{QStringLiteral("unchanged")};
    QString reason;
    const bool accepted = canonicalAccessHosts(hosts, &canonical, &reason);
    QTEST(reason, "reason");
    QCOMPARE(accepted, reason.isEmpty());
    if (accepted)
        QTEST(canonical, "canonical");
    else
        QCOMPARE(canonical, QStringList{"unchanged"});
}

QTEST_GUILESS_MAIN(ArgumentsTest)
#include "tst_arguments.moc"
