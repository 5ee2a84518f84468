// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "testworld.h"
#include "tooloutput.h"
#include "usbipserver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

using ToolOutput::localBlock;

// Every signal of the service, in the order emitted.
QStringList *recordSignals(UsbIpServer *server, QObject *context)
{
    auto *events = new QStringList;
    QObject::connect(context, &QObject::destroyed, [events] { delete events; });
    QObject::connect(server, &UsbIpServer::updated, context,
                     [events] { events->append(QStringLiteral("updated")); });
    QObject::connect(
        server, &UsbIpServer::shared, context, [events](const QString &busid, bool isConst) {
            events->append(
                QStringLiteral("shared %1 %2")
                    .arg(busid, isConst ? QStringLiteral("const") : QStringLiteral("session")));
        });
    QObject::connect(server, &UsbIpServer::unshared, context, [events](const QString &busid) {
        events->append(QStringLiteral("unshared %1").arg(busid));
    });
    QObject::connect(server, &UsbIpServer::error, context,
                     [events](const QString &error, const QString &detailed) {
                         events->append(QStringLiteral("error [%1] [%2]").arg(error, detailed));
                     });
    return events;
}

UsbDevice deviceFrom(const QByteArray &busid, const QByteArray &ids)
{
    return parseLocalList(QString::fromLatin1(localBlock(busid, ids, "Acme Corp. : Flash Stick")))
        .value(0);
}

} // namespace

class TestUsbIpServer : public QObject, protected TestWorld
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

    void storageBusIds_data();
    void storageBusIds();

private:
};

void TestUsbIpServer::initTestCase()
{
    QVERIFY2(startWorld(), qPrintable(worldError()));
}

void TestUsbIpServer::init()
{
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_env->removeConfigFile(QStringLiteral("blacklist"));
}

void TestUsbIpServer::update_data()
{
    QTest::addColumn<QByteArray>("blacklist");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("busids");
    QTest::addColumn<QStringList>("events");

    const QByteArray two = localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer Blade")
        + localBlock("2-4", "abcd:1234", "Acme Corp. : Flash Stick");
    const QStringList updatedOnly{QStringLiteral("updated")};

    QTest::newRow("no devices (no USB here)") << QByteArray() << QByteArray() << QByteArray() << 0
                                              << true << QStringList() << updatedOnly;
    QTest::newRow("two devices") << QByteArray() << two << QByteArray() << 0 << true
                                 << QStringList{"1-1", "2-4"} << updatedOnly;
    QTest::newRow("identical blocks stay twice")
        << QByteArray()
        << localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer Blade").repeated(2)
        << QByteArray() << 0 << true << QStringList{"1-1", "1-1"} << updatedOnly;
    QTest::newRow("device behind a hub kept, one without a name dropped")
        << QByteArray()
        << localBlock("1-1.2", "0781:5567", "SanDisk Corp. : Cruzer Blade")
            + localBlock("3-1", "abcd:1234", "no separator here")
            + localBlock("3-2", "abcd:1235", "Acme : Stick (USB 3)")
        << QByteArray() << 0 << true << QStringList{"1-1.2", "3-2"} << updatedOnly;
    QTest::newRow("upper-case blacklist entry leaves out the lower-case device")
        << QByteArray("ABCD:1234\n") << two << QByteArray() << 0 << true << QStringList{"1-1"}
        << updatedOnly;
    QTest::newRow("blacklist never matches an upper-case printed id")
        << QByteArray("abcd:12ef\n") << localBlock("5-1", "ABCD:12EF", "Acme Corp. : Loud Stick")
        << QByteArray() << 0 << true << QStringList{"5-1"} << updatedOnly;
    QTest::newRow("blanks around entries, empty lines, comment-like line")
        << QByteArray("\n   \n  0781:5567 \t\n# abcd:1234\n") << two << QByteArray() << 0 << true
        << QStringList{"2-4"} << updatedOnly;
    QTest::newRow("blacklist without final newline")
        << QByteArray("abcd:1234") << two << QByteArray() << 0 << true << QStringList{"1-1"}
        << updatedOnly;
    QTest::newRow("tool fails: error before updated, list empty")
        << QByteArray() << two << QByteArray("usbip: error: open vhci_driver\n") << 1 << false
        << QStringList()
        << QStringList{QStringLiteral("error [Error updating the list of local devices!] "
                                      "[usbip: error: open vhci_driver]"),
                       QStringLiteral("updated")};
    QTest::newRow("tool's message: control characters removed")
        << QByteArray() << two << QByteArray("\x1b[1musbip:\x07 error:\topen vhci_driver\r\n") << 1
        << false << QStringList()
        << QStringList{QStringLiteral("error [Error updating the list of local devices!] "
                                      "[[1musbip: error: open vhci_driver]"),
                       QStringLiteral("updated")};
}

