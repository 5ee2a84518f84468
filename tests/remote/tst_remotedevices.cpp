// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakeavahi.h"
#include "hostbrowser.h"
#include "nethelpers.h"
#include "ovrausbipmanager.h"
#include "remotedevices.h"
#include "testworld.h"
#include "tooloutput.h"
#include "usbiplisting.h"
#include "usbippeer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// "busid state" of a row: "disconnected", "attached PORT", "lost"; then
// "constantly LINE" when a line of the constant-connections file names it.
QString describe(const RemoteRow &row)
{
    QString text = row.device.busId() + QLatin1Char(' ');
    if (row.lost)
        text += QStringLiteral("lost");
    else if (row.attached())
        text += QStringLiteral("attached ") + row.port;
    else
        text += QStringLiteral("disconnected");
    if (row.isConstant())
        text += QStringLiteral(" constantly ") + row.constantLine;
    return text;
}

// Every signal of the service, in the order emitted.
QStringList *recordSignals(RemoteDevices *service, QObject *context)
{
    auto *events = new QStringList;
    QObject::connect(context, &QObject::destroyed, [events] {
        delete events;
    });
    QObject::connect(service, &RemoteDevices::updated, context,
                     [events](const QList<RemoteRow> &rows) {
                         QStringList described;
                         for (const RemoteRow &row : rows)
                             described << describe(row) + QStringLiteral(" @") + row.device.host();
                         events->append(QStringLiteral("updated [%1]").arg(described.join(", ")));
                     });
    QObject::connect(service, &RemoteDevices::rowChanged, context,
                     [events](int row, const RemoteRow &value) {
                         events->append(QStringLiteral("row %1: %2").arg(row).arg(describe(value)));
                     });
    QObject::connect(service, &RemoteDevices::error, context,
                     [events](const QString &error, const QString &detailed) {
                         events->append(QStringLiteral("error [%1] [%2]").arg(error, detailed));
                     });
    QObject::connect(service, &RemoteDevices::connectionChanged, context,
                     [events](const ConnectionChange &change) {
                         events->append(QStringLiteral("told [%1] on %2: %3, %4")
                                            .arg(change.name, change.host,
                                                 change.attached ? "back" : "lost",
                                                 change.constant ? "constant" : "not constant"));
                     });
    return events;
}

using Devices = QList<UsbIpPeer::Device>;
using Ports = QMap<QString, QString>; // device id as the port shows it -> port

// The real tool needs 0.15 s of processor time or more (it reads the USB id
// database) before it connects; on a heavily loaded machine it can miss the
// listing's limit, which is no fault of the service.
constexpr int BusyRetries = 4;
constexpr char BusyMessage[] =
    "the machine is too busy: the usbip tool did not finish within the listing's limit";

const QStringList ListNas{QStringLiteral("list"), QStringLiteral("-r"), QStringLiteral("nas")};

// What nas exports: 1-1 (0781:5567), 2-1 (abcd:2222) and 3-1 (abcd:3333).
QByteArray nasExports()
{
    return ToolOutput::remoteHeader("nas")
         + ToolOutput::remoteBlock("1-1", "SanDisk Corp. : Cruzer Blade (0781:5567)")
         + ToolOutput::remoteBlock("2-1", "Acme : Stick Two (abcd:2222)")
         + ToolOutput::remoteBlock("3-1", "Acme : Stick Three (abcd:3333)");
}

// What a browser offers, as the host field shows it, and what each lists.
QStringList offered(const HostBrowser &browser)
{
    QStringList result;
    const QList<AnnouncedHost> hosts = browser.hosts();
    for (const AnnouncedHost &host : hosts)
        result << host.label() + QStringLiteral(" -> ") + host.host();
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Ports)

