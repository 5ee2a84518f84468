// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"
#include "testworld.h"
#include "tooloutput.h"
#include "usbipclient.h"
#include "usbiplisting.h"
#include "usbippeer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Names of the loopback peers without asking any resolver: 127.0.0.N is
// "peer-N.test" and back.
QHostInfo scriptedLookup(const QString &name)
{
    QHostInfo info;
    const QHostAddress address(name);
    if (!address.isNull() && address.toString().startsWith(QLatin1String("127."))) {
        info.setHostName(QStringLiteral("peer-%1.test").arg(address.toIPv4Address() & 0xff));
        info.setAddresses({address});
    } else if (name.startsWith(QLatin1String("peer-")) && name.endsWith(QLatin1String(".test"))) {
        info.setHostName(name);
        info.setAddresses(
            {QHostAddress(QStringLiteral("127.0.0.") + name.mid(5, name.size() - 10))});
    } else {
        info.setHostName(name);
        info.setError(QHostInfo::HostNotFound);
    }
    return info;
}

// Every signal of the client, in the order emitted.
QStringList *recordSignals(UsbIpClient *client, QObject *context)
{
    auto *events = new QStringList;
    QObject::connect(context, &QObject::destroyed, [events] { delete events; });
    QObject::connect(client, &UsbIpClient::updated, context,
                     [events] { events->append(QStringLiteral("updated")); });
    QObject::connect(client, &UsbIpClient::attached, context, [events](const QString &id) {
        events->append(QStringLiteral("attached %1").arg(id));
    });
    QObject::connect(client, &UsbIpClient::detached, context, [events](const QString &port) {
        events->append(QStringLiteral("detached [%1]").arg(port));
    });
    QObject::connect(client, &UsbIpClient::error, context,
                     [events](const QString &error, const QString &detailed) {
                         events->append(QStringLiteral("error [%1] [%2]").arg(error, detailed));
                     });
    return events;
}

// "busid vid:pid name @host" per record, keys checked apart.
QStringList describe(const QList<UsbDevice> &devices)
{
    QStringList result;
    for (const UsbDevice &device : devices)
        result.append(QStringLiteral("%1 %2 %3 @%4")
                          .arg(device.busid(), device.vidPid(), device.name(), device.host()));
    return result;
}

using Devices = QList<UsbIpPeer::Device>;

// The real tool needs 0.15 s of processor time or more (it reads the USB id
// database) before it connects; on a heavily loaded machine it can miss the
// listing's limit, which is no fault of the client.
constexpr int BusyRetries = 4;
constexpr char BusyMessage[] =
    "the machine is too busy: the usbip tool did not finish within the listing's limit";

} // namespace

class TestUsbIpClient : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void remoteListing_data();
    void remoteListing();

    void attachedRecords_data();
    void attachedRecords();

    void portTable_data();
    void portTable();

    void connectDevice_data();
    void connectDevice();

    void disconnectDevice_data();
    void disconnectDevice();

    void managerAbsent();

private:
};

void TestUsbIpClient::initTestCase()
{
    if (FakeUsbip::realUsbip().isEmpty())
        QSKIP("the usbip tool is not installed");
    setHostLookupFunction(scriptedLookup);
    QVERIFY2(startWorld(), qPrintable(worldError()));
}

void TestUsbIpClient::init()
{
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_usbip->setDefaultPassThrough();
    clearHostCache();
    m_env->removeConfigFile(QStringLiteral("remote-usb-devices"));
}

void TestUsbIpClient::cleanupTestCase()
{
    setHostLookupFunction({});
}

