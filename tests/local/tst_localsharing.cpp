// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "localsharing.h"
#include "testworld.h"
#include "tooloutput.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

using ToolOutput::localBlock;
using ToolOutput::remoteBlock;

const QStringList ListLocal{QStringLiteral("list"), QStringLiteral("-l")};
const QStringList ListLocalhost{QStringLiteral("list"), QStringLiteral("-r"),
                                QStringLiteral("localhost")};

QString describe(const LocalRow &row)
{
    static const char *const shares[] = {"unshared", "session", "constant"};
    return row.device.busId() + QLatin1Char(' ') + QLatin1String(shares[int(row.share)]);
}

// Every signal of the service, in the order emitted.
QStringList *recordSignals(LocalSharing *service, QObject *context)
{
    auto *events = new QStringList;
    QObject::connect(context, &QObject::destroyed, [events] {
        delete events;
    });
    QObject::connect(service, &LocalSharing::updated, context,
                     [events](const QList<LocalRow> &rows) {
                         QStringList described;
                         for (const LocalRow &row : rows)
                             described << describe(row);
                         events->append(QStringLiteral("updated [%1]").arg(described.join(", ")));
                     });
    QObject::connect(service, &LocalSharing::rowChanged, context,
                     [events](int row, const LocalRow &value) {
                         events->append(QStringLiteral("row %1: %2").arg(row).arg(describe(value)));
                     });
    QObject::connect(service, &LocalSharing::error, context,
                     [events](const QString &error, const QString &detailed) {
                         events->append(QStringLiteral("error [%1] [%2]").arg(error, detailed));
                     });
    return events;
}

UsbDevice deviceFrom(const QByteArray &busId, const QByteArray &ids)
{
    return localDevices(QString::fromLatin1(localBlock(busId, ids, "Acme Corp. : Flash Stick")))
        .value(0);
}

// 1-1 and 2-1 are exported, 1-3 is a storage drive of the fake hardware,
// 5-1 is neither.
const QByteArray LocalList = localBlock("1-1", "abcd:12ef", "Acme Corp. : Flash One")
                           + localBlock("2-1", "abcd:2222", "Acme Corp. : Flash Two")
                           + localBlock("1-3", "0781:5567", "SanDisk Corp. : Cruzer Blade")
                           + localBlock("5-1", "1234:5678", "Other Inc. : Mouse");

// What the local daemon exports: 1-1 and 2-1, and 4-1 which `list -l` does
// not show.
const QByteArray Exported = ToolOutput::remoteHeader("localhost")
                          + remoteBlock("1-1", "Acme Corp. : Flash One (abcd:12ef)")
                          + remoteBlock("2-1", "Acme Corp. : Flash Two (abcd:2222)")
                          + remoteBlock("4-1", "Ghost Ltd. : Gone (dead:beef)");

} // namespace

// The local sharing service against the fake usbip and lsblk, the fake
// Manager and Solid's fake hardware (tests/local/data/storage-drives.xml).
class TestLocalSharing : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void update_data();
    void update();
    void blacklistFile_data();
    void blacklistFile();
    void managerCalls_data();
    void managerCalls();
    void managerAbsent();
    void managerErrorSignal();
    void readAccess_data();
    void readAccess();
    void storageBusIds_data();
    void storageBusIds();

private:
    std::unique_ptr<LocalSharing> service(bool testMode = false);
};

void TestLocalSharing::initTestCase()
{
    // Before the first Solid call of the process.
    qputenv("SOLID_FAKEHW", QFile::encodeName(QString::fromLocal8Bit(qgetenv("OVRA_TEST_DATA_DIR"))
                                              + QStringLiteral("/storage-drives.xml")));
    QVERIFY2(startWorld(), qPrintable(worldError()));
}

void TestLocalSharing::init()
{
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_env->removeConfigFile(QStringLiteral("blacklist"));
    m_env->writeConfigFile(QStringLiteral("shared-usb-devices"), "abcd:12ef\n");
    m_usbip->setResponse(ListLocalhost, Exported);
    m_usbip->setBlockDevices(ToolOutput::read(QStringLiteral("lsblk-plain-partition.json")));
}

std::unique_ptr<LocalSharing> TestLocalSharing::service(bool testMode)
{
    Platform platform = m_env->platform();
    platform.testMode = testMode;
    return std::make_unique<LocalSharing>(platform);
}