class TestRemoteDevices : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void listing_data();
    void listing();
    void attachedDevicesFollow_data();
    void attachedDevicesFollow();
    void states_data();
    void states();
    void connectDevice_data();
    void connectDevice();
    void disconnectDevice_data();
    void disconnectDevice();
    void lostConnectionWatch();
    void managerTellsOfConstantConnections_data();
    void managerTellsOfConstantConnections();
    void managerAbsent();
    void announcedHosts();
    void announcedHostsFollowAvahi();

private:
    std::unique_ptr<RemoteDevices> service(int kernel = 4);
    // The fake Manager answers PortsInfo from m_ports and, with
    // m_attachOnConnect, gives every ConnectDevice a port (named as given).
    void answerFromPorts();
    int calls(const QString &method) const;

    FakeAvahi m_avahi;
    mutable QMutex m_mutex;
    Ports m_ports;
    bool m_attachOnConnect = true;
};

void TestRemoteDevices::initTestCase()
{
    QVERIFY2(startWorld(), qPrintable(worldError()));
    // nas, NAS and nas.lan are one host, 127.0.0.40; old-name too.
    setHostsFile(m_env->writeFile(QStringLiteral("hosts"),
                                  "127.0.0.40 nas.lan nas old-name\n127.0.0.41 decoy\n"));
}

void TestRemoteDevices::init()
{
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_env->removeConfigFile(QStringLiteral("remote-usb-devices"));
    m_usbip->setResponse(ListNas, nasExports());
    {
        QMutexLocker locker(&m_mutex);
        m_ports.clear();
        m_attachOnConnect = true;
    }
    answerFromPorts();
}

std::unique_ptr<RemoteDevices> TestRemoteDevices::service(int kernel)
{
    auto remote = std::make_unique<RemoteDevices>(m_env->platform(), kernel);
    remote->setHost(QStringLiteral("nas"));
    return remote;
}

void TestRemoteDevices::answerFromPorts()
{
    m_manager->setHandler([this](const FakeManager::Call &call, FakeManager::Reply *reply) {
        QMutexLocker locker(&m_mutex);
        if (call.method == QLatin1String("PortsInfo")) {
            QByteArray text = ToolOutput::portHeader();
            for (auto it = m_ports.constBegin(); it != m_ports.constEnd(); ++it) {
                const QStringList parts = it.key().split(QLatin1Char('/'));
                text += ToolOutput::portBlock(it.value().toLatin1(),
                                              "Acme : Stick (" + parts.at(2).toLatin1() + ")",
                                              parts.at(0).toLatin1() + ":3240/"
                                                  + parts.at(1).toLatin1());
            }
            *reply = FakeManager::reply(QString::fromLatin1(text));
            return true;
        }
        if (call.method == QLatin1String("ConnectDevice") && m_attachOnConnect) {
            m_ports.insert(call.arguments.value(0).toString(),
                           QStringLiteral("%1").arg(m_ports.size() + 10));
        }
        return false;
    });
}

int TestRemoteDevices::calls(const QString &method) const
{
    int count = 0;
    const QList<FakeManager::Call> all = m_manager->calls();
    for (const FakeManager::Call &call : all)
        count += call.method == method;
    return count;
}

void TestRemoteDevices::listing_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("mode");
    QTest::addColumn<Devices>("exported");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("events");

    const auto failed = [](const QString &why) {
        return QStringList{
            QStringLiteral("updated []"),
            QStringLiteral("error [Error updating the list of remote devices!] [%1]").arg(why)};
    };

    QTest::newRow("no exported devices") << "127.0.0.5" << true << int(UsbIpPeer::Answer)
                                         << Devices() << true << QStringList{"updated []"};
    QTest::newRow("a storage device and one behind a hub")
        << "127.0.0.6" << true << int(UsbIpPeer::Answer)
        << Devices{UsbIpPeer::storageDevice(QStringLiteral("1-1.2"), 0x0781, 0x5567),
                   UsbIpPeer::storageDevice(QStringLiteral("3-12"), 0xdead, 0xbeef)}
        << true
        << QStringList{"updated [1-1.2 disconnected @127.0.0.6, 3-12 disconnected @127.0.0.6]"};
    QTest::newRow("peer that never answers")
        << "127.0.0.9" << true << int(UsbIpPeer::Hang) << Devices() << false
        << failed(QStringLiteral("The usbip tool got no answer within 5 seconds."));
    QTest::newRow("nothing listening")
        << "127.0.0.5" << false << int(UsbIpPeer::Answer) << Devices() << false
        << failed(
               QStringLiteral("usbip: error: could not connect to 127.0.0.5:3240: System error"));
}

