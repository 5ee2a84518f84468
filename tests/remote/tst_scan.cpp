// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"
#include "networkscan.h"
#include "remotedevices.h"
#include "testworld.h"
#include "tooloutput.h"
#include "usbippeer.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

// The response time-out of scans without silent peers: long enough for the
// loopback peers on a busy machine.
constexpr int AnswerLimit = 4000;

QStringList describe(const QList<RemoteRow> &rows)
{
    QStringList result;
    for (const RemoteRow &row : rows)
        result.append(QStringLiteral("%1 %2 @%3")
                          .arg(row.device.busId(), row.device.vidPid(), row.device.host()));
    return result;
}

// What `usbip list -r` prints for one storage device of `host`.
QByteArray exportList(const QString &host, const QString &busid, const QString &ids)
{
    return "Exportable USB devices\n======================\n - " + host.toLatin1() + "\n        "
         + busid.toLatin1() + ": unknown vendor : unknown product (" + ids.toLatin1()
         + ")\n           : /sys/devices/pci0000:00/0000:00:14.0/usb1/" + busid.toLatin1()
         + "\n           : (Defined at Interface level) (00/00/00)\n"
           "           :  0 - Mass Storage / SCSI / Bulk-Only (08/06/50)\n\n";
}

// The hosts listed with `usbip list -r`, in the order of the calls.
QStringList probed(const QList<QStringList> &calls)
{
    QStringList hosts;
    for (const QStringList &call : calls)
        if (call.size() == 3 && call.at(0) == QLatin1String("list")
            && call.at(1) == QLatin1String("-r"))
            hosts.append(call.at(2));
    return hosts;
}

// The same in address order: listings run side by side.
QStringList listed(const QList<QStringList> &calls)
{
    QStringList hosts = probed(calls);
    hosts.sort();
    return hosts;
}

} // namespace

// What the scan reports, received in the test's (the GUI) thread.
class ScanRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ScanRecorder(RemoteDevices *remote)
    {
        connect(remote, &RemoteDevices::scanProgress, this, [this](int value) {
            progress.append(value);
        });
        connect(remote, &RemoteDevices::updated, this, [this] {
            ++updated;
        });
        connect(remote, &RemoteDevices::error, this,
                [this](const QString &error, const QString &detailed) {
                    errors.append(error + QStringLiteral(" | ") + detailed);
                });
        connect(this, &ScanRecorder::scanRequested, remote, &RemoteDevices::scanNetwork);
    }

    QList<int> progress;
    int updated = 0;
    QStringList errors;

Q_SIGNALS:
    void scanRequested(const QString &subnet, int count, int timeout);
};

class TestScan : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void answeringAndSilentPeers();
    void attachedDevicesOnce_data();
    void attachedDevicesOnce();
    void ownAddressSkipped();
    void stopFromScanThread();
    void stopFromGuiThread();
    void stopBeforeStartHasNoEffect();
    void stopWhileQueued();
    void noAddresses_data();
    void noAddresses();

private:
    // Runs one scan in the worker thread and waits until it has ended.
    qint64 scan(const QString &subnet, int count, int timeout);
    // Waits until the worker has done what it was asked before.
    void waitForWorker();
    bool startPeer(UsbIpPeer &peer, const QString &address, UsbIpPeer::Mode mode,
                   const QList<UsbIpPeer::Device> &devices = {});
    // The fake tool lists `host` at once (the real one needs a good part of
    // a second of processor time, more than the listing limit when busy).
    void fakeListing(const QString &host, const QString &busid = QStringLiteral("1-1"),
                     const QString &ids = QStringLiteral("0781:5567"));

    std::unique_ptr<RemoteDevices> m_remote;
    ScanRecorder *m_recorder = nullptr;
};

void TestScan::initTestCase()
{
    if (FakeUsbip::realUsbip().isEmpty())
        QSKIP("the usbip tool is not installed");
    QVERIFY2(startWorld(), qPrintable(worldError()));
}

void TestScan::init()
{
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_usbip->setDefaultPassThrough();
    m_remote = std::make_unique<RemoteDevices>(m_env->platform(), 4);
    m_recorder = new ScanRecorder(m_remote.get());
}

void TestScan::cleanup()
{
    delete m_recorder;
    m_recorder = nullptr;
    m_remote.reset();
}

void TestScan::cleanupTestCase() { }

void TestScan::waitForWorker()
{
    // Queued behind the scan in the worker's event queue: returns when it ends.
    QMetaObject::invokeMethod(
        m_remote->m_scanner,
        [] {
        },
        Qt::BlockingQueuedConnection);
    QCoreApplication::processEvents(); // the queued signals of the scan
}