void TestLocalSharing::update_data()
{
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<QByteArray>("blacklist");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("exportsFail");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("exportsAsked");

    const QByteArray two = localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer Blade")
                         + localBlock("2-4", "abcd:1234", "Acme Corp. : Flash Stick");
    const QString localFailed =
        QStringLiteral("error [Error updating the list of local devices!] ");

    QTest::newRow("exported and storage drives, constantly or for the session")
        << false << QByteArray() << LocalList << QByteArray() << 0 << 0 << false << true
        << QStringList{"updated [1-1 constant, 2-1 session, 1-3 unshared]"} << true;
    QTest::newRow("test mode: every device")
        << true << QByteArray() << LocalList << QByteArray() << 0 << 0 << false << true
        << QStringList{"updated [1-1 constant, 2-1 session, 1-3 unshared, 5-1 unshared]"} << true;
    QTest::newRow("no devices (no USB here): no exports asked for")
        << false << QByteArray() << QByteArray() << QByteArray() << 0 << 0 << false << true
        << QStringList{"updated []"} << false;
    QTest::newRow("identical blocks stay twice, behind a hub kept, no name dropped")
        << true << QByteArray()
        << localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer Blade").repeated(2)
               + localBlock("1-1.2", "0781:5567", "SanDisk Corp. : Cruzer Blade")
               + localBlock("3-1", "abcd:1234", "no separator here")
        << QByteArray() << 0 << 0 << false << true
        << QStringList{"updated [1-1 constant, 1-1 constant, 1-1.2 unshared]"} << true;
    // The exports name 1-1 shared, and the constant-sharing file its vid:pid.
    QTest::newRow("upper-case blacklist entry leaves out the lower-case device")
        << true << QByteArray("ABCD:1234\n") << two << QByteArray() << 0 << 0 << false << true
        << QStringList{"updated [1-1 constant]"} << true;
    QTest::newRow("blacklist never matches an upper-case printed id")
        << true << QByteArray("abcd:12ef\n") << localBlock("5-1", "ABCD:12EF", "Acme : Loud Stick")
        << QByteArray() << 0 << 0 << false << true << QStringList{"updated [5-1 unshared]"} << true;
    QTest::newRow("blanks around entries, empty lines, comment-like line, no final newline")
        << true << QByteArray("\n   \n  0781:5567 \t\n# abcd:1234") << two << QByteArray() << 0 << 0
        << false << true << QStringList{"updated [2-4 unshared]"} << true;
    QTest::newRow("tool fails: no rows, its message, no exports asked for")
        << false << QByteArray() << two << QByteArray("usbip: error: open vhci_driver\n") << 1 << 0
        << false << false
        << QStringList{"updated []", localFailed + "[usbip: error: open vhci_driver]"} << false;
    QTest::newRow("tool's message: control characters made visible, lines kept")
        << false << QByteArray() << two
        << QByteArray("\x1b[1musbip:\x07 error:\r\nopen vhci_driver\r\n") << 1 << 0 << false
        << false
        << QStringList{"updated []", localFailed
                                         + QString::fromUtf8("[\ufffd[1musbip:\ufffd "
                                                             "error:\nopen vhci_driver]")}
        << false;
    QTest::newRow("wedged tool: an answer within its limit")
        << false << QByteArray() << two << QByteArray() << 0 << 20000 << false << false
        << QStringList{"updated []", localFailed
                                         + "[The usbip tool got no answer within 5 "
                                           "seconds.]"}
        << false;
    QTest::newRow("exports cannot be listed: every row unshared, and said so")
        << false << QByteArray() << LocalList << QByteArray() << 0 << 0 << true << true
        << QStringList{"updated [1-3 unshared]",
                       "error [Error updating the list of shared devices!] "
                       "[usbip: error: could not connect to localhost:3240]"}
        << true;
}

