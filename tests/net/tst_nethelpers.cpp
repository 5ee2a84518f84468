// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A wait as the window's: an event loop runs until `done` holds.
bool eventLoopWait(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

} // namespace

class TestNetHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void addressAt_data();
    void addressAt();
    void subnets_data();
    void subnets();
    void localAddressesHaveLoopback();

    void hostAddresses_data();
    void hostAddresses();
    void unansweredLookupsAreCutShort();
    void answersAreKept();

private:
    QString writeHosts(const QString &name, const QByteArray &content);

    QTemporaryDir m_dir;
};

void TestNetHelpers::initTestCase()
{
    QVERIFY(m_dir.isValid());
    setHostsFile(writeHosts(QStringLiteral("hosts"),
                            "# comment line\n"
                            "127.0.0.1 localhost\n"
                            "127.0.4.1   alpha.sandbox alpha # first host\n"
                            "127.0.4.2\tbeta.sandbox\n"
                            "fd00::7 six.sandbox\n"
                            "not-an-address gamma.sandbox\n"));
}

QString TestNetHelpers::writeHosts(const QString &name, const QByteArray &content)
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(content);
    return file.fileName();
}

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
    // A point-to-point link or a tunnel (WireGuard) has no address to scan.
    QTest::newRow("/31 and /32 left out, /30 kept")
        << QList<InterfaceEntries>{interface(eth, {entry("10.20.30.40", "255.255.255.255"),
                                                   entry("10.20.31.0", "255.255.255.254"),
                                                   entry("10.20.32.1", "255.255.255.252")})}
        << SubnetMap{{"10.20.32.0", 3}} << QStringList{"10.20.32.0"};
    QTest::newRow("/8") << QList<InterfaceEntries>{interface(eth, {entry("10.1.2.3", "255.0.0.0")})}
                        << SubnetMap{{"10.0.0.0", 16777215}} << QStringList{"10.0.0.0"};
    QTest::newRow("same network twice: the later entry wins")
        << QList<InterfaceEntries>{interface(eth, {entry("10.1.2.3", "255.255.0.0")}),
                                   interface(eth, {entry("10.1.9.9", "255.255.0.0"),
                                                   entry("10.1.0.0", "255.255.0.0")})}
        << SubnetMap{{"10.1.0.0", 65535}} << QStringList{"10.1.0.0"};
    QTest::newRow("keys in string order, not numeric")
        << QList<InterfaceEntries>{interface(eth, {entry("192.168.2.7", "255.255.255.0"),
                                                   entry("192.168.10.7", "255.255.255.0")})}
        << SubnetMap{{"192.168.2.0", 255}, {"192.168.10.0", 255}}
        << QStringList{"192.168.10.0", "192.168.2.0"};
    QTest::newRow("IPv6 entries skipped")
        << QList<InterfaceEntries>{interface(eth, {entry("fd00::2", "ffff:ffff:ffff:ffff::"),
                                                   entry("192.0.2.2", "255.255.255.0")})}
        << SubnetMap{{"192.0.2.0", 255}} << QStringList{"192.0.2.0"};
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

void TestNetHelpers::hostAddresses_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("localhost") << "localhost"
                               << "127.0.0.1";
    QTest::newRow("localhost in capitals") << "LOCALHOST"
                                           << "127.0.0.1";
    QTest::newRow("IPv4") << "10.0.0.7"
                          << "10.0.0.7";
    QTest::newRow("IPv6 normalised") << "FD00:0:0::0007"
                                     << "fd00::7";
    QTest::newRow("name") << "alpha.sandbox"
                          << "127.0.4.1";
    QTest::newRow("alias") << "alpha"
                           << "127.0.4.1";
    QTest::newRow("name in capitals, after a tab") << "BETA.sandbox"
                                                   << "127.0.4.2";
    QTest::newRow("IPv6 name") << "six.sandbox"
                               << "fd00::7";
    QTest::newRow("comment is no name") << "first"
                                        << "";
    QTest::newRow("unknown name") << "nowhere.sandbox"
                                  << "";
    QTest::newRow("line with a broken address") << "gamma.sandbox"
                                                << "";
}

void TestNetHelpers::hostAddresses()
{
    QFETCH(QString, host);
    QFETCH(QString, expected);
    QCOMPARE(::hostAddresses({host}).value(host), expected);
    // The same, waited for in an event loop, with a second host beside it.
    const QHash<QString, QString> both =
        ::hostAddresses({host, QStringLiteral("alpha")}, eventLoopWait);
    QCOMPARE(both.value(host), expected);
    QCOMPARE(both.value(QStringLiteral("alpha")), QStringLiteral("127.0.4.1"));
}

void TestNetHelpers::unansweredLookupsAreCutShort()
{
    // A hosts file that never answers: reading a FIFO without a writer
    // blocks, as a dead name server does.
    const QString fifo = m_dir.filePath(QStringLiteral("silent"));
    QCOMPARE(::mkfifo(qPrintable(fifo), 0600), 0);
    setHostsFile(fifo);
    QTimer tick;
    int ticks = 0;
    connect(&tick, &QTimer::timeout, this, [&ticks]() {
        ++ticks;
    });
    tick.start(100);
    QElapsedTimer timer;
    timer.start();
    const QHash<QString, QString> found =
        ::hostAddresses({QStringLiteral("one.example"), QStringLiteral("two.example"),
                         QStringLiteral("three.example"), QStringLiteral("10.0.0.9")},
                        eventLoopWait);
    const qint64 elapsed = timer.elapsed();
    tick.stop();
    // The names were waited for, up to the time-out, while the event loop ran.
    QVERIFY2(elapsed >= HostLookupTimeoutMs - 100, qPrintable(QString::number(elapsed)));
    QVERIFY2(ticks > 0, qPrintable(QString::number(ticks)));
    QCOMPARE(found.value(QStringLiteral("one.example")), QString());
    QCOMPARE(found.value(QStringLiteral("10.0.0.9")), QStringLiteral("10.0.0.9"));
    // Kept as answered: the next call does not wait again.
    timer.restart();
    QCOMPARE(::hostAddresses({QStringLiteral("two.example")}).value("two.example"), QString());
    QVERIFY2(timer.elapsed() < HostLookupTimeoutMs, qPrintable(QString::number(timer.elapsed())));
    // The abandoned look-ups end: a writer opens and closes the FIFO.
    const int writer = ::open(qPrintable(fifo), O_WRONLY | O_NONBLOCK);
    if (writer >= 0)
        ::close(writer);
    setHostsFile(m_dir.filePath(QStringLiteral("hosts")));
}

void TestNetHelpers::answersAreKept()
{
    // Changed records are noticed after HostCacheLifetimeMs, not at once:
    // a list of many devices of one host costs one look-up.
    setHostsFile(writeHosts(QStringLiteral("changing"), "10.9.8.7 storage.example\n"));
    QCOMPARE(::hostAddresses({QStringLiteral("storage.example")}).value("storage.example"),
             QStringLiteral("10.9.8.7"));
    writeHosts(QStringLiteral("changing"), "10.9.8.8 storage.example\n");
    QCOMPARE(::hostAddresses({QStringLiteral("storage.example")}).value("storage.example"),
             QStringLiteral("10.9.8.7"));
    setHostsFile(m_dir.filePath(QStringLiteral("hosts")));
}

QTEST_GUILESS_MAIN(TestNetHelpers)
#include "tst_nethelpers.moc"
