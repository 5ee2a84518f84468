// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Remote devices table: row states, restoring constant attachments, the
// bounded wait for a fresh attachment, and the lost-connection watch.

#include "nethelpers.h"
#include "remoteusbdevicesmodel.h"
#include "testicontheme.h"
#include "testworld.h"
#include "tooloutput.h"
#include "usbipclient.h"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QMap>
#include <QMutex>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const QString Host = QStringLiteral("127.0.2.1");
const QString HostName = QStringLiteral("peer.test");

using ToolOutput::remoteBlock;

QByteArray remoteList(const QList<QByteArray> &busids)
{
    QByteArray text = ToolOutput::remoteHeader(Host.toLatin1());
    for (const QByteArray &busid : busids) {
        if (busid == "6-1") {
            text += remoteBlock(busid, "Acme Corp. : Thing");
        } else {
            const QByteArray id = QByteArray("abcd:") + QByteArray(4, busid.at(0));
            text += remoteBlock(busid, "Acme Corp. : Stick " + busid + " (" + id + ")");
        }
    }
    return text;
}

const QList<QByteArray> AllDevices{"1-1", "2-1", "3-1", "4-1", "6-1"};

// The ids of a listed device: abcd:1111 for 1-1 and so on; 6-1 has none.
QString vidPidOf(const QString &busid)
{
    return busid == QLatin1String("6-1") ? QString()
                                         : QStringLiteral("abcd:") + QString(4, busid.at(0));
}

QString deviceId(const QString &busid)
{
    return Host + QLatin1Char('/') + busid + QLatin1Char('/') + vidPidOf(busid);
}

QString nameKey(const QString &busid)
{
    return HostName + QLatin1Char('/') + busid + QLatin1Char('/') + vidPidOf(busid);
}

// Stands in for the resolver: 127.0.2.1 is called peer.test.
QHostInfo scriptedLookup(const QString &name)
{
    QHostInfo info;
    if (name == Host || name == HostName) {
        info.setHostName(HostName);
        info.setAddresses({QHostAddress(Host)});
    } else {
        info.setHostName(name);
        info.setError(QHostInfo::HostNotFound);
    }
    return info;
}

} // namespace

class TestRemoteModel : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void rowStates_data();
    void rowStates();
    void constantDeviceIsRestoredOnRefresh();
    void attachWaitIsBounded_data();
    void attachWaitIsBounded();
    void attachOfNamedHostEndsAtOnce();
    void attachGoesToTheListedHost();
    void lostConnectionAndRecovery();
    void refreshEmptiesLostList();
    void detachOfUnknownPortChangesNothing();
    void testerThroughResets();
    void emptyListAndInvalidIndexes();

private:
    // The fake Manager's port table: device key -> port number.
    void installHandler();
    void setPorts(const QMap<QString, QString> &ports);
    QString portText() const;
    int portsInfoCalls() const;
    QList<FakeManager::Call> connectCalls() const;

    TestIconTheme m_icons;
    std::unique_ptr<UsbIpClient> m_client;

    mutable QMutex m_portsMutex;
    QMap<QString, QString> m_ports;
    bool m_attachOnConnect = true;
};

void TestRemoteModel::setPorts(const QMap<QString, QString> &ports)
{
    QMutexLocker lock(&m_portsMutex);
    m_ports = ports;
}

QString TestRemoteModel::portText() const
{
    QMutexLocker lock(&m_portsMutex);
    QByteArray text = ToolOutput::portHeader();
    for (auto it = m_ports.constBegin(); it != m_ports.constEnd(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char('/'));
        text += ToolOutput::portBlock(it.value().toLatin1(),
                                      "Acme Corp. : Stick (" + parts.at(2).toLatin1() + ")",
                                      parts.at(0).toLatin1() + ":3240/" + parts.at(1).toLatin1());
    }
    return QString::fromLatin1(text);
}

int TestRemoteModel::portsInfoCalls() const
{
    int count = 0;
    const QList<FakeManager::Call> calls = m_manager->calls();
    for (const FakeManager::Call &call : calls)
        count += call.method == QLatin1String("PortsInfo");
    return count;
}