void TestLocalSharing::update()
{
    QFETCH(bool, testMode);
    QFETCH(QByteArray, blacklist);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(int, delayMs);
    QFETCH(bool, exportsFail);
    QFETCH(bool, result);
    QFETCH(QStringList, events);
    QFETCH(bool, exportsAsked);

    if (!blacklist.isNull())
        m_env->writeConfigFile(QStringLiteral("blacklist"), blacklist);
    m_usbip->setResponse(ListLocal, out, err, exitCode, delayMs);
    if (exportsFail)
        m_usbip->setResponse(ListLocalhost, QByteArray(),
                             "usbip: error: could not connect to localhost:3240\n", 1);

    const std::unique_ptr<LocalSharing> local = service(testMode);
    QObject context;
    QStringList *recorded = recordSignals(local.get(), &context);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(local->update(), result);
    if (delayMs > 0)
        qInfo("a wedged usbip list -l gave its error after %lld ms", timer.elapsed());
    QCOMPARE(*recorded, events);
    QCOMPARE(m_usbip->calls().value(0), ListLocal);
    QCOMPARE(m_usbip->calls().contains(ListLocalhost), exportsAsked);
    // A second run starts from an empty list, whatever came before.
    if (delayMs == 0) {
        recorded->clear();
        QCOMPARE(local->update(), result);
        QCOMPARE(*recorded, events);
    }
}

void TestLocalSharing::blacklistFile_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("unreadable (a folder)") << QStringLiteral("folder");
    QTest::newRow("empty") << QStringLiteral("empty");
}

void TestLocalSharing::blacklistFile()
{
    QFETCH(QString, state);
    const QString path = m_env->configDir() + QStringLiteral("/blacklist");
    if (state == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    else if (state == QLatin1String("empty"))
        m_env->writeConfigFile(QStringLiteral("blacklist"), QByteArray());

    m_usbip->setResponse(ListLocal, localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer Blade"));
    const std::unique_ptr<LocalSharing> local = service(true);
    QSignalSpy errors(local.get(), &LocalSharing::error);
    QVERIFY(local->update());
    QCOMPARE(local->rows().size(), 1);
    QCOMPARE(errors.size(), 0);
    QDir(path).removeRecursively();
}

void TestLocalSharing::managerCalls_data()
{
    QTest::addColumn<QString>("operation"); // share-const, share-session, unshare
    QTest::addColumn<QString>("before"); // the row's share before: unshared, session
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QStringList>("events");

    const QVariantList withIds{QStringLiteral("2-4"), QStringLiteral("abcd:1234")};
    const QVariantList withoutIds{QStringLiteral("2-4"), QStringLiteral("")};
    const QString share = QStringLiteral("ShareDevice");
    const QString unshare = QStringLiteral("UnshareDevice");
    const QString denied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

    QTest::newRow("share constantly, true")
        << "share-const"
        << "unshared" << FakeManager::reply(true) << true << share << withIds
        << QStringList{"row 1: 2-4 constant"};
    QTest::newRow("share for the session, true")
        << "share-session"
        << "unshared" << FakeManager::reply(true) << true << share << withoutIds
        << QStringList{"row 1: 2-4 session"};
    QTest::newRow("a second share keeps the kind of the first")
        << "share-const"
        << "session" << FakeManager::reply(true) << true << share << withIds << QStringList();
    QTest::newRow("share, false") << "share-const"
                                  << "unshared" << FakeManager::reply(false) << false << share
                                  << withIds << QStringList();
    QTest::newRow("share, a string instead of a bool")
        << "share-session"
        << "unshared" << FakeManager::reply(QStringLiteral("true")) << false << share << withoutIds
        << QStringList();
    QTest::newRow("share, an int instead of a bool")
        << "share-const"
        << "unshared" << FakeManager::reply(1) << false << share << withIds << QStringList();
    QTest::newRow("share, access denied")
        << "share-const"
        << "unshared" << FakeManager::error(denied) << false << share << withIds
        << QStringList{QStringLiteral("error [Error share device!\n] [Authorization error.]")};
    QTest::newRow("share, service's own error")
        << "share-session"
        << "unshared" << FakeManager::error(QStringLiteral("org.ovra.admin.usbip.Busy")) << false
        << share << withoutIds
        << QStringList{QStringLiteral("error [Error share device!\n] [Unknown error.]")};
    QTest::newRow("unshare, true") << "unshare"
                                   << "session" << FakeManager::reply(true) << true << unshare
                                   << withIds << QStringList{"row 1: 2-4 unshared"};
    QTest::newRow("unshare what is not shared: no change")
        << "unshare"
        << "unshared" << FakeManager::reply(true) << true << unshare << withIds << QStringList();
    QTest::newRow("unshare, a string instead of a bool")
        << "unshare"
        << "session" << FakeManager::reply(QStringLiteral("yes")) << false << unshare << withIds
        << QStringList();
    QTest::newRow("unshare, failed")
        << "unshare"
        << "session" << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.Failed"))
        << false << unshare << withIds
        << QStringList{QStringLiteral("error [Error unshare device!\n] [The call failed.]")};
}

void TestLocalSharing::managerCalls()
{
    QFETCH(QString, operation);
    QFETCH(QString, before);
    QFETCH(FakeManager::Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QStringList, events);

    m_usbip->setResponse(ListLocal, localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer")
                                        + localBlock("2-4", "abcd:1234", "Acme : Flash Stick"));
    m_usbip->setResponse(ListLocalhost,
                         ToolOutput::remoteHeader("localhost")
                             + (before == QLatin1String("session")
                                    ? remoteBlock("2-4", "Acme : Flash Stick (abcd:1234)")
                                    : QByteArray()));
    const std::unique_ptr<LocalSharing> local = service(true);
    QVERIFY(local->update());
    m_manager->setReply(method, reply);
    QObject context;
    QStringList *recorded = recordSignals(local.get(), &context);
    const UsbDevice device = deviceFrom("2-4", "abcd:1234");

    bool ok = false;
    if (operation == QLatin1String("share-const"))
        ok = local->share(device, true);
    else if (operation == QLatin1String("share-session"))
        ok = local->share(device, false);
    else
        ok = local->unshare(device);

    QCOMPARE(ok, result);
    QCOMPARE(*recorded, events);
    const QList<FakeManager::Call> calls = m_manager->calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().method, method);
    QCOMPARE(calls.first().arguments, arguments);
}

void TestLocalSharing::managerAbsent()
{
    m_manager->stop();
    const std::unique_ptr<LocalSharing> local = service();
    QObject context;
    QStringList *recorded = recordSignals(local.get(), &context);
    const UsbDevice device = deviceFrom("1-1", "0781:5567");
    QVERIFY(!local->share(device, true));
    QVERIFY(!local->unshare(device));
    QCOMPARE(*recorded, (QStringList{QStringLiteral("error [Error share device!\n] "
                                                    "[The called service is not known.]"),
                                     QStringLiteral("error [Error unshare device!\n] "
                                                    "[The called service is not known.]")}));
}

void TestLocalSharing::managerErrorSignal()
{
    const std::unique_ptr<LocalSharing> local = service();
    QSignalSpy errors(local.get(), &LocalSharing::error);
    // One round trip, so that the signal subscription is in place on the bus.
    local->share(deviceFrom("1-1", "0781:5567"), false);
    // The detail is the tool's raw standard error: shown cleaned.
    QVERIFY(m_manager->emitError(QStringLiteral("Cannot bind 1-1"),
                                 QStringLiteral("\tdevice\x1b busy\r\n")));
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toString(), QStringLiteral("Cannot bind 1-1"));
    QCOMPARE(errors.first().at(1).toString(), QString::fromUtf8("device\ufffd busy"));
}