qint64 TestScan::scan(const QString &subnet, int count, int timeout)
{
    QElapsedTimer timer;
    timer.start();
    Q_EMIT m_recorder->scanRequested(subnet, count, timeout);
    waitForWorker();
    return timer.elapsed();
}

bool TestScan::startPeer(UsbIpPeer &peer, const QString &address, UsbIpPeer::Mode mode,
                         const QList<UsbIpPeer::Device> &devices)
{
    peer.setMode(mode);
    peer.setDevices(devices);
    if (peer.listen(address))
        return true;
    qWarning("%s", qPrintable(peer.errorString()));
    return false;
}

void TestScan::fakeListing(const QString &host, const QString &busid, const QString &ids)
{
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"), host},
                         exportList(host, busid, ids));
}

void TestScan::answeringAndSilentPeers()
{
    UsbIpPeer first, silent, second, failing;
    if (!startPeer(first, QStringLiteral("127.0.1.1"), UsbIpPeer::Answer,
                   {UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567),
                    UsbIpPeer::storageDevice(QStringLiteral("1-2"), 0xabcd, 0x1234)})
        || !startPeer(silent, QStringLiteral("127.0.1.2"), UsbIpPeer::Hang)
        || !startPeer(second, QStringLiteral("127.0.1.3"), UsbIpPeer::Answer,
                      {UsbIpPeer::storageDevice(QStringLiteral("2-1"), 0xdead, 0xbeef)})
        || !startPeer(failing, QStringLiteral("127.0.1.4"), UsbIpPeer::Fail))
        QFAIL("cannot listen on 127.0.1.1-4 port 3240");

    // Record in which thread the scan runs.
    QThread *scanThread = nullptr;
    connect(
        m_remote->m_scanner, &NetworkScanner::progress, m_remote->m_scanner,
        [&] {
            scanThread = QThread::currentThread();
        },
        Qt::DirectConnection);

    // The real tool lists the answering hosts, within the listing limit. A
    // machine busy enough to keep a peer's answer past the probe's time-out
    // or the tool past the listing limit gets two more tries.
    const QStringList answering{QStringLiteral("127.0.1.1"), QStringLiteral("127.0.1.3")};
    int attempts = 0;
    do {
        ++attempts;
        m_recorder->progress.clear();
        m_recorder->updated = 0;
        m_usbip->clearCalls();
        scan(QStringLiteral("127.0.1.0"), 6, 1000);
    } while ((m_remote->rows().size() < 3 || listed(m_usbip->calls()) != answering)
             && attempts < 3);

    QCOMPARE(scanThread, &m_remote->m_thread);
    QCOMPARE(m_recorder->progress, (QList<int>{1, 2, 3, 4, 5}));
    QCOMPARE(m_recorder->updated, 1);
    QCOMPARE(m_recorder->errors, QStringList());
    // Only the hosts that answered the probe are listed: not the silent one,
    // not the one whose reply has a failure status, not the refusing ones.
    QCOMPARE(listed(m_usbip->calls()), answering);
    QCOMPARE(silent.connectionCount(), attempts);
    QCOMPARE(failing.requestCount(), attempts);
    if (m_remote->rows().size() < 3)
        QSKIP("the machine is too busy: the usbip tool did not finish within the listing limit");
    // The records carry the probed address as their host.
    QCOMPARE(describe(m_remote->rows()), (QStringList{QStringLiteral("1-1 0781:5567 @127.0.1.1"),
                                                      QStringLiteral("1-2 abcd:1234 @127.0.1.1"),
                                                      QStringLiteral("2-1 dead:beef @127.0.1.3")}));
    // The connections of the rows are asked for from this thread alone.
    for (const FakeManager::Call &call : m_manager->calls())
        QCOMPARE(call.method, QStringLiteral("PortsInfo"));
}