void TestRemoteDevices::listing()
{
    // The real tool against a USB/IP peer on a loopback address.
    if (FakeUsbip::realUsbip().isEmpty())
        QSKIP("the usbip tool is not installed");
    QFETCH(QString, address);
    QFETCH(bool, listening);
    QFETCH(int, mode);
    QFETCH(Devices, exported);
    QFETCH(bool, result);
    QFETCH(QStringList, events);

    m_usbip->setDefaultPassThrough();
    UsbIpPeer peer;
    peer.setMode(UsbIpPeer::Mode(mode));
    peer.setDevices(exported);
    if (listening && !peer.listen(address))
        QFAIL(qPrintable(peer.errorString()));

    const std::unique_ptr<RemoteDevices> remote = service();
    remote->setHost(address);
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);
    QElapsedTimer timer;
    bool ok = false;
    // An answering peer that misses the limit on a busy machine: try again.
    for (int attempt = 0; attempt < BusyRetries; ++attempt) {
        recorded->clear();
        timer.start();
        ok = remote->update();
        if (ok || !result || timer.elapsed() < UsbIpListing::ListTimeoutMs)
            break;
    }
    if (result && !ok && timer.elapsed() >= UsbIpListing::ListTimeoutMs)
        QSKIP(BusyMessage);
    QCOMPARE(ok, result);
    // The limit holds also against a peer that never answers.
    QVERIFY2(timer.elapsed() < UsbIpListing::ListTimeoutMs + 2000,
             qPrintable(QString::number(timer.elapsed())));
    if (result)
        QVERIFY(peer.connectionCount() >= 1); // the real tool did reach the peer
    QCOMPARE(*recorded, events);
}

void TestRemoteDevices::attachedDevicesFollow_data()
{
    QTest::addColumn<int>("kernel");
    QTest::addColumn<FakeManager::Reply>("portsReply");
    QTest::addColumn<QStringList>("events");

    const FakeManager::Reply ports =
        FakeManager::reply(ToolOutput::text(QStringLiteral("port-three-attached.txt")));
    const QString own = "1-1 disconnected @nas, 2-1 disconnected @nas, 3-1 disconnected @nas";
    QTest::newRow("kernel 4: the host's own devices")
        << 4 << ports << QStringList{"updated [" + own + "]"};
    // Behind a hub: the whole bus id, as its port has it.
    QTest::newRow("kernel 5: the devices attached here follow, whatever their host")
        << 5 << ports
        << QStringList{"updated [" + own
                       + ", 1-1 attached 00 @127.0.0.5, 2-2 attached 01 @127.0.0.7, 1-1.2 "
                         "attached 15 @127.0.0.8]"};
    QTest::newRow("kernel 6, port text of the wrong type: nothing attached")
        << 6 << FakeManager::reply(7) << QStringList{"updated [" + own + "]"};
    QTest::newRow("kernel 5, PortsInfo refused: the listing stands")
        << 5 << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"))
        << QStringList{"error [Error get ports info!] [Authorization error.]",
                       "updated [" + own + "]"};
}

void TestRemoteDevices::attachedDevicesFollow()
{
    QFETCH(int, kernel);
    QFETCH(FakeManager::Reply, portsReply);
    QFETCH(QStringList, events);
    m_manager->setHandler({});
    m_manager->setReply(QStringLiteral("PortsInfo"), portsReply);
    const std::unique_ptr<RemoteDevices> remote = service(kernel);
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);
    QVERIFY(remote->update());
    QCOMPARE(*recorded, events);
    QCOMPARE(calls(QStringLiteral("PortsInfo")), 1);
}

