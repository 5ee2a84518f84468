// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"
#include "tooloutput.h"
#include "usbdevice.h"

#include <QHostAddress>
#include <QtTest>

// The device record on top of the output grammars (tests/usbip): which
// entries make records, the port table, and the keys with their look-ups.

namespace {

// One expected record: bus id, name, vendor id, product id, host.
using Row = QStringList;
using Rows = QList<Row>;
using Table = QHash<QString, QString>;

Row row(const UsbDevice &device)
{
    return {device.busid(), device.name(), device.vendorId(), device.productId(), device.host()};
}

// A resolver that never leaves the machine: storage.example is 10.9.8.7 and
// back; any other address has no reverse entry; any other name is unknown.
QHostInfo scriptedLookup(const QString &name)
{
    QHostInfo info;
    const QHostAddress address(name);
    if (name == QLatin1String("storage.example")) {
        info.setHostName(name);
        info.setAddresses({QHostAddress(QStringLiteral("10.9.8.7"))});
    } else if (name == QLatin1String("10.9.8.7")) {
        info.setHostName(QStringLiteral("storage.example"));
        info.setAddresses({address});
    } else if (!address.isNull()) {
        info.setHostName(address.toString());
        info.setAddresses({address});
    } else {
        info.setHostName(name);
        info.setError(QHostInfo::HostNotFound);
    }
    return info;
}

using ToolOutput::portBlock;
using ToolOutput::remoteBlock;

const QByteArray remoteHeader = ToolOutput::remoteHeader("storage.example");
const QByteArray portHeader = ToolOutput::portHeader();

QList<UsbDevice> remoteRecords(const QString &text, const QString &host)
{
    QList<UsbDevice> devices;
    const QStringList blocks = splitRemoteBlocks(text);
    for (const QString &block : blocks) {
        const UsbDevice device = UsbDevice::fromRemoteBlock(block, host);
        if (device.isValid())
            devices.append(device);
    }
    return devices;
}

} // namespace

class TestUsbDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { setHostLookupFunction(scriptedLookup); }
    void init() { clearHostCache(); }

    void localRecords_data();
    void localRecords();
    void remoteKeys();
    void remoteKeysCostConstantLookups();
    void portTable_data();
    void portTable();
    void portRecords_data();
    void portRecords();
    void keyForms_data();
    void keyForms();
    void vidPid_data();
    void vidPid();
};

void TestUsbDevice::localRecords_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<Rows>("expected");
    QTest::addColumn<QList<bool>>("valid");

    const Row sandiskRow{"1-1", "Cruzer Blade", "0781", "5567", ""};
    QTest::newRow("two devices") << ToolOutput::read("list-local-two-sticks.txt")
                                 << Rows{sandiskRow,
                                         {"3-12", "Platinum HD 4GB", "13fe", "4200", ""}}
                                 << QList<bool>{true, true};
    QTest::newRow("behind a hub: the whole bus id")
        << ToolOutput::read("list-local-hub.txt")
        << Rows{sandiskRow, {"2-1.2", "Stick", "abcd", "1234", ""}} << QList<bool>{true, true};
    QTest::newRow("description without ' : ' gives no name")
        << ToolOutput::localBlock("1-7", "abcd:1234", "Acme Stick")
        << Rows{{"1-7", "", "abcd", "1234", ""}} << QList<bool>{false};
    QTest::newRow("block without a description line: an empty record")
        << QByteArray(" - busid 1-9 (abcd:1234)\n\n") << Rows{{"", "", "", "", ""}}
        << QList<bool>{false};
}

void TestUsbDevice::localRecords()
{
    QFETCH(QByteArray, output);
    QFETCH(Rows, expected);
    QFETCH(QList<bool>, valid);
    const int lookups = hostLookupCount();
    const QList<UsbDevice> devices = parseLocalList(QString::fromLocal8Bit(output));
    QCOMPARE(hostLookupCount(), lookups);
    Rows rows;
    QList<bool> validity;
    for (const UsbDevice &device : devices) {
        rows.append(row(device));
        validity.append(device.isValid());
        QVERIFY(device.keys().isEmpty());
    }
    QCOMPARE(rows, expected);
    QCOMPARE(validity, valid);
}

void TestUsbDevice::remoteKeys()
{
    const QString text = QString::fromLatin1(
        remoteHeader + remoteBlock("1-1", "SanDisk Corp. : Cruzer Blade (0781:5567)"));
    const QList<UsbDevice> byName = remoteRecords(text, QStringLiteral("storage.example"));
    QCOMPARE(byName.size(), 1);
    QCOMPARE(byName.first().keys(),
             (QStringList{"storage.example/1-1/0781:5567", "10.9.8.7/1-1/0781:5567"}));
    // Written as an address, the same device has the same keys.
    const QList<UsbDevice> byAddress = remoteRecords(text, QStringLiteral("10.9.8.7"));
    QCOMPARE(byAddress.size(), 1);
    QCOMPARE(byAddress.first().keys(), byName.first().keys());
    QCOMPARE(byAddress.first().host(), QStringLiteral("10.9.8.7"));
}