void TestUsbIpServer::update()
{
    QFETCH(QByteArray, blacklist);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(bool, result);
    QFETCH(QStringList, busids);
    QFETCH(QStringList, events);

    if (!blacklist.isNull())
        m_env->writeConfigFile(QStringLiteral("blacklist"), blacklist);
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-l")}, out, err, exitCode);

    UsbIpServer server;
    QObject context;
    QStringList *recorded = recordSignals(&server, &context);
    // A second run must start from an empty list, whatever came before.
    for (int round = 0; round < 2; ++round) {
        recorded->clear();
        QCOMPARE(server.update(), result);
        QStringList listed;
        const QList<UsbDevice> devices = server.devices();
        for (const UsbDevice &device : devices) {
            QVERIFY(device.isValid());
            listed.append(device.busid());
        }
        QCOMPARE(listed, busids);
        QCOMPARE(*recorded, events);
    }
    QCOMPARE(m_usbip->calls().value(0),
             (QStringList{QStringLiteral("list"), QStringLiteral("-l")}));
}

void TestUsbIpServer::blacklistFile_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("unreadable (a folder)") << QStringLiteral("folder");
    QTest::newRow("empty") << QStringLiteral("empty");
}

void TestUsbIpServer::blacklistFile()
{
    QFETCH(QString, state);
    const QString path = m_env->configDir() + QStringLiteral("/blacklist");
    if (state == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    else if (state == QLatin1String("empty"))
        m_env->writeConfigFile(QStringLiteral("blacklist"), QByteArray());

    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-l")},
                         localBlock("1-1", "0781:5567", "SanDisk Corp. : Cruzer Blade"));
    UsbIpServer server;
    QSignalSpy errors(&server, &UsbIpServer::error);
    QVERIFY(server.m_blacklist.isEmpty());
    QVERIFY(server.update());
    QCOMPARE(server.devices().size(), 1);
    QCOMPARE(errors.size(), 0);
    QDir(path).removeRecursively();
}

void TestUsbIpServer::managerCalls_data()
{
    QTest::addColumn<QString>("operation"); // share-const, share-session, unshare
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
        << "share-const" << FakeManager::reply(true) << true << share << withIds
        << QStringList{QStringLiteral("shared 2-4 const")};
    QTest::newRow("share for the session, true")
        << "share-session" << FakeManager::reply(true) << true << share << withoutIds
        << QStringList{QStringLiteral("shared 2-4 session")};
    QTest::newRow("share, false") << "share-const" << FakeManager::reply(false) << false << share
                                  << withIds << QStringList();
    QTest::newRow("share, a string instead of a bool")
        << "share-session" << FakeManager::reply(QStringLiteral("true")) << false << share
        << withoutIds << QStringList();
    QTest::newRow("share, an int instead of a bool")
        << "share-const" << FakeManager::reply(1) << false << share << withIds << QStringList();
    QTest::newRow("share, access denied")
        << "share-const" << FakeManager::error(denied) << false << share << withIds
        << QStringList{QStringLiteral("error [Error share device!\n] [Authorization error.]")};
    QTest::newRow("share, service's own error")
        << "share-session" << FakeManager::error(QStringLiteral("org.ovra.admin.usbip.Busy"))
        << false << share << withoutIds
        << QStringList{QStringLiteral("error [Error share device!\n] [Unknown error.]")};
    QTest::newRow("unshare, true") << "unshare" << FakeManager::reply(true) << true << unshare
                                   << withIds << QStringList{QStringLiteral("unshared 2-4")};
    QTest::newRow("unshare, false")
        << "unshare" << FakeManager::reply(false) << false << unshare << withIds << QStringList();
    QTest::newRow("unshare, a string instead of a bool")
        << "unshare" << FakeManager::reply(QStringLiteral("yes")) << false << unshare << withIds
        << QStringList();
    QTest::newRow("unshare, failed")
        << "unshare" << FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.Failed"))
        << false << unshare << withIds
        << QStringList{QStringLiteral("error [Error unshare device!\n] [The call failed.]")};
}