QList<FakeManager::Call> TestRemoteModel::connectCalls() const
{
    QList<FakeManager::Call> result;
    const QList<FakeManager::Call> calls = m_manager->calls();
    for (const FakeManager::Call &call : calls) {
        if (call.method == QLatin1String("ConnectDevice"))
            result << call;
    }
    return result;
}

void TestRemoteModel::initTestCase()
{
    QVERIFY2(startWorld(), qPrintable(worldError()));
    QVERIFY(m_icons.install({{QStringLiteral("rud-device"), Qt::red},
                             {QStringLiteral("device-device"), Qt::green},
                             {QStringLiteral("rud-off"), Qt::blue}}));
    setHostLookupFunction(scriptedLookup);
    installHandler();
    m_client.reset(new UsbIpClient(Host));
}

// The fake Manager answers PortsInfo from m_ports and, when m_attachOnConnect
// holds, gives every ConnectDevice a port.
void TestRemoteModel::installHandler()
{
    m_manager->setHandler([this](const FakeManager::Call &call, FakeManager::Reply *reply) {
        if (call.method == QLatin1String("PortsInfo")) {
            *reply = FakeManager::reply(portText());
            return true;
        }
        if (call.method == QLatin1String("ConnectDevice")) {
            QMutexLocker lock(&m_portsMutex);
            // The port names the host by its address, as `usbip port` does.
            QString key = call.arguments.value(0).toString();
            if (key.startsWith(HostName + QLatin1Char('/')))
                key.replace(0, HostName.size(), Host);
            if (m_attachOnConnect)
                m_ports.insert(key,
                               QStringLiteral("%1").arg(m_ports.size(), 2, 10, QLatin1Char('0')));
            *reply = FakeManager::reply(true);
            return true;
        }
        return false;
    });
}

void TestRemoteModel::init()
{
    clearHostCache();
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), Host},
                         remoteList(AllDevices));
    m_env->removeConfigFile(QStringLiteral("remote-usb-devices"));
    installHandler();
    setPorts({});
    m_attachOnConnect = true;
}

void TestRemoteModel::cleanup()
{
    m_manager->clearCalls();
}

void TestRemoteModel::cleanupTestCase()
{
    m_client.reset();
    m_manager.reset();
    setHostLookupFunction({});
}

void TestRemoteModel::rowStates_data()
{
    QTest::addColumn<QString>("busid");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("vidpid");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("attached");
    QTest::addColumn<bool>("constant");
    QTest::addColumn<bool>("lost");
    QTest::addColumn<QColor>("iconCentre");
    QTest::addColumn<QColor>("iconCorner");

    QTest::newRow("connected constantly, both keys in the file")
        << "1-1"
        << "connected (constantly)"
        << "ABCD:1111"
        << "00" << true << true << false << QColor(Qt::red) << QColor(Qt::red);
    QTest::newRow("connected for the session")
        << "2-1"
        << "connected (session)"
        << "ABCD:2222"
        << "01" << true << false << false << QColor(Qt::red) << QColor(Qt::red);
    QTest::newRow("disconnected") << "3-1"
                                  << "disconnected"
                                  << "ABCD:3333"
                                  << "" << false << false << false << QColor(Qt::green)
                                  << QColor(Qt::green);
    QTest::newRow("lost connection")
        << "4-1"
        << "lost connection"
        << "ABCD:4444"
        << "02" << true << false << true << QColor(Qt::red) << QColor(Qt::blue);
    QTest::newRow("without ids") << "6-1"
                                 << "disconnected"
                                 << ""
                                 << "" << false << false << false << QColor(Qt::green)
                                 << QColor(Qt::green);
}