void TestScan::attachedDevicesOnce_data()
{
    QTest::addColumn<int>("answering");
    QTest::addColumn<FakeManager::Reply>("portsReply");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<int>("portsCalls");
    QTest::addColumn<QStringList>("errors");

    const FakeManager::Reply ports =
        FakeManager::reply(ToolOutput::text(QStringLiteral("port-three-attached.txt")));
    const QStringList attached{QStringLiteral("1-1 0781:5567 @127.0.0.5"),
                               QStringLiteral("2-2 abcd:1234 @127.0.0.7"),
                               QStringLiteral("1-1.2 beef:0001 @127.0.0.8")};
    const QStringList remote{QStringLiteral("1-1 0781:5567 @127.0.1.11"),
                             QStringLiteral("1-1 0781:5567 @127.0.1.12")};

    QTest::newRow("two hosts answer: attached devices once, at the end")
        << 2 << ports << remote + attached << 1 << QStringList();
    QTest::newRow("one host answers")
        << 1 << ports << remote.mid(0, 1) + attached << 1 << QStringList();
    QTest::newRow("no host answers: no Manager call")
        << 0 << ports << QStringList() << 0 << QStringList();
    QTest::newRow("port query refused: one message, and the hosts' own devices")
        << 2 << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"))
        << remote << 1
        << QStringList{QStringLiteral("Error get ports info! | Authorization error.")};
}

void TestScan::attachedDevicesOnce()
{
    QFETCH(int, answering);
    QFETCH(FakeManager::Reply, portsReply);
    QFETCH(QStringList, devices);
    QFETCH(int, portsCalls);
    QFETCH(QStringList, errors);

    UsbIpPeer peers[2];
    for (int i = 0; i < answering; ++i) {
        if (!startPeer(peers[i], QStringLiteral("127.0.1.%1").arg(11 + i), UsbIpPeer::Answer,
                       {UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567)}))
            QFAIL("cannot listen on 127.0.1.11-12 port 3240");
        fakeListing(QStringLiteral("127.0.1.%1").arg(11 + i));
    }
    m_manager->setReply(QStringLiteral("PortsInfo"), portsReply);
    m_remote = std::make_unique<RemoteDevices>(m_env->platform(), 5);
    delete m_recorder;
    m_recorder = new ScanRecorder(m_remote.get());

    scan(QStringLiteral("127.0.1.10"), 3, AnswerLimit);
    QCOMPARE(m_recorder->progress, (QList<int>{1, 2}));
    QCOMPARE(m_recorder->updated, 1);
    QCOMPARE(m_recorder->errors, errors);
    QCOMPARE(describe(m_remote->rows()), devices);
    QCOMPARE(m_manager->calls().size(), portsCalls);
}

void TestScan::ownAddressSkipped()
{
    if (!localAddresses().contains(QStringLiteral("127.0.0.1")))
        QSKIP("the loopback address is not among this machine's addresses");
    UsbIpPeer own, other;
    if (!startPeer(own, QStringLiteral("127.0.0.1"), UsbIpPeer::Answer,
                   {UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567)})
        || !startPeer(other, QStringLiteral("127.0.0.2"), UsbIpPeer::Answer,
                      {UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567)}))
        QFAIL("cannot listen on 127.0.0.1-2 port 3240");
    fakeListing(QStringLiteral("127.0.0.1"));
    fakeListing(QStringLiteral("127.0.0.2"));
    scan(QStringLiteral("127.0.0.0"), 3, AnswerLimit);
    // 127.0.0.1 is this machine: not asked, but its progress is reported.
    QCOMPARE(own.connectionCount(), 0);
    QCOMPARE(other.connectionCount(), 1); // the probe (the fake tool lists it)
    QCOMPARE(probed(m_usbip->calls()), QStringList{QStringLiteral("127.0.0.2")});
    QCOMPARE(m_recorder->progress, (QList<int>{1, 2}));
    QCOMPARE(m_recorder->updated, 1);
    QCOMPARE(m_recorder->errors, QStringList());
    QCOMPARE(describe(m_remote->rows()), QStringList{QStringLiteral("1-1 0781:5567 @127.0.0.2")});
}

void TestScan::stopFromScanThread()
{
    // A list from an earlier scan, which a stopped scan must keep.
    UsbIpPeer peer, later;
    if (!startPeer(peer, QStringLiteral("127.0.1.21"), UsbIpPeer::Answer,
                   {UsbIpPeer::storageDevice(QStringLiteral("4-4"), 0x0781, 0x5567)})
        || !startPeer(later, QStringLiteral("127.0.1.26"), UsbIpPeer::Answer,
                      {UsbIpPeer::storageDevice(QStringLiteral("5-5"), 0x0781, 0x5567)}))
        QFAIL("cannot listen on 127.0.1.21 and 127.0.1.26 port 3240");
    fakeListing(QStringLiteral("127.0.1.21"), QStringLiteral("4-4"));
    fakeListing(QStringLiteral("127.0.1.26"), QStringLiteral("5-5"));
    scan(QStringLiteral("127.0.1.20"), 2, AnswerLimit);
    const QStringList before = describe(m_remote->rows());
    QCOMPARE(before, QStringList{QStringLiteral("4-4 0781:5567 @127.0.1.21")});
    m_recorder->progress.clear();
    m_recorder->updated = 0;

    // Stop when the second address is reported: exactly after its progress.
    NetworkScanner *scanner = m_remote->m_scanner;
    connect(
        scanner, &NetworkScanner::progress, scanner,
        [scanner](int value) {
            if (value == 2)
                scanner->stop();
        },
        Qt::DirectConnection);
    scan(QStringLiteral("127.0.1.21"), 10, AnswerLimit);

    QCOMPARE(m_recorder->progress, (QList<int>{1, 2, 1}));
    QCOMPARE(m_recorder->updated, 0);
    // Whatever the host after the stop point answered is not taken.
    QCOMPARE(describe(m_remote->rows()), before);
}

