// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using SubnetMap = QMap<QString, int>;

namespace {

QNetworkAddressEntry entry(const QString &ip, const QString &netmask)
{
    QNetworkAddressEntry e;
    e.setIp(QHostAddress(ip));
    e.setNetmask(QHostAddress(netmask));
    return e;
}

InterfaceEntries interface(QNetworkInterface::InterfaceType type,
                           const QList<QNetworkAddressEntry> &entries)
{
    return qMakePair(type, entries);
}

// A name of the test runs' own hosts file (tests/data/hosts, Debian's
// standard lines), which answers every look-up of these suites.
QString offlineName()
{
    return QStringLiteral("ip6-localhost");
}

// Restores the system resolver when a test leaves.
struct ResolverGuard
{
    ~ResolverGuard()
    {
        setHostLookupFunction(HostLookupFunction());
        clearHostCache();
    }
};

QHostInfo answer(const QString &name, const QList<QHostAddress> &addresses)
{
    QHostInfo info;
    info.setHostName(name);
    info.setAddresses(addresses);
    if (addresses.isEmpty())
        info.setError(QHostInfo::HostNotFound);
    return info;
}

} // namespace

class TestNetHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { clearHostCache(); }

    void addressAt_data();
    void addressAt();
    void lastHostOffset_data();
    void lastHostOffset();
    void subnets_data();
    void subnets();
    void localAddressesHaveLoopback();

    void hostAddressWithoutLookup_data();
    void hostAddressWithoutLookup();
    void hostAddressCapitalLocalhost();
    void unresolvableName();
    void hostName_data();
    void hostName();
    void unansweredLookupIsCutShort();
    void cacheKeepsLookupsConstant();
    void cacheOfflineName();
};

void TestNetHelpers::addressAt_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<quint32>("offset");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first host") << "192.168.1.0" << 1u << "192.168.1.1";
    QTest::newRow("last host") << "192.168.1.0" << 254u << "192.168.1.254";
    QTest::newRow("across an octet") << "10.0.0.250" << 10u << "10.0.1.4";
    QTest::newRow("zero offset") << "172.16.5.9" << 0u << "172.16.5.9";
    QTest::newRow("wraps past the top") << "255.255.255.255" << 1u << "0.0.0.0";
    QTest::newRow("large offset wraps") << "0.0.0.1" << 0xffffffffu << "0.0.0.0";
    QTest::newRow("not an address") << "no address" << 5u << "0.0.0.5";
    QTest::newRow("empty base") << "" << 5u << "0.0.0.5";
    QTest::newRow("IPv6 base counts from zero") << "fe80::1" << 5u << "0.0.0.5";
}

void TestNetHelpers::addressAt()
{
    QFETCH(QString, base);
    QFETCH(quint32, offset);
    QFETCH(QString, expected);
    QCOMPARE(::addressAt(base, offset), expected);
}

void TestNetHelpers::lastHostOffset_data()
{
    QTest::addColumn<int>("prefix");
    QTest::addColumn<int>("expected");
    QTest::newRow("/0") << 0 << 0;
    QTest::newRow("/1") << 1 << 2147483647;
    QTest::newRow("/8") << 8 << 16777215;
    QTest::newRow("/16") << 16 << 65535;
    QTest::newRow("/24") << 24 << 255;
    QTest::newRow("/31") << 31 << 1;
    QTest::newRow("/32") << 32 << 0;
}

void TestNetHelpers::lastHostOffset()
{
    QFETCH(int, prefix);
    QFETCH(int, expected);
    QCOMPARE(::lastHostOffset(prefix), expected);
}