void TestUsbIpClient::remoteListing_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("mode");
    QTest::addColumn<Devices>("exported");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QStringList>("events");

    const QStringList updatedOnly{QStringLiteral("updated")};
    // The detailed text says why: the tool's own message, or the time-out.
    const auto failed = [](const QString &why) {
        return QStringList{
            QStringLiteral("error [Error updating the list of remote devices!] [%1]").arg(why),
            QStringLiteral("updated")};
    };

    QTest::newRow("no exported devices") << "127.0.0.5" << true << int(UsbIpPeer::Answer)
                                         << Devices() << true << QStringList() << updatedOnly;
    QTest::newRow("a storage device")
        << "127.0.0.6" << true << int(UsbIpPeer::Answer)
        << Devices{UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567)} << true
        << QStringList{QStringLiteral("1-1 0781:5567 Cruzer Blade @127.0.0.6")} << updatedOnly;
    QTest::newRow("unknown ids")
        << "127.0.0.7" << true << int(UsbIpPeer::Answer)
        << Devices{UsbIpPeer::storageDevice(QStringLiteral("3-12"), 0xdead, 0xbeef)} << true
        << QStringList{QStringLiteral("3-12 dead:beef unknown product @127.0.0.7")} << updatedOnly;
    QTest::newRow("a device behind a hub is listed")
        << "127.0.0.8" << true << int(UsbIpPeer::Answer)
        << Devices{UsbIpPeer::storageDevice(QStringLiteral("1-1.2"), 0x0781, 0x5567),
                   UsbIpPeer::storageDevice(QStringLiteral("2-1"), 0x0781, 0x5567)}
        << true
        << QStringList{QStringLiteral("1-1.2 0781:5567 Cruzer Blade @127.0.0.8"),
                       QStringLiteral("2-1 0781:5567 Cruzer Blade @127.0.0.8")}
        << updatedOnly;
    QTest::newRow("peer that never answers")
        << "127.0.0.9" << true << int(UsbIpPeer::Hang) << Devices() << false << QStringList()
        << failed(QStringLiteral("The usbip tool got no answer within 5 seconds."));
    QTest::newRow("nothing listening")
        << "127.0.0.5" << false << int(UsbIpPeer::Answer) << Devices() << false << QStringList()
        << failed(
               QStringLiteral("usbip: error: could not connect to 127.0.0.5:3240: System error"));
}

void TestUsbIpClient::remoteListing()
{
    QFETCH(QString, address);
    QFETCH(bool, listening);
    QFETCH(int, mode);
    QFETCH(Devices, exported);
    QFETCH(bool, result);
    QFETCH(QStringList, devices);
    QFETCH(QStringList, events);

    UsbIpPeer peer;
    peer.setMode(UsbIpPeer::Mode(mode));
    peer.setDevices(exported);
    if (listening && !peer.listen(address))
        QSKIP(qPrintable(peer.errorString()));

    UsbIpClient client(QStringLiteral("unused.invalid"));
    client.setHost(address);
    QCOMPARE(client.m_host, address);
    QObject context;
    QStringList *recorded = recordSignals(&client, &context);

    QElapsedTimer timer;
    bool ok = false;
    // An answering peer that misses the limit on a busy machine: try again.
    for (int attempt = 0; attempt < BusyRetries; ++attempt) {
        recorded->clear();
        m_usbip->clearCalls();
        timer.start();
        ok = client.update();
        if (ok || !result || timer.elapsed() < UsbIpListing::RemoteListTimeoutMs)
            break;
    }
    if (result && !ok && timer.elapsed() >= UsbIpListing::RemoteListTimeoutMs)
        QSKIP(BusyMessage);
    QCOMPARE(ok, result);
    // The limit holds also against a peer that never answers (plus the time
    // the terminated tool takes to end).
    QVERIFY2(timer.elapsed() < UsbIpListing::RemoteListTimeoutMs + 4000,
             qPrintable(QString::number(timer.elapsed())));
    if (result)
        QVERIFY(peer.connectionCount() >= 1); // the real tool did reach the peer
    QCOMPARE(describe(client.devices()), devices);
    QCOMPARE(*recorded, events);
    QCOMPARE(m_usbip->calls().value(0),
             (QStringList{QStringLiteral("list"), QStringLiteral("-r"), address}));
    // Kernel 4 (the default): the listing makes no Manager call.
    QCOMPARE(m_manager->calls().size(), 0);

    // Host-name key first, then address key.
    const QList<UsbDevice> listed = client.devices();
    for (const UsbDevice &device : listed) {
        const QString tail = QLatin1Char('/') + device.busid() + QLatin1Char('/') + device.vidPid();
        const int number = address.section(QLatin1Char('.'), 3).toInt();
        QCOMPARE(device.keys(),
                 (QStringList{QStringLiteral("peer-%1.test").arg(number) + tail, address + tail}));
    }
}