void TestRemoteDevices::states_data()
{
    QTest::addColumn<QString>("host"); // as typed
    QTest::addColumn<Ports>("ports");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("restored"); // ConnectDevice calls of the refresh

    const QString nasLine = QStringLiteral("nas/2-1/abcd:2222");
    QTest::newRow("a port and a line in the host's own words")
        << "nas" << Ports{{"nas/1-1/0781:5567", "00"}, {"nas/2-1/abcd:2222", "01"}}
        << QByteArray("nas/2-1/abcd:2222\n")
        << QStringList{"1-1 attached 00", "2-1 attached 01 constantly " + nasLine,
                       "3-1 disconnected"}
        << 0;
    // The port names the host as the tool was given it; lines written earlier
    // may hold another name of it, or an address.
    QTest::newRow("ports and lines of other names and the address of the host")
        << "nas.lan" << Ports{{"127.0.0.40/1-1/0781:5567", "00"}, {"NAS/2-1/abcd:2222", "01"}}
        << QByteArray("old-name/1-1/0781:5567\n127.0.0.40/2-1/\n")
        << QStringList{"1-1 attached 00 constantly old-name/1-1/0781:5567",
                       "2-1 attached 01 constantly 127.0.0.40/2-1/", "3-1 disconnected"}
        << 0;
    QTest::newRow("another host with the same bus ids is not this one")
        << "nas" << Ports{{"decoy/1-1/0781:5567", "00"}} << QByteArray("decoy/2-1/abcd:2222\n")
        << QStringList{"1-1 disconnected", "2-1 disconnected", "3-1 disconnected"} << 0;
    QTest::newRow("a constant device not attached is attached for the session")
        << "nas" << Ports() << QByteArray("NAS/3-1/abcd:3333\n")
        << QStringList{"1-1 disconnected", "2-1 disconnected",
                       "3-1 attached 10 constantly NAS/3-1/abcd:3333"}
        << 1;
    QTest::newRow("a line of another product names no row")
        << "nas" << Ports() << QByteArray("nas/3-1/abcd:4444\n")
        << QStringList{"1-1 disconnected", "2-1 disconnected", "3-1 disconnected"} << 0;
}

void TestRemoteDevices::states()
{
    QFETCH(QString, host);
    QFETCH(Ports, ports);
    QFETCH(QByteArray, file);
    QFETCH(QStringList, rows);
    QFETCH(int, restored);

    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), host}, nasExports());
    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), file);
    {
        QMutexLocker locker(&m_mutex);
        m_ports = ports;
    }
    const std::unique_ptr<RemoteDevices> remote = service();
    remote->setHost(host);
    QVERIFY(remote->update());
    QStringList described;
    for (const RemoteRow &row : remote->rows())
        described << describe(row);
    QCOMPARE(described, rows);
    QCOMPARE(calls(QStringLiteral("ConnectDevice")), restored);
    if (restored) {
        for (const FakeManager::Call &call : m_manager->calls()) {
            if (call.method == QLatin1String("ConnectDevice"))
                QCOMPARE(call.arguments,
                         (QVariantList{host + QStringLiteral("/3-1/abcd:3333"), false}));
        }
        // Once attached it is left alone by the next refresh.
        QVERIFY(remote->update());
        QCOMPARE(calls(QStringLiteral("ConnectDevice")), restored);
    }
}