void TestLocalSharing::readAccess_data()
{
    QTest::addColumn<FakeManager::Reply>("reply");
    QTest::addColumn<int>("kind"); // AccessState::Kind
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QString>("problem");

    const QStringList listed{QStringLiteral("10.0.0.1"), QStringLiteral("fd00::/64")};
    QTest::newRow("any host, the list kept")
        << FakeManager::reply(QVariantList{false, listed}) << int(AccessState::Kind::AnyHost)
        << listed << QString();
    QTest::newRow("restricted") << FakeManager::reply(QVariantList{true, QStringList()})
                                << int(AccessState::Kind::Restricted) << QStringList() << QString();
    QTest::newRow("broken list: the Manager's reason, cleaned")
        << FakeManager::error(QStringLiteral("org.ovra.admin.usbip.Error.AccessListBroken"),
                              QStringLiteral("Line 2 is \x1bno host."))
        << int(AccessState::Kind::Broken) << QStringList()
        << QString::fromUtf8("Line 2 is \ufffdno host.");
    QTest::newRow("refused") << FakeManager::error(
        QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"))
                             << int(AccessState::Kind::Unknown) << QStringList()
                             << QStringLiteral("Authorization error.");
    QTest::newRow("an answer of another form")
        << FakeManager::reply(true) << int(AccessState::Kind::Unknown) << QStringList()
        << QStringLiteral("The type signature is not valid or compatible.");
}

void TestLocalSharing::readAccess()
{
    QFETCH(FakeManager::Reply, reply);
    QFETCH(int, kind);
    QFETCH(QStringList, hosts);
    QFETCH(QString, problem);

    m_manager->setReply(QStringLiteral("ShareAccess"), reply);
    const std::unique_ptr<LocalSharing> local = service();
    QSignalSpy told(local.get(), &LocalSharing::accessChanged);
    const AccessState access = local->readAccess();
    QCOMPARE(int(access.kind), kind);
    QCOMPARE(access.hosts, hosts);
    QCOMPARE(access.problem, problem);
    QCOMPARE(told.size(), 1);
}

void TestLocalSharing::storageBusIds_data()
{
    QTest::addColumn<QByteArray>("lsblk");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("busids");
    // The reason the error box gives after its first line; empty: no error.
    QTest::addColumn<QString>("problem");

    const QString odd; // the qualifying drive whose SiblingId names no bus id
    auto layout = [](const char *name) {
        return ToolOutput::read(QLatin1String("lsblk-") + QLatin1String(name)
                                + QLatin1String(".json"));
    };
    // sda is the USB disk 1-7, sdb the stick 1-3, sdc the stick behind a hub
    // 2-1.4 (its own bus id, not the hub's 2-1), sdh one behind two hubs.
    // Never the fixed, cold, CD-ROM, SATA or block-less drives.
    QTest::newRow("plain partition: the disk of / and swap")
        << layout("plain-partition") << 0 << QStringList{odd, "1-3", "2-1.4", "3-2.1.4"}
        << QString();
    QTest::newRow("NVMe system: every USB drive")
        << layout("nvme") << 0 << QStringList{odd, "1-3", "1-7", "2-1.4", "3-2.1.4"} << QString();
    QTest::newRow("LVM on LUKS on a USB disk: that disk")
        << layout("lvm-luks-usb") << 0 << QStringList{odd, "1-3", "2-1.4", "3-2.1.4"} << QString();
    QTest::newRow("md RAID over two USB disks: both")
        << layout("md-raid") << 0 << QStringList{odd, "1-3", "3-2.1.4"} << QString();
    QTest::newRow("btrfs on a USB disk, spanning a second one: both")
        << layout("btrfs-usb") << 0 << QStringList{odd, "1-3", "3-2.1.4"} << QString();
    QTest::newRow("system on the fixed second bay of the dock 1-7: not the first bay")
        << layout("usb-dock") << 0 << QStringList{odd, "1-3", "2-1.4", "3-2.1.4"} << QString();
    QTest::newRow("no block device holds /: none")
        << layout("no-root") << 0 << QStringList() << "No block device holds the root file system.";
    QTest::newRow("lsblk fails: none, with its reason")
        << QByteArray() << 1 << QStringList() << "lsblk: unknown column: MOUNTPOINTS";
    QTest::newRow("not lsblk's JSON: none")
        << QByteArray("NAME MAJ:MIN RM SIZE RO TYPE MOUNTPOINTS\nsda 8:0 0 1G 0 disk /\n") << 0
        << QStringList() << "The output of lsblk cannot be read.";
}

void TestLocalSharing::storageBusIds()
{
    QFETCH(QByteArray, lsblk);
    QFETCH(int, exitCode);
    QFETCH(QStringList, busids);
    QFETCH(QString, problem);

    m_usbip->setBlockDevices(lsblk, exitCode,
                             exitCode ? QByteArray("lsblk: unknown column: MOUNTPOINTS\n")
                                      : QByteArray());
    const std::unique_ptr<LocalSharing> local = service();
    QSignalSpy errors(local.get(), &LocalSharing::error);
    for (int round = 0; round < 2; ++round) {
        QStringList found = local->storageBusIds();
        found.sort();
        QCOMPARE(found, busids);
    }
    // A failure is told once, with the first listing.
    QCOMPARE(errors.size(), problem.isEmpty() ? 0 : 1);
    if (!problem.isEmpty()) {
        QCOMPARE(errors.first().at(0).toString(),
                 QStringLiteral("Error updating the list of local devices!"));
        QCOMPARE(errors.first().at(1).toString(),
                 QStringLiteral("No drive is offered for sharing: the disks of the running system "
                                "cannot be told apart from the others.\n")
                     + problem);
    }
}

QTEST_GUILESS_MAIN(TestLocalSharing)
#include "tst_localsharing.moc"