void TestUsbDevice::remoteKeysCostConstantLookups()
{
    QByteArray output(remoteHeader);
    for (int i = 1; i <= 200; ++i)
        output += remoteBlock("1-" + QByteArray::number(i), "Acme : Stick (abcd:1234)");
    const int before = hostLookupCount();
    const QList<UsbDevice> devices =
        remoteRecords(QString::fromLatin1(output), QStringLiteral("storage.example"));
    const int lookups = hostLookupCount() - before;
    QCOMPARE(devices.size(), 200);
    QCOMPARE(devices.last().keys(),
             (QStringList{"storage.example/1-200/abcd:1234", "10.9.8.7/1-200/abcd:1234"}));
    qInfo("look-ups for the keys of 200 devices of one host by name: %d", lookups);
    QCOMPARE(lookups, 2);
}

void TestUsbDevice::portTable_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<Table>("expected");
    const QByteArray header = portHeader;
    const QByteArray sandisk("SanDisk Corp. : Cruzer Blade (0781:5567)");

    // Without ports only the newline put in front is left: one block without lines.
    QTest::newRow("empty") << QByteArray() << 1 << Table();
    QTest::newRow("header only") << header << 1 << Table();
    QTest::newRow("two ports, 00 stays text")
        << header + portBlock("00", sandisk, "127.0.0.5:3240/1-1")
            + portBlock("01", "unknown vendor : unknown product (dead:beef)",
                        "storage.example:3240/2-1")
        << 2 << Table{{"127.0.0.5/1-1/0781:5567", "00"}, {"storage.example/2-1/dead:beef", "01"}};
    QTest::newRow("same key twice: the later port wins")
        << header + portBlock("00", sandisk, "127.0.0.5:3240/1-1")
            + portBlock("03", sandisk, "127.0.0.5:3240/1-1")
        << 2 << Table{{"127.0.0.5/1-1/0781:5567", "03"}};
    QTest::newRow("remote bus id behind a hub: the whole bus id")
        << header + portBlock("00", sandisk, "127.0.0.5:3240/1-1.2") << 1
        << Table{{"127.0.0.5/1-1.2/0781:5567", "00"}};
    QTest::newRow("port block of two lines")
        << header + "Port 00: <Port in Use> at High Speed(480Mbps)\n       " + sandisk + "\n"
        << 1 << Table();
    QTest::newRow("port block of three lines")
        << header + "Port 02: <Port in Use> at High Speed(480Mbps)\n       " + sandisk
            + "\n       3-1 -> usbip://127.0.0.6:3240/1-4\n"
        << 1 << Table{{"127.0.0.6/1-4/0781:5567", "02"}};
    QTest::newRow("no ids: key with an empty vid:pid")
        << header + portBlock("04", "Acme : Stick", "127.0.0.7:3240/1-1") << 1
        << Table{{"127.0.0.7/1-1/", "04"}};
    QTest::newRow("IPv6 host up to the port's colon")
        << header + portBlock("05", sandisk, "fd00::5:3240/1-1") << 1
        << Table{{"fd00::5/1-1/0781:5567", "05"}};
}

void TestUsbDevice::portTable()
{
    QFETCH(QByteArray, text);
    QFETCH(int, blocks);
    QFETCH(Table, expected);
    const QStringList portBlocks = splitPortBlocks(QString::fromLatin1(text));
    QCOMPARE(portBlocks.size(), blocks);
    QCOMPARE(::portTable(portBlocks), expected);
}

void TestUsbDevice::portRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Rows>("expected");
    QTest::addColumn<QStringList>("firstKeys");
    const QByteArray header = portHeader;
    const QByteArray sandisk("SanDisk Corp. : Cruzer Blade (0781:5567)");

    QTest::newRow("two ports from two hosts")
        << header + portBlock("00", sandisk, "127.0.0.5:3240/1-1")
            + portBlock("01", "unknown vendor : unknown product (dead:beef)",
                        "storage.example:3240/2-1")
        << Rows{{"1-1", "Cruzer Blade", "0781", "5567", "127.0.0.5"},
                {"2-1", "unknown product", "dead", "beef", "storage.example"}}
        << QStringList{"127.0.0.5/1-1/0781:5567", "127.0.0.5/1-1/0781:5567"};
    QTest::newRow("three lines: no record")
        << header + "Port 02: <Port in Use> at High Speed(480Mbps)\n       " + sandisk
            + "\n       3-1 -> usbip://127.0.0.6:3240/1-4\n"
        << Rows() << QStringList();
    QTest::newRow("no ids: no record")
        << header + portBlock("04", "Acme : Stick", "127.0.0.7:3240/1-1") << Rows()
        << QStringList();
    QTest::newRow("same device on two ports: both listed")
        << header + portBlock("00", sandisk, "10.9.8.7:3240/1-1")
            + portBlock("01", sandisk, "10.9.8.7:3240/1-1")
        << Rows{{"1-1", "Cruzer Blade", "0781", "5567", "10.9.8.7"},
                {"1-1", "Cruzer Blade", "0781", "5567", "10.9.8.7"}}
        << QStringList{"storage.example/1-1/0781:5567", "10.9.8.7/1-1/0781:5567"};
    // The whole host, as the port table keys it.
    QTest::newRow("IPv6 host up to the port's colon")
        << header + portBlock("05", sandisk, "fd00::5:3240/1-1")
        << Rows{{"1-1", "Cruzer Blade", "0781", "5567", "fd00::5"}}
        << QStringList{"fd00::5/1-1/0781:5567", "fd00::5/1-1/0781:5567"};
}