void TestRemoteModel::rowStates()
{
    QFETCH(QString, busid);
    QFETCH(QString, status);
    QFETCH(QString, vidpid);
    QFETCH(QString, port);
    QFETCH(bool, attached);
    QFETCH(bool, constant);
    QFETCH(bool, lost);
    QFETCH(QColor, iconCentre);
    QFETCH(QColor, iconCorner);

    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"),
                           (nameKey(QStringLiteral("1-1")) + QLatin1Char('\n')
                            + deviceId(QStringLiteral("1-1")) + QLatin1Char('\n'))
                               .toUtf8());
    setPorts({{deviceId(QStringLiteral("1-1")), QStringLiteral("00")},
              {deviceId(QStringLiteral("2-1")), QStringLiteral("01")},
              {deviceId(QStringLiteral("4-1")), QStringLiteral("02")}});

    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());
    QCOMPARE(model.rowCount(), AllDevices.size());
    QVERIFY(connectCalls().isEmpty());

    // 4-1's port goes away.
    setPorts({{deviceId(QStringLiteral("1-1")), QStringLiteral("00")},
              {deviceId(QStringLiteral("2-1")), QStringLiteral("01")}});
    model.checkConnections();

    const QModelIndex index = model.indexOf(deviceId(busid));
    QVERIFY(index.isValid());
    const int row = index.row();
    QCOMPARE(model.index(row, 0).data().toString(), Host);
    QCOMPARE(model.index(row, 1).data().toString(), busid);
    QCOMPARE(model.index(row, 2).data().toString(), vidpid);
    QCOMPARE(model.index(row, 3).data().toString(), status);
    QCOMPARE(model.index(row, 4).data().toString(),
             model.index(row, 4).data(Qt::ToolTipRole).toString());
    QVERIFY(!model.index(row, 3).data(Qt::ToolTipRole).isValid());
    QCOMPARE(model.isAttached(index), attached);
    QCOMPARE(model.isConstant(index), constant);
    QCOMPARE(model.isLost(index), lost);
    QCOMPARE(model.portAt(index), port);
    QCOMPARE(model.usbipIdAt(index), deviceId(busid));
    QCOMPARE(model.keysAt(index), (QStringList{nameKey(busid), deviceId(busid)}));

    const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
    QCOMPARE(TestIconTheme::colourAt(icon, 8, 8), iconCentre);
    QCOMPARE(TestIconTheme::colourAt(icon, 28, 28), iconCorner);
    QVERIFY(!model.index(row, 1).data(Qt::DecorationRole).isValid());
}

void TestRemoteModel::constantDeviceIsRestoredOnRefresh()
{
    // The file names 3-1 by its host-name key; it is not attached.
    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"),
                           (nameKey(QStringLiteral("3-1")) + QLatin1Char('\n')).toUtf8());
    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());

    const QList<FakeManager::Call> calls = connectCalls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().arguments, (QVariantList{deviceId(QStringLiteral("3-1")), false}));
    const QModelIndex index = model.indexOf(deviceId(QStringLiteral("3-1")));
    QVERIFY(model.isAttached(index));
    QCOMPARE(model.index(index.row(), 3).data().toString(),
             QStringLiteral("connected (constantly)"));

    // Once attached it is left alone by the next refresh.
    QVERIFY(m_client->update());
    QCOMPARE(connectCalls().size(), 1);
}

void TestRemoteModel::attachWaitIsBounded_data()
{
    QTest::addColumn<bool>("portsFail");
    QTest::addColumn<int>("expectedPolls");
    QTest::newRow("port never appears") << false << int(RemoteUsbDevicesModel::AttachPollCount);
    QTest::newRow("port query fails") << true << 1;
}

void TestRemoteModel::attachWaitIsBounded()
{
    QFETCH(bool, portsFail);
    QFETCH(int, expectedPolls);

    m_attachOnConnect = false;
    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());
    const QModelIndex index = model.indexOf(deviceId(QStringLiteral("3-1")));
    QVERIFY(index.isValid());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy errors(m_client.get(), &UsbIpClient::error);
    if (portsFail) {
        m_manager->setHandler({});
        m_manager->setError(QStringLiteral("PortsInfo"),
                            QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    }
    m_manager->clearCalls();

    QElapsedTimer clock;
    clock.start();
    QVERIFY(m_client->connectDevice(deviceId(QStringLiteral("3-1")), false));
    const qint64 elapsed = clock.elapsed();
    if (portsFail)
        installHandler();
    QCOMPARE(portsInfoCalls(), expectedPolls);
    QCOMPARE(errors.count(), portsFail ? 1 : 0);
    QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
    if (!portsFail)
        QVERIFY2(elapsed >= (expectedPolls - 1) * RemoteUsbDevicesModel::AttachPollPauseMs - 50,
                 qPrintable(QString::number(elapsed)));
    QCOMPARE(changed.count(), 1);
    QVERIFY(!model.isAttached(index));
    QCOMPARE(model.index(index.row(), 3).data().toString(), QStringLiteral("disconnected"));
}