void TestNetHelpers::subnets_data()
{
    QTest::addColumn<QList<InterfaceEntries>>("interfaces");
    QTest::addColumn<SubnetMap>("expected");
    QTest::addColumn<QStringList>("order");

    const auto eth = QNetworkInterface::Ethernet;
    QTest::newRow("no interfaces") << QList<InterfaceEntries>() << SubnetMap() << QStringList();
    QTest::newRow("only loopback, virtual, point-to-point") << QList<InterfaceEntries>{
        interface(QNetworkInterface::Loopback, {entry("127.0.0.1", "255.0.0.0")}),
        interface(QNetworkInterface::Virtual, {entry("172.17.0.1", "255.255.0.0")}),
        interface(QNetworkInterface::Ppp, {entry("10.8.0.2", "255.255.255.255")}),
        interface(QNetworkInterface::Unknown,
                  {entry("10.9.0.2",
                         "255.255.255.0")})} << SubnetMap() << QStringList();
    QTest::newRow("/16 clears the host bits")
        << QList<InterfaceEntries>{interface(eth, {entry("10.1.2.3", "255.255.0.0")})}
        << SubnetMap{{"10.1.0.0", 65535}} << QStringList{"10.1.0.0"};
    QTest::newRow("/24 on Wi-Fi") << QList<InterfaceEntries>{interface(
        QNetworkInterface::Wifi, {entry("192.168.1.57", "255.255.255.0")})}
                                  << SubnetMap{{"192.168.1.0", 255}} << QStringList{"192.168.1.0"};
    QTest::newRow("/32 keeps its own address")
        << QList<InterfaceEntries>{interface(eth, {entry("10.20.30.40", "255.255.255.255")})}
        << SubnetMap{{"10.20.30.40", 0}} << QStringList{"10.20.30.40"};
    QTest::newRow("same network twice: the later entry wins")
        << QList<InterfaceEntries>{interface(eth, {entry("10.1.2.3", "255.255.0.0")}),
                                   interface(eth,
                                             {entry("10.1.9.9", "255.255.0.0"),
                                              entry("10.1.0.0", "255.255.0.0")})}
        << SubnetMap{{"10.1.0.0", 65535}} << QStringList{"10.1.0.0"};
    QTest::newRow("keys in string order, not numeric")
        << QList<InterfaceEntries>{interface(
               eth,
               {entry("192.168.2.7", "255.255.255.0"), entry("192.168.10.7", "255.255.255.0")})}
        << SubnetMap{{"192.168.2.0", 255}, {"192.168.10.0", 255}}
        << QStringList{"192.168.10.0", "192.168.2.0"};
    QTest::newRow("IPv6 entries skipped") << QList<InterfaceEntries>{interface(
        eth, {entry("fd00::2", "ffff:ffff:ffff:ffff::"), entry("192.0.2.2", "255.255.255.0")})}
                                          << SubnetMap{{"192.0.2.0", 255}}
                                          << QStringList{"192.0.2.0"};
    QTest::newRow("down or odd interfaces mixed with good ones")
        << QList<InterfaceEntries>{interface(QNetworkInterface::Loopback,
                                             {entry("127.0.0.1", "255.0.0.0")}),
                                   interface(eth, {entry("172.16.4.1", "255.255.252.0")})}
        << SubnetMap{{"172.16.4.0", 1023}} << QStringList{"172.16.4.0"};
}

void TestNetHelpers::subnets()
{
    QFETCH(QList<InterfaceEntries>, interfaces);
    QFETCH(SubnetMap, expected);
    QFETCH(QStringList, order);
    const QMap<QString, int> map = subnetsOf(interfaces);
    QCOMPARE(map, expected);
    QCOMPARE(map.keys(), order);
}

void TestNetHelpers::localAddressesHaveLoopback()
{
    if (QNetworkInterface::allAddresses().isEmpty())
        QSKIP("no interface is up");
    QVERIFY(localAddresses().contains(QStringLiteral("127.0.0.1"))
            || localAddresses().contains(QStringLiteral("::1")));
}

void TestNetHelpers::hostAddressWithoutLookup_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("localhost") << "localhost"
                               << "127.0.0.1";
    QTest::newRow("IPv4") << "10.0.0.7"
                          << "10.0.0.7";
    QTest::newRow("IPv6 normalised") << "FD00:0:0::0002"
                                     << "fd00::2";
    QTest::newRow("loopback IPv6") << "0:0:0:0:0:0:0:1"
                                   << "::1";
}

void TestNetHelpers::hostAddressWithoutLookup()
{
    QFETCH(QString, host);
    QFETCH(QString, expected);
    const int before = hostLookupCount();
    const QString address = hostAddress(host);
    QCOMPARE(address, expected);
    QCOMPARE(address.isEmpty(), expected.isEmpty());
    QCOMPARE(cachedHostAddress(host), expected);
    QCOMPARE(hostLookupCount(), before);
}

void TestNetHelpers::hostAddressCapitalLocalhost()
{
    // Only the exact word is taken without a look-up; capitals go to the
    // resolver, whose first answer counts: the hosts file lists 127.0.0.1
    // before ::1, as Debian's does.
    const int before = hostLookupCount();
    const QString address = hostAddress(QStringLiteral("LOCALHOST"));
    QCOMPARE(hostLookupCount(), before + 1);
    QCOMPARE(address, QStringLiteral("127.0.0.1"));
}

void TestNetHelpers::unresolvableName()
{
    const QString name = QStringLiteral("no-such-host.invalid");
    QElapsedTimer timer;
    timer.start();
    const QString address = hostAddress(name);
    QVERIFY(address.isNull());
    QVERIFY(::hostName(name).isEmpty());
    QVERIFY(timer.elapsed() < 2 * HostLookupTimeoutMs + 1000);
}