void TestUsbIpClient::attachedRecords_data()
{
    QTest::addColumn<int>("kernel");
    QTest::addColumn<FakeManager::Reply>("portsReply");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<int>("portsCalls");
    QTest::addColumn<QStringList>("events");

    const QStringList own{QStringLiteral("1-1 0781:5567 Cruzer Blade @127.0.0.6")};
    const QStringList withPorts = own
        + QStringList{QStringLiteral("1-1 0781:5567 Cruzer Blade @127.0.0.5"),
                      QStringLiteral("2-2 abcd:1234 unknown product @127.0.0.7"),
                      // Behind a hub: the whole bus id, as its port key has it.
                      QStringLiteral("1-1.2 beef:0001 Hub Stick @127.0.0.8")};
    const FakeManager::Reply ports =
        FakeManager::reply(ToolOutput::text(QStringLiteral("port-three-attached.txt")));

    QTest::newRow("kernel 4: no PortsInfo call")
        << 4 << ports << own << 0 << QStringList{QStringLiteral("updated")};
    QTest::newRow("kernel 5: attached devices follow, whatever their host")
        << 5 << ports << withPorts << 1 << QStringList{QStringLiteral("updated")};
    QTest::newRow("kernel 6, nothing attached")
        << 6 << FakeManager::reply(FakeManager::DefaultPortsInfo) << own << 1
        << QStringList{QStringLiteral("updated")};
    QTest::newRow("kernel 5, port text of the wrong type")
        << 5 << FakeManager::reply(7) << own << 1 << QStringList{QStringLiteral("updated")};
    QTest::newRow("kernel 5, PortsInfo refused")
        << 5 << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")) << own
        << 1
        << QStringList{QStringLiteral("error [Error get ports info!] [Authorization error.]"),
                       QStringLiteral("updated")};
}

void TestUsbIpClient::attachedRecords()
{
    QFETCH(int, kernel);
    QFETCH(FakeManager::Reply, portsReply);
    QFETCH(QStringList, devices);
    QFETCH(int, portsCalls);
    QFETCH(QStringList, events);

    QVERIFY(!ToolOutput::text(QStringLiteral("port-three-attached.txt")).isEmpty());
    m_manager->setReply(QStringLiteral("PortsInfo"), portsReply);
    UsbIpPeer peer;
    peer.setDevices({UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567)});
    if (!peer.listen(QStringLiteral("127.0.0.6")))
        QSKIP(qPrintable(peer.errorString()));

    UsbIpClient client(QStringLiteral("127.0.0.6"));
    QCOMPARE(client.m_kernelVersion.load(), 4);
    client.setKernelVersion(kernel);
    QObject context;
    QStringList *recorded = recordSignals(&client, &context);
    bool ok = false;
    for (int attempt = 0; attempt < BusyRetries && !ok; ++attempt) { // see remoteListing
        recorded->clear();
        m_manager->clearCalls();
        ok = client.update();
    }
    if (!ok)
        QSKIP(BusyMessage);
    QVERIFY(ok); // a failing port query does not fail the listing
    QCOMPARE(describe(client.devices()), devices);
    QCOMPARE(*recorded, events);
    QCOMPARE(m_manager->calls().size(), portsCalls);
    for (const FakeManager::Call &call : m_manager->calls())
        QCOMPARE(call.method, QStringLiteral("PortsInfo"));
}