// A host typed as a name: the device id holds the name, the port table the
// address. The wait must still see the new port at its first look.
void TestRemoteModel::attachOfNamedHostEndsAtOnce()
{
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), HostName},
                         remoteList(AllDevices));
    UsbIpClient client(HostName);
    RemoteUsbDevicesModel model(client);
    QVERIFY(client.update());
    const QString id = HostName + QStringLiteral("/3-1/abcd:3333");
    const QModelIndex index = model.indexOf(id);
    QVERIFY(index.isValid());
    QCOMPARE(model.usbipIdAt(index), id);
    m_manager->clearCalls();

    QElapsedTimer clock;
    clock.start();
    QVERIFY(client.connectDevice(id, true));
    QCOMPARE(portsInfoCalls(), 1);
    QVERIFY2(clock.elapsed() < (RemoteUsbDevicesModel::AttachPollCount - 1)
                     * RemoteUsbDevicesModel::AttachPollPauseMs,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(model.isAttached(index));
    QCOMPARE(model.portAt(index), QStringLiteral("00"));
}

// "nas" is 127.0.0.40, whose reverse entry names "decoy", which is
// 127.0.0.41: what is attached and recorded is "nas", and neither a line
// recorded for "decoy" nor a port of "decoy" is taken for this device.
void TestRemoteModel::attachGoesToTheListedHost()
{
    const QByteArray suiteHosts = qgetenv("OVRA_RESOLVER_HOSTS_FILE");
    const QString hosts = m_env->writeFile(QStringLiteral("hosts"),
                                           "127.0.0.41 decoy\n127.0.0.40 decoy\n127.0.0.40 nas\n");
    qputenv("OVRA_RESOLVER_HOSTS_FILE", QFile::encodeName(hosts));
    setHostLookupFunction({});
    const auto restore = qScopeGuard([&suiteHosts]() {
        qputenv("OVRA_RESOLVER_HOSTS_FILE", suiteHosts);
        setHostLookupFunction(scriptedLookup);
    });
    const QString nas = QStringLiteral("nas");
    const QString id = QStringLiteral("nas/1-1/abcd:1111");
    const QString address = QStringLiteral("127.0.0.40/1-1/abcd:1111");
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), nas}, remoteList({"1-1"}));
    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), "decoy/1-1/abcd:1111\n");

    UsbIpClient client(nas);
    RemoteUsbDevicesModel model(client);
    QVERIFY(client.update());
    const QModelIndex index = model.indexOf(id);
    QVERIFY(index.isValid());
    QVERIFY(!model.isConstant(index)); // so nothing was attached by the refresh

    QVERIFY(client.connectDevice(model.usbipIdAt(index), true));
    QCOMPARE(connectCalls().value(0).arguments, (QVariantList{id, true}));
    QVERIFY(model.isAttached(index)); // the port shows "nas", as the tool was given it
    setPorts({{address, QStringLiteral("00")}});
    model.checkConnections();
    QVERIFY(!model.isLost(index));
    setPorts({{QStringLiteral("127.0.0.41/1-1/abcd:1111"), QStringLiteral("00")},
              {QStringLiteral("decoy/1-1/abcd:1111"), QStringLiteral("01")}});
    model.checkConnections();
    QVERIFY(model.isLost(index));
}