void TestUsbIpServer::managerCalls()
{
    QFETCH(QString, operation);
    QFETCH(FakeManager::Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QStringList, events);

    m_manager->setReply(method, reply);
    UsbIpServer server;
    QObject context;
    QStringList *recorded = recordSignals(&server, &context);
    const UsbDevice device = deviceFrom("2-4", "abcd:1234");
    QVERIFY(device.isValid());

    bool ok = false;
    if (operation == QLatin1String("share-const"))
        ok = server.share(device, true);
    else if (operation == QLatin1String("share-session"))
        ok = server.share(device, false);
    else
        ok = server.unshare(device);

    QCOMPARE(ok, result);
    QCOMPARE(*recorded, events);
    const QList<FakeManager::Call> calls = m_manager->calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().method, method);
    QCOMPARE(calls.first().arguments, arguments);
    QVERIFY(server.devices().isEmpty()); // sharing never touches the list
}

void TestUsbIpServer::managerAbsent()
{
    m_manager->stop();
    UsbIpServer server;
    QObject context;
    QStringList *recorded = recordSignals(&server, &context);
    const UsbDevice device = deviceFrom("1-1", "0781:5567");
    QVERIFY(!server.share(device, true));
    QVERIFY(!server.unshare(device));
    QCOMPARE(*recorded,
             (QStringList{QStringLiteral("error [Error share device!\n] "
                                         "[The called service is not known.]"),
                          QStringLiteral("error [Error unshare device!\n] "
                                         "[The called service is not known.]")}));
}

void TestUsbIpServer::managerErrorSignal()
{
    UsbIpServer server;
    QSignalSpy errors(&server, &UsbIpServer::error);
    // One round trip, so that the signal subscription is in place on the bus.
    server.share(deviceFrom("1-1", "0781:5567"), false);
    // The detail is the tool's raw standard error: shown cleaned.
    QVERIFY(m_manager->emitError(QStringLiteral("Cannot bind 1-1"),
                                 QStringLiteral("\tdevice\x1b busy\r\n")));
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toString(), QStringLiteral("Cannot bind 1-1"));
    QCOMPARE(errors.first().at(1).toString(), QStringLiteral("device busy"));
}

void TestUsbIpServer::storageBusIds_data()
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

void TestUsbIpServer::storageBusIds()
{
    QFETCH(QByteArray, lsblk);
    QFETCH(int, exitCode);
    QFETCH(QStringList, busids);
    QFETCH(QString, problem);

    m_usbip->setBlockDevices(lsblk, exitCode,
                             exitCode ? QByteArray("lsblk: unknown column: MOUNTPOINTS\n")
                                      : QByteArray());
    // Before the first Solid call of the process.
    qputenv("SOLID_FAKEHW",
            QFile::encodeName(QString::fromLocal8Bit(qgetenv("OVRA_TEST_DATA_DIR"))
                              + QStringLiteral("/storage-drives.xml")));

    UsbIpServer server;
    QStringList found = server.storageBusIds();
    found.sort();
    QCOMPARE(found, busids);

    // A failure is told once, from the event loop, to whoever listens then.
    QSignalSpy errors(&server, &UsbIpServer::error);
    QTest::qWait(50);
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

QTEST_GUILESS_MAIN(TestUsbIpServer)
#include "tst_usbipserver.moc"