void TestRemoteDevices::connectDevice_data()
{
    QTest::addColumn<bool>("isConst");
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<bool>("attaches"); // the port shows up
    QTest::addColumn<bool>("portsFail");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("polls");
    QTest::addColumn<QStringList>("events");

    const QString denied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
    QTest::newRow("session: the port is seen at the first look")
        << false << FakeManager::reply(true) << true << false << true << 1
        << QStringList{"row 2: 3-1 attached 10"};
    QTest::newRow("constantly") << true << FakeManager::reply(true) << true << false << true << 1
                                << QStringList{"row 2: 3-1 attached 10"};
    QTest::newRow("a port that never appears: a bounded wait, the row as it was")
        << false << FakeManager::reply(true) << false << false << true
        << int(RemoteDevices::AttachPollCount) << QStringList();
    QTest::newRow("a port table that cannot be read ends the wait")
        << false << FakeManager::reply(true) << false << true << true << 1
        << QStringList{"error [Error get ports info!] [Authorization error.]"};
    QTest::newRow("false") << true << FakeManager::reply(false) << true << false << false << 0
                           << QStringList();
    QTest::newRow("a string instead of a bool")
        << false << FakeManager::reply(QStringLiteral("true")) << true << false << false << 0
        << QStringList();
    QTest::newRow("access denied")
        << true << FakeManager::error(denied) << true << false << false << 0
        << QStringList{QStringLiteral("error [Error connect to device!\n] [Authorization error.]")};
}

void TestRemoteDevices::connectDevice()
{
    QFETCH(bool, isConst);
    QFETCH(FakeManager::Reply, reply);
    QFETCH(bool, attaches);
    QFETCH(bool, portsFail);
    QFETCH(bool, result);
    QFETCH(int, polls);
    QFETCH(QStringList, events);

    const std::unique_ptr<RemoteDevices> remote = service();
    QVERIFY(remote->update());
    m_attachOnConnect = attaches;
    m_manager->setReply(QStringLiteral("ConnectDevice"), reply);
    if (portsFail) {
        m_manager->setHandler({});
        m_manager->setError(QStringLiteral("PortsInfo"),
                            QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    }
    m_manager->clearCalls();
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(remote->connectDevice(remote->rows().at(2), isConst), result);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(*recorded, events);
    QCOMPARE(m_manager->calls().value(0).arguments,
             (QVariantList{QStringLiteral("nas/3-1/abcd:3333"), isConst}));
    QCOMPARE(calls(QStringLiteral("PortsInfo")), polls);
    QVERIFY2(elapsed >= (polls - 1) * RemoteDevices::AttachPollPauseMs - 50
                 && elapsed < polls * RemoteDevices::AttachPollPauseMs + 3000,
             qPrintable(QString::number(elapsed)));
}

void TestRemoteDevices::disconnectDevice_data()
{
    QTest::addColumn<QByteArray>("file"); // "<folder>": unreadable
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<QString>("passedId");
    QTest::addColumn<QStringList>("events");

    const FakeManager::Reply yes = FakeManager::reply(true);
    QTest::newRow("session attachment")
        << QByteArray() << yes << "" << QStringList{"row 0: 1-1 disconnected"};
    QTest::newRow("file unreadable: a session attachment")
        << QByteArray("<folder>") << yes << "" << QStringList{"row 0: 1-1 disconnected"};
    // Whatever host text the line was written with, it is the one forgotten.
    QTest::newRow("a line written under another name of the host goes as written")
        << QByteArray("10.0.0.1/1-1/0781:5567\nold-name/1-1/0781:5567\n") << yes
        << "old-name/1-1/0781:5567" << QStringList{"row 0: 1-1 disconnected"};
    QTest::newRow("a line with blanks names no device")
        << QByteArray(" nas/1-1/0781:5567\n") << yes << ""
        << QStringList{"row 0: 1-1 disconnected"};
    QTest::newRow("false: nothing changes")
        << QByteArray("nas/1-1/0781:5567\n") << FakeManager::reply(false) << "nas/1-1/0781:5567"
        << QStringList();
    QTest::newRow("failed")
        << QByteArray() << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.Failed"))
        << ""
        << QStringList{QStringLiteral("error [Error disconnect device!\n] [The call failed.]")};
}

void TestRemoteDevices::disconnectDevice()
{
    QFETCH(QByteArray, file);
    QFETCH(FakeManager::Reply, reply);
    QFETCH(QString, passedId);
    QFETCH(QStringList, events);

    const QString path = m_env->configDir() + QStringLiteral("/remote-usb-devices");
    if (file == "<folder>")
        QVERIFY(QDir().mkpath(path));
    else
        m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), file);
    {
        QMutexLocker locker(&m_mutex);
        m_ports = {{QStringLiteral("127.0.0.40/1-1/0781:5567"), QStringLiteral("04")}};
    }
    const std::unique_ptr<RemoteDevices> remote = service();
    QVERIFY(remote->update());
    QVERIFY(remote->rows().at(0).attached());
    m_manager->setReply(QStringLiteral("DisconnectDevice"), reply);
    m_manager->clearCalls();
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);
    QCOMPARE(remote->disconnectDevice(remote->rows().at(0)), events.value(0).startsWith("row"));
    QCOMPARE(*recorded, events);
    QCOMPARE(m_manager->calls().size(), 1);
    QCOMPARE(m_manager->calls().first().method, QStringLiteral("DisconnectDevice"));
    QCOMPARE(m_manager->calls().first().arguments, (QVariantList{passedId, QStringLiteral("04")}));
    QDir(path).removeRecursively();
}