void TestUsbIpClient::portTable_data()
{
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<QStringList>("table"); // "key -> port", sorted
    QTest::addColumn<QStringList>("events");

    QTest::newRow("attached ports")
        << FakeManager::reply(ToolOutput::text(QStringLiteral("port-three-attached.txt")))
        << QStringList{QStringLiteral("127.0.0.5/1-1/0781:5567 -> 00"),
                       QStringLiteral("127.0.0.7/2-2/abcd:1234 -> 01"),
                       QStringLiteral("127.0.0.8/1-1.2/beef:0001 -> 15")}
        << QStringList();
    QTest::newRow("nothing attached")
        << FakeManager::reply(FakeManager::DefaultPortsInfo) << QStringList() << QStringList();
    QTest::newRow("a list instead of the text")
        << FakeManager::reply(QStringList{QStringLiteral("Port 00: x")}) << QStringList()
        << QStringList();
    QTest::newRow("bus error")
        << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.NoReply")) << QStringList()
        << QStringList{QStringLiteral("error [Error get ports info!] [Timeout reply.]")};
}

void TestUsbIpClient::portTable()
{
    QFETCH(FakeManager::Reply, reply);
    QFETCH(QStringList, table);
    QFETCH(QStringList, events);

    m_manager->setReply(QStringLiteral("PortsInfo"), reply);
    UsbIpClient client(QStringLiteral("localhost"));
    QObject context;
    QStringList *recorded = recordSignals(&client, &context);
    const QHash<QString, QString> ports = client.ports();
    QStringList found;
    for (auto it = ports.constBegin(); it != ports.constEnd(); ++it)
        found.append(it.key() + QStringLiteral(" -> ") + it.value());
    found.sort();
    QCOMPARE(found, table);
    QCOMPARE(*recorded, events);
    QCOMPARE(m_manager->calls().size(), 1);
}

void TestUsbIpClient::connectDevice_data()
{
    QTest::addColumn<bool>("isConst");
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("events");

    const QString id = QStringLiteral("127.0.0.6/1-1/0781:5567");
    QTest::newRow("session, true") << false << FakeManager::reply(true) << true
                                   << QStringList{QStringLiteral("attached ") + id};
    QTest::newRow("constantly, true") << true << FakeManager::reply(true) << true
                                      << QStringList{QStringLiteral("attached ") + id};
    QTest::newRow("false") << true << FakeManager::reply(false) << false << QStringList();
    QTest::newRow("a string instead of a bool")
        << false << FakeManager::reply(QStringLiteral("true")) << false << QStringList();
    QTest::newRow("access denied")
        << true << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"))
        << false
        << QStringList{QStringLiteral("error [Error connect to device!\n] [Authorization error.]")};
}

void TestUsbIpClient::connectDevice()
{
    QFETCH(bool, isConst);
    QFETCH(FakeManager::Reply, reply);
    QFETCH(bool, result);
    QFETCH(QStringList, events);

    const QString id = QStringLiteral("127.0.0.6/1-1/0781:5567");
    m_manager->setReply(QStringLiteral("ConnectDevice"), reply);
    UsbIpClient client(QStringLiteral("127.0.0.6"));
    QObject context;
    QStringList *recorded = recordSignals(&client, &context);
    QCOMPARE(client.connectDevice(id, isConst), result);
    QCOMPARE(*recorded, events);
    QCOMPARE(m_manager->calls().size(), 1);
    QCOMPARE(m_manager->calls().first().method, QStringLiteral("ConnectDevice"));
    QCOMPARE(m_manager->calls().first().arguments, (QVariantList{id, isConst}));
    QCOMPARE(m_manager->calls().first().arguments.at(1).userType(), int(QMetaType::Bool));
}