void TestNetHelpers::hostName_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << "" << QString();
    QTest::newRow("address") << "127.0.0.1"
                             << "localhost";
    QTest::newRow("localhost") << "localhost"
                               << "localhost";
    QTest::newRow("IPv6 loopback by its second name") << "ip6-loopback"
                                                      << "localhost";
    QTest::newRow("address without a name") << "127.0.4.9"
                                            << "127.0.4.9";
}

void TestNetHelpers::hostName()
{
    QFETCH(QString, host);
    QFETCH(QString, expected);
    QCOMPARE(::hostName(host), expected);
    QCOMPARE(cachedHostName(host), expected);
}

void TestNetHelpers::unansweredLookupIsCutShort()
{
    ResolverGuard guard;
    // A resolver that answers only after five seconds; the helper keeps the
    // shared state alive, so the abandoned look-up finishes harmlessly.
    auto finished = std::make_shared<std::atomic<int>>(0);
    setHostLookupFunction([finished](const QString &name) {
        QThread::msleep(5000);
        ++*finished;
        return answer(name, {QHostAddress("10.9.8.7")});
    });
    QElapsedTimer timer;
    timer.start();
    QVERIFY(hostAddress(QStringLiteral("slow.example")).isNull());
    const qint64 forward = timer.elapsed();
    QVERIFY2(forward >= HostLookupTimeoutMs - 100 && forward < HostLookupTimeoutMs + 1500,
             qPrintable(QString::number(forward)));
    // An unanswered reverse look-up leaves the address as the name.
    timer.restart();
    QCOMPARE(::hostName(QStringLiteral("10.9.8.7")), QStringLiteral("10.9.8.7"));
    QVERIFY(timer.elapsed() < HostLookupTimeoutMs + 1500);
    QTRY_COMPARE_WITH_TIMEOUT(finished->load(), 2, 10000);
}

void TestNetHelpers::cacheKeepsLookupsConstant()
{
    ResolverGuard guard;
    auto calls = std::make_shared<std::atomic<int>>(0);
    setHostLookupFunction([calls](const QString &name) {
        ++*calls;
        if (name == QLatin1String("storage.example"))
            return answer(name, {QHostAddress("10.9.8.7")});
        if (name == QLatin1String("10.9.8.7"))
            return answer(QStringLiteral("storage.example"), {QHostAddress("10.9.8.7")});
        return answer(name, {});
    });

    const int devices = 200;
    const QString host = QStringLiteral("storage.example");
    // Every device of a remote list needs its host-name key and its address key.
    int before = hostLookupCount();
    for (int i = 0; i < devices; ++i) {
        QCOMPARE(::hostName(host), host);
        QCOMPARE(hostAddress(host), QStringLiteral("10.9.8.7"));
    }
    const int raw = hostLookupCount() - before;
    QCOMPARE(raw, 3 * devices);

    before = hostLookupCount();
    calls->store(0);
    for (int i = 0; i < devices; ++i) {
        QCOMPARE(cachedHostName(host), host);
        QCOMPARE(cachedHostAddress(host), QStringLiteral("10.9.8.7"));
    }
    const int cached = hostLookupCount() - before;
    QCOMPARE(cached, 2);
    QCOMPARE(calls->load(), 2);
    qInfo("look-ups for the keys of %d devices of one host by name: %d raw, %d cached", devices,
          raw, cached);

    // Failures are kept as well, so an unresolvable host costs one look-up.
    before = hostLookupCount();
    for (int i = 0; i < devices; ++i)
        QVERIFY(cachedHostName(QStringLiteral("gone.example")).isEmpty());
    QCOMPARE(hostLookupCount() - before, 1);

    clearHostCache();
    before = hostLookupCount();
    QCOMPARE(cachedHostAddress(host), QStringLiteral("10.9.8.7"));
    QCOMPARE(hostLookupCount() - before, 1);
}

void TestNetHelpers::cacheOfflineName()
{
    const QString name = offlineName();
    const QString expectedAddress = hostAddress(name);
    const QString expectedName = ::hostName(name);
    QVERIFY(!expectedAddress.isEmpty());
    const int before = hostLookupCount();
    for (int i = 0; i < 200; ++i) {
        QCOMPARE(cachedHostAddress(name), expectedAddress);
        QCOMPARE(cachedHostName(name), expectedName);
    }
    QCOMPARE(hostLookupCount() - before, 2);
}

QTEST_GUILESS_MAIN(TestNetHelpers)
#include "tst_nethelpers.moc"