void TestRemoteDevices::lostConnectionWatch()
{
    const QString id = QStringLiteral("nas/2-1/abcd:2222");
    {
        QMutexLocker locker(&m_mutex);
        m_ports = {{id, QStringLiteral("00")}};
    }
    const std::unique_ptr<RemoteDevices> remote = service();
    QVERIFY(remote->update());
    QVERIFY(!remote->isWatching());
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);

    // Still attached: nothing happens.
    remote->checkConnections();
    QCOMPARE(*recorded, QStringList());

    // A port table that cannot be read is no empty one: no row changes.
    m_manager->setHandler({});
    m_manager->setError(QStringLiteral("PortsInfo"),
                        QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    remote->checkConnections();
    QCOMPARE(*recorded, QStringList{"error [Error get ports info!] [Authorization error.]"});
    recorded->clear();
    // Nor does it attach anything at a refresh, or take a row's port.
    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), "nas/3-1/abcd:3333\n");
    QVERIFY(remote->update());
    QCOMPARE(recorded->value(1),
             QStringLiteral("updated [1-1 disconnected @nas, 2-1 attached 00 @nas, 3-1 "
                            "disconnected constantly nas/3-1/abcd:3333 @nas]"));
    QCOMPARE(calls(QStringLiteral("ConnectDevice")), 0);
    m_manager->resetReplies();
    answerFromPorts();
    recorded->clear();

    {
        QMutexLocker locker(&m_mutex);
        m_ports.clear();
    }
    remote->checkConnections();
    QVERIFY(remote->isWatching());
    remote->checkConnections(); // marked once only
    QCOMPARE(*recorded, QStringList{"row 1: 2-1 lost"});

    // The port is back: the row recovers and the watch ends.
    {
        QMutexLocker locker(&m_mutex);
        m_ports = {{QStringLiteral("127.0.0.40/2-1/abcd:2222"), QStringLiteral("03")}};
    }
    remote->checkConnections();
    QVERIFY(!remote->isWatching());
    QCOMPARE(recorded->value(1), QStringLiteral("row 1: 2-1 attached 03"));
    QCOMPARE(calls(QStringLiteral("ConnectDevice")), 0);
}