void TestUsbIpClient::disconnectDevice_data()
{
    QTest::addColumn<QString>("file"); // "<missing>", "<folder>" or the content
    QTest::addColumn<QString>("port");
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<QString>("passedId");
    QTest::addColumn<QStringList>("events");

    const QString nameKey = QStringLiteral("peer-6.test/1-1/0781:5567");
    const QString addressKey = QStringLiteral("127.0.0.6/1-1/0781:5567");
    const FakeManager::Reply yes = FakeManager::reply(true);

    QTest::newRow("session attachment, file missing")
        << "<missing>"
        << "00" << yes << "" << QStringList{QStringLiteral("detached [00]")};
    QTest::newRow("file unreadable")
        << "<folder>"
        << "00" << yes << "" << QStringList{QStringLiteral("detached [00]")};
    QTest::newRow("no key in the file")
        << "10.0.0.1/1-1/0781:5567\n"
        << "03" << yes << "" << QStringList{QStringLiteral("detached [03]")};
    QTest::newRow("address key in the file")
        << addressKey + "\n"
        << "01" << yes << addressKey << QStringList{QStringLiteral("detached [01]")};
    QTest::newRow("both keys in the file: the first key of the row") << addressKey + "\n"
            + nameKey << "01" << yes << nameKey << QStringList{QStringLiteral("detached [01]")};
    QTest::newRow("a line with blanks is no match")
        << " " + addressKey + "\n"
        << "01" << yes << "" << QStringList{QStringLiteral("detached [01]")};
    QTest::newRow("empty port is still sent")
        << "<missing>"
        << "" << yes << "" << QStringList{QStringLiteral("detached []")};
    QTest::newRow("false") << addressKey << "00" << FakeManager::reply(false) << addressKey
                           << QStringList();
    QTest::newRow("an int instead of a bool")
        << "<missing>"
        << "00" << FakeManager::reply(1) << "" << QStringList();
    QTest::newRow("failed")
        << "<missing>"
        << "00" << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.Failed")) << ""
        << QStringList{QStringLiteral("error [Error disconnect device!\n] [The call failed.]")};
}

void TestUsbIpClient::disconnectDevice()
{
    QFETCH(QString, file);
    QFETCH(QString, port);
    QFETCH(FakeManager::Reply, reply);
    QFETCH(QString, passedId);
    QFETCH(QStringList, events);

    const QString path = m_env->configDir() + QStringLiteral("/remote-usb-devices");
    if (file == QLatin1String("<folder>"))
        QVERIFY(QDir().mkpath(path));
    else if (file != QLatin1String("<missing>"))
        m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), file.toUtf8());

    m_manager->setReply(QStringLiteral("DisconnectDevice"), reply);
    UsbIpClient client(QStringLiteral("127.0.0.6"));
    QObject context;
    QStringList *recorded = recordSignals(&client, &context);
    const QStringList keys{QStringLiteral("peer-6.test/1-1/0781:5567"),
                           QStringLiteral("127.0.0.6/1-1/0781:5567")};
    QCOMPARE(client.disconnectDevice(keys, port),
             events.value(0).startsWith(QLatin1String("detached")));
    QCOMPARE(*recorded, events);
    QCOMPARE(m_manager->calls().size(), 1);
    QCOMPARE(m_manager->calls().first().method, QStringLiteral("DisconnectDevice"));
    QCOMPARE(m_manager->calls().first().arguments, (QVariantList{passedId, port}));
    QDir(path).removeRecursively();
}

void TestUsbIpClient::managerAbsent()
{
    m_manager->stop();
    UsbIpClient client(QStringLiteral("127.0.0.6"));
    QObject context;
    QStringList *recorded = recordSignals(&client, &context);
    const QString unknown = QStringLiteral("The called service is not known.");
    QVERIFY(client.ports().isEmpty());
    QVERIFY(client.portsInfo().isEmpty());
    QVERIFY(!client.connectDevice(QStringLiteral("127.0.0.6/1-1/0781:5567"), true));
    QVERIFY(!client.disconnectDevice({QStringLiteral("127.0.0.6/1-1/0781:5567")},
                                     QStringLiteral("00")));
    client.setKernelVersion(5);
    QCOMPARE(client.parseRemoteList(QString(), QStringLiteral("127.0.0.6")), QList<UsbDevice>());
    QCOMPARE(*recorded,
             (QStringList{QStringLiteral("error [Error get ports info!] [%1]").arg(unknown),
                          QStringLiteral("error [Error get ports info!] [%1]").arg(unknown),
                          QStringLiteral("error [Error connect to device!\n] [%1]").arg(unknown),
                          QStringLiteral("error [Error disconnect device!\n] [%1]").arg(unknown),
                          QStringLiteral("error [Error get ports info!] [%1]").arg(unknown)}));
}

QTEST_GUILESS_MAIN(TestUsbIpClient)
#include "tst_usbipclient.moc"