void TestScan::stopFromGuiThread()
{
    // Without a time-out a silent peer keeps the scan at its address until
    // it is stopped from here, as the scan dialog does.
    UsbIpPeer silent;
    if (!startPeer(silent, QStringLiteral("127.0.1.32"), UsbIpPeer::Hang))
        QFAIL("cannot listen on 127.0.1.32 port 3240");
    Q_EMIT m_recorder->scanRequested(QStringLiteral("127.0.1.30"), 5, -1);
    QTRY_COMPARE_WITH_TIMEOUT(silent.connectionCount(), 1, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->progress, QList<int>{1}, 15000);
    m_remote->stopScan(); // written by this thread, read by the worker
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->progress, (QList<int>{1, 1}), 15000);
    waitForWorker();

    QCOMPARE(m_recorder->progress, (QList<int>{1, 1}));
    QCOMPARE(m_recorder->updated, 0);
    QCOMPARE(m_remote->rows().size(), 0);
}

void TestScan::stopBeforeStartHasNoEffect()
{
    m_remote->stopScan();
    scan(QStringLiteral("127.0.1.40"), 3, AnswerLimit);
    QCOMPARE(m_recorder->progress, (QList<int>{1, 2}));
    QCOMPARE(m_recorder->updated, 1);
}

void TestScan::stopWhileQueued()
{
    // The worker is still busy when the scan is asked for and stopped.
    QSemaphore busy;
    QMetaObject::invokeMethod(
        m_remote->m_scanner,
        [&busy] {
            busy.acquire();
        },
        Qt::QueuedConnection);
    Q_EMIT m_recorder->scanRequested(QStringLiteral("127.0.1.40"), 3, AnswerLimit);
    m_remote->stopScan();
    busy.release();
    waitForWorker();
    QCOMPARE(m_recorder->progress, QList<int>{1});
    QCOMPARE(m_recorder->updated, 0);

    // The stop does not outlive the scans asked for before it.
    m_recorder->progress.clear();
    scan(QStringLiteral("127.0.1.40"), 3, AnswerLimit);
    QCOMPARE(m_recorder->progress, (QList<int>{1, 2}));
    QCOMPARE(m_recorder->updated, 1);
}

void TestScan::noAddresses_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("count 0") << 0;
    QTest::newRow("count 1") << 1;
    QTest::newRow("negative count") << -5;
}

void TestScan::noAddresses()
{
    QFETCH(int, count);
    // A list to be replaced, from a direct update as the window makes it.
    UsbIpPeer peer;
    if (!startPeer(peer, QStringLiteral("127.0.1.51"), UsbIpPeer::Answer,
                   {UsbIpPeer::storageDevice(QStringLiteral("5-5"), 0x0781, 0x5567)}))
        QFAIL("cannot listen on 127.0.1.51 port 3240");
    m_remote->setHost(QStringLiteral("127.0.1.51"));
    fakeListing(QStringLiteral("127.0.1.51"), QStringLiteral("5-5"));
    QVERIFY(m_remote->update());
    QCOMPARE(m_remote->rows().size(), 1);
    m_recorder->updated = 0;
    m_usbip->clearCalls();
    m_manager->clearCalls();

    scan(QStringLiteral("127.0.1.50"), count, AnswerLimit);
    QCOMPARE(probed(m_usbip->calls()), QStringList());
    QCOMPARE(m_recorder->progress, QList<int>());
    QCOMPARE(m_recorder->updated, 1);
    QCOMPARE(m_remote->rows().size(), 0);
    QCOMPARE(m_manager->calls().size(), 0);
}

QTEST_GUILESS_MAIN(TestScan)
#include "tst_scan.moc"