void TestRemoteDevices::managerTellsOfConstantConnections_data()
{
    QTest::addColumn<int>("kernel");
    QTest::addColumn<QString>("id"); // lost, then, with a port, back on it
    QTest::addColumn<Ports>("back");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("forget"); // Disconnect of the lost row afterwards

    // The Manager names the device as its line does, the port as the tool was given it.
    const QString line = QStringLiteral("old-name/2-1/abcd:2222");
    QTest::newRow("another name of the listed host: the row follows at once")
        << 4 << line << Ports{{"127.0.0.40/2-1/abcd:2222", "05"}}
        << QStringList{"row 1: 2-1 lost constantly " + line,
                       "told [Stick Two] on nas: lost, constant",
                       "row 1: 2-1 attached 05 constantly " + line,
                       "told [Stick Two] on nas: back, constant"}
        << false;
    // The attached devices follow the host's own: the device has two rows.
    QTest::newRow("two rows of one device, one word to the window")
        << 5 << line << Ports()
        << QStringList{"row 1: 2-1 lost constantly " + line, "row 3: 2-1 lost constantly " + line,
                       "told [Stick Two] on nas: lost, constant"}
        << true;
    QTest::newRow("a device of no row: no row changes")
        << 4 << "decoy/2-1/abcd:2222" << Ports()
        << QStringList{"told [2-1 (abcd:2222)] on decoy: lost, not constant"} << false;
    QTest::newRow("not a device id") << 4 << "nas" << Ports() << QStringList() << false;
}

void TestRemoteDevices::managerTellsOfConstantConnections()
{
    QFETCH(int, kernel);
    QFETCH(QString, id);
    QFETCH(Ports, back);
    QFETCH(QStringList, events);
    QFETCH(bool, forget);

    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), "old-name/2-1/abcd:2222\n");
    m_ports = {{QStringLiteral("nas/2-1/abcd:2222"), QStringLiteral("00")}};
    const std::unique_ptr<RemoteDevices> remote = service(kernel);
    QVERIFY(remote->update());
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);
    // The lost port may still show in the Manager's table for a moment.
    QVERIFY(m_manager->emitConnectionChanged(id, false));
    if (!back.isEmpty()) {
        QTRY_VERIFY(!recorded->isEmpty());
        QMutexLocker locker(&m_mutex);
        m_ports = back;
        QVERIFY(m_manager->emitConnectionChanged(id, true));
    }
    QTRY_COMPARE(recorded->size(), events.size());
    QTest::qWait(100);
    QCOMPARE(*recorded, events);
    QCOMPARE(calls(QStringLiteral("ConnectDevice")), 0);
    if (forget) {
        // Its port is unknown: the Manager forgets it by its line, and stops healing it.
        QVERIFY(remote->rows().at(1).canDisconnect());
        QVERIFY(remote->disconnectDevice(remote->rows().at(1)));
        QCOMPARE(m_manager->calls().last().arguments,
                 (QVariantList{"old-name/2-1/abcd:2222", OvraUsbIp::UnknownPort}));
        QCOMPARE(describe(remote->rows().at(3)), QStringLiteral("2-1 disconnected"));
        QVERIFY(!remote->isWatching());
    }
}

void TestRemoteDevices::managerAbsent()
{
    m_manager->stop();
    const std::unique_ptr<RemoteDevices> remote = service(5);
    QObject context;
    QStringList *recorded = recordSignals(remote.get(), &context);
    const QString unknown = QStringLiteral("The called service is not known.");
    QVERIFY(remote->update());
    QVERIFY(!remote->connectDevice(remote->rows().at(0), true));
    QVERIFY(!remote->disconnectDevice(remote->rows().at(0)));
    remote->checkConnections();
    QCOMPARE(*recorded,
             (QStringList{QStringLiteral("error [Error get ports info!] [%1]").arg(unknown),
                          "updated [1-1 disconnected @nas, 2-1 disconnected @nas, 3-1 "
                          "disconnected @nas]",
                          QStringLiteral("error [Error connect to device!\n] [%1]").arg(unknown),
                          QStringLiteral("error [Error disconnect device!\n] [%1]").arg(unknown),
                          QStringLiteral("error [Error get ports info!] [%1]").arg(unknown)}));
}