void TestRemoteModel::lostConnectionAndRecovery()
{
    const QString id = deviceId(QStringLiteral("2-1"));
    setPorts({{id, QStringLiteral("00")}});
    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());
    const QModelIndex index = model.indexOf(id);
    QVERIFY(model.isAttached(index));
    QVERIFY(!model.isWatching());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    // Still attached: nothing happens.
    model.checkConnections();
    QCOMPARE(changed.count(), 0);
    QVERIFY(!model.isWatching());

    setPorts({});
    model.checkConnections();
    QVERIFY(model.isLost(index));
    QVERIFY(model.isWatching());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().at(0).toModelIndex(), model.index(index.row(), 0));
    QCOMPARE(changed.first().at(1).toModelIndex(), model.index(index.row(), 4));

    // Marked once only.
    model.checkConnections();
    QCOMPARE(changed.count(), 1);
    QVERIFY(model.isWatching());

    // The port is back: the row recovers and the watch ends.
    setPorts({{id, QStringLiteral("03")}});
    model.checkConnections();
    QVERIFY(!model.isLost(index));
    QVERIFY(!model.isWatching());
    QCOMPARE(changed.count(), 2);
    QCOMPARE(model.index(index.row(), 3).data().toString(), QStringLiteral("connected (session)"));
    QVERIFY(connectCalls().isEmpty());
}

void TestRemoteModel::refreshEmptiesLostList()
{
    const QString id = deviceId(QStringLiteral("1-1"));
    setPorts({{id, QStringLiteral("00")}});
    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());
    setPorts({});
    model.checkConnections();
    QVERIFY(model.isLost(model.indexOf(id)));

    QVERIFY(m_client->update());
    QVERIFY(!model.isLost(model.indexOf(id)));
    QCOMPARE(model.index(model.indexOf(id).row(), 3).data().toString(),
             QStringLiteral("disconnected"));
    // The watch still runs until its next check finds nothing lost.
    QVERIFY(model.isWatching());
    model.checkConnections();
    QVERIFY(!model.isWatching());
}

void TestRemoteModel::detachOfUnknownPortChangesNothing()
{
    const QString id = deviceId(QStringLiteral("2-1"));
    setPorts({{id, QStringLiteral("05")}});
    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    Q_EMIT m_client->detached(QStringLiteral("07"));
    QCOMPARE(changed.count(), 0);
    QVERIFY(model.isAttached(model.indexOf(id)));

    QVERIFY(m_client->disconnectDevice(model.keysAt(model.indexOf(id)), QStringLiteral("05")));
    QCOMPARE(changed.count(), 1);
    QVERIFY(!model.isAttached(model.indexOf(id)));
    QCOMPARE(model.portAt(model.indexOf(id)), QString());
}

void TestRemoteModel::testerThroughResets()
{
    RemoteUsbDevicesModel model(*m_client);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    setPorts({{deviceId(QStringLiteral("1-1")), QStringLiteral("00")}});
    QVERIFY(m_client->update());
    QCOMPARE(model.rowCount(), AllDevices.size());
    setPorts({});
    model.checkConnections();

    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), Host},
                         remoteList({"2-1", "3-1"}));
    QVERIFY(m_client->update());
    QCOMPARE(model.rowCount(), 2);

    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), Host}, QByteArray(),
                         "usbip: error: could not connect\n", 1);
    QVERIFY(!m_client->update());
    QCOMPARE(model.rowCount(), 0);
}

void TestRemoteModel::emptyListAndInvalidIndexes()
{
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), Host},
                         ToolOutput::remoteHeader("127.0.2.1"));
    RemoteUsbDevicesModel model(*m_client);
    QVERIFY(m_client->update());
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 5);
    const QStringList titles{QStringLiteral("IP address"), QStringLiteral("BUSID"),
                             QStringLiteral("VID:PID"), QStringLiteral("Status"),
                             QStringLiteral("Name")};
    for (int column = 0; column < titles.size(); ++column)
        QCOMPARE(model.headerData(column, Qt::Horizontal).toString(), titles.at(column));

    const QModelIndex invalid;
    QCOMPARE(model.usbipIdAt(invalid), QString());
    QCOMPARE(model.keysAt(invalid), QStringList());
    QCOMPARE(model.portAt(invalid), QString());
    QVERIFY(!model.isAttached(invalid));
    QVERIFY(!model.isConstant(invalid));
    QVERIFY(!model.isLost(invalid));
    QVERIFY(!model.indexOf(deviceId(QStringLiteral("1-1"))).isValid());
    QVERIFY(!model.data(invalid).isValid());
}

QTEST_MAIN(TestRemoteModel)
#include "tst_remotemodel.moc"