void TestUsbDevice::portRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(Rows, expected);
    QFETCH(QStringList, firstKeys);
    Rows rows;
    QStringList keys;
    const QStringList blocks = splitPortBlocks(QString::fromLatin1(text));
    for (const QString &block : blocks) {
        const UsbDevice device = UsbDevice::fromPortBlock(block);
        if (!device.isValid())
            continue;
        if (rows.isEmpty())
            keys = device.keys();
        rows.append(row(device));
    }
    QCOMPARE(rows, expected);
    QCOMPARE(keys, firstKeys);
}

void TestUsbDevice::keyForms_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("lookups");

    QTest::newRow("device id of an address: no look-up")
        << "10.0.0.7" << 0 << "10.0.0.7/1-1/abcd:1234" << 0;
    QTest::newRow("device id of a text holding a dotted quad: unchanged")
        << "nas-10.0.0.7.example" << 0 << "nas-10.0.0.7.example/1-1/abcd:1234" << 0;
    QTest::newRow("device id of a name: the name as typed, no look-up")
        << "storage.example" << 0 << "storage.example/1-1/abcd:1234" << 0;
    QTest::newRow("address key of a name")
        << "storage.example" << 1 << "10.9.8.7/1-1/abcd:1234" << 1;
    QTest::newRow("address key of an address: no look-up")
        << "10.0.0.7" << 1 << "10.0.0.7/1-1/abcd:1234" << 0;
    QTest::newRow("address key of localhost: no look-up")
        << "localhost" << 1 << "127.0.0.1/1-1/abcd:1234" << 0;
    QTest::newRow("host-name key of an address, confirmed forward")
        << "10.9.8.7" << 2 << "storage.example/1-1/abcd:1234" << 2;
    QTest::newRow("host-name key without a reverse entry")
        << "10.0.0.7" << 2 << "10.0.0.7/1-1/abcd:1234" << 1;
    QTest::newRow("host-name key of an unknown name")
        << "gone.example" << 2 << "/1-1/abcd:1234" << 1;
    QTest::newRow("form 3") << "storage.example" << 3 << "" << 0;
    QTest::newRow("form -1") << "storage.example" << -1 << "" << 0;
}

void TestUsbDevice::keyForms()
{
    QFETCH(QString, host);
    QFETCH(int, form);
    QFETCH(QString, expected);
    QFETCH(int, lookups);
    const QString text =
        QString::fromLatin1(remoteHeader + remoteBlock("1-1", "Acme : Stick (abcd:1234)"));
    const QStringList blocks = splitRemoteBlocks(text);
    QCOMPARE(blocks.size(), 1);
    const UsbDevice device = UsbDevice::fromRemoteBlock(blocks.first(), host);
    QVERIFY(device.isValid());
    clearHostCache();
    const int before = hostLookupCount();
    QCOMPARE(device.key(form), expected);
    QCOMPARE(hostLookupCount() - before, lookups);
}

void TestUsbDevice::vidPid_data()
{
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<QString>("expected");
    QTest::newRow("both ids") << QByteArray("Acme : Stick (abcd:1234)") << "abcd:1234";
    QTest::newRow("no ids") << QByteArray("Acme : Stick") << "";
}

void TestUsbDevice::vidPid()
{
    QFETCH(QByteArray, description);
    QFETCH(QString, expected);
    const QStringList blocks =
        splitRemoteBlocks(QString::fromLatin1(remoteHeader + remoteBlock("1-1", description)));
    const UsbDevice device =
        UsbDevice::fromRemoteBlock(blocks.value(0), QStringLiteral("10.0.0.7"));
    QCOMPARE(device.vidPid(), expected);
    QCOMPARE(device.vidPid().isEmpty(), expected.isEmpty());
    QVERIFY(UsbDevice().vidPid().isEmpty());
    QVERIFY(!UsbDevice().isValid());
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usbdevice.moc"