void TestRemoteDevices::announcedHosts()
{
    // studio over IPv4 and IPv6, v6 over IPv6 only, a name that does not
    // resolve, a hostile name, and a service of another type.
    m_avahi.clearServices();
    QVERIFY(m_avahi.start());
    m_avahi.addService(FakeAvahi::Service::remote(QStringLiteral("studio"),
                                                  QStringLiteral("2001:db8::7"), FakeAvahi::IPv6));
    m_avahi.addService(
        FakeAvahi::Service::remote(QStringLiteral("studio"), QStringLiteral("192.0.2.7")));
    m_avahi.addService(FakeAvahi::Service::remote(QStringLiteral("v6"),
                                                  QStringLiteral("2001:db8::8"), FakeAvahi::IPv6));
    m_avahi.addService(FakeAvahi::Service::remote(QStringLiteral("nameless"), QString()));
    m_avahi.addService(FakeAvahi::Service::remote(QStringLiteral("evil\u202e\x1b[2Jone"),
                                                  QStringLiteral("192.0.2.9")));
    FakeAvahi::Service printer =
        FakeAvahi::Service::remote(QStringLiteral("printer"), QStringLiteral("192.0.2.10"));
    printer.type = QStringLiteral("_ipp._tcp");
    m_avahi.addService(printer);

    // Those known at once come with the browser's creation.
    HostBrowser browser;
    QTRY_COMPARE(offered(browser),
                 (QStringList{QStringLiteral("evil\uFFFD\uFFFD[2Jone (192.0.2.9) -> 192.0.2.9"),
                              "nameless -> nameless.local", "studio (192.0.2.7) -> 192.0.2.7",
                              "v6 (2001:db8::8) -> 2001:db8::8"}));
    QVERIFY(browser.isBrowsing());
    // Live: one comes, one goes.
    m_avahi.addService(
        FakeAvahi::Service::remote(QStringLiteral("later"), QStringLiteral("192.0.2.11")));
    m_avahi.removeService(QStringLiteral("studio"));
    QTRY_COMPARE(offered(browser).mid(1, 2),
                 (QStringList{"later (192.0.2.11) -> 192.0.2.11", "nameless -> nameless.local"}));
    QCOMPARE(offered(browser).size(), 4);
    m_avahi.stop();
}

void TestRemoteDevices::announcedHostsFollowAvahi()
{
    // Without Avahi nothing is offered and nothing fails; the browser does
    // not have the bus start Avahi (were it asked so, the marker would appear).
    const QString started = m_env->filePath(QStringLiteral("avahi-was-activated"));
    m_bus.addActivatableService(QStringLiteral("org.freedesktop.Avahi"),
                                QStringLiteral("/usr/bin/touch ") + started);
    m_avahi.stop();
    m_avahi.clearServices();
    m_avahi.addService(
        FakeAvahi::Service::remote(QStringLiteral("studio"), QStringLiteral("192.0.2.7")));
    HostBrowser browser;
    QSignalSpy changes(&browser, &HostBrowser::hostsChanged);
    QTest::qWait(300);
    QVERIFY(!browser.isBrowsing());
    QCOMPARE(changes.count(), 0);

    // Avahi starts, stops and starts again: the offer follows.
    const QStringList studio{"studio (192.0.2.7) -> 192.0.2.7"};
    QVERIFY(m_avahi.start());
    QTRY_COMPARE(offered(browser), studio);
    m_avahi.stop();
    QTRY_COMPARE(offered(browser), QStringList());
    QVERIFY(!browser.isBrowsing());
    QVERIFY(m_avahi.start());
    QTRY_COMPARE(offered(browser), studio);
    QCOMPARE(m_avahi.browserCount(), 1);
    QVERIFY(!QFile::exists(started));
    m_avahi.stop();
}

QTEST_GUILESS_MAIN(TestRemoteDevices)
#include "tst_remotedevices.moc"
