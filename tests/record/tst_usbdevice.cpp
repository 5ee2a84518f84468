// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "devicematch.h"
#include "nethelpers.h"
#include "testenvironment.h"
#include "tooloutput.h"
#include "usbdevice.h"

#include <QtTest>

// The device record on top of the output grammars (tests/usbip), the ports
// read from the port text, and how a device id names a row's device.

namespace {

// One expected record: bus id, name, vendor id, product id, host.
using Row = QStringList;
using Rows = QList<Row>;

Rows rows(const QList<UsbDevice> &devices)
{
    Rows result;
    for (const UsbDevice &device : devices)
        result.append(
            {device.busId(), device.name(), device.vendorId(), device.productId(), device.host()});
    return result;
}

using ToolOutput::portBlock;
using ToolOutput::remoteBlock;

const QByteArray portHeader = ToolOutput::portHeader();
const QByteArray sandisk("SanDisk Corp. : Cruzer Blade (0781:5567)");

} // namespace

class TestUsbDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void records_data();
    void records();
    void ports_data();
    void ports();
    void matches_data();
    void matches();

private:
    TestEnvironment m_env;
};

void TestUsbDevice::initTestCase()
{
    // nas, NAS and nas.lan are one host; the old name of a line too.
    setHostsFile(m_env.writeFile(QStringLiteral("hosts"), "10.9.8.7 nas.lan nas old-name.lan\n"
                                                          "10.9.8.8 other.lan other\n"
                                                          "fd00::5 six.lan\n"));
}

void TestUsbDevice::records_data()
{
    QTest::addColumn<QString>("kind"); // local, remote or port
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<Rows>("expected");

    const Row cruzer{"1-1", "Cruzer Blade", "0781", "5567", ""};
    QTest::newRow("local: two devices")
        << "local" << ToolOutput::read("list-local-two-sticks.txt")
        << Rows{cruzer, {"3-12", "Platinum HD 4GB", "13fe", "4200", ""}};
    QTest::newRow("local: behind a hub, the whole bus id")
        << "local" << ToolOutput::read("list-local-hub.txt")
        << Rows{cruzer, {"2-1.2", "Stick", "abcd", "1234", ""}};
    QTest::newRow("local: no name, or no description line: no record")
        << "local"
        << ToolOutput::localBlock("1-7", "abcd:1234", "Acme Stick") + " - busid 1-9 (abcd:1234)\n\n"
        << Rows();
    QTest::newRow("remote: the host as listed")
        << "remote" << ToolOutput::read("list-remote-two-sticks.txt")
        << Rows{{"1-1", "Cruzer Blade", "0781", "5567", "NAS"},
                {"3-12", "Platinum HD 4GB", "13fe", "4200", "NAS"}};
    QTest::newRow("port: two hosts")
        << "port"
        << portHeader + portBlock("00", sandisk, "127.0.0.5:3240/1-1")
               + portBlock("01", "unknown vendor : unknown product (dead:beef)", "nas:3240/2-1")
        << Rows{{"1-1", "Cruzer Blade", "0781", "5567", "127.0.0.5"},
                {"2-1", "unknown product", "dead", "beef", "nas"}};
    QTest::newRow("port: three lines or no ids: no record")
        << "port"
        << portHeader + "Port 02: <Port in Use> at High Speed(480Mbps)\n       " + sandisk
               + "\n       3-1 -> usbip://127.0.0.6:3240/1-4\n"
               + portBlock("04", "Acme : Stick", "127.0.0.7:3240/1-1")
        << Rows();
    QTest::newRow("port: IPv6 host up to the port's colon")
        << "port" << portHeader + portBlock("05", sandisk, "fd00::5:3240/1-1")
        << Rows{{"1-1", "Cruzer Blade", "0781", "5567", "fd00::5"}};
}

void TestUsbDevice::records()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, output);
    const QString text = QString::fromLocal8Bit(output);
    const QList<UsbDevice> devices = kind == "local"  ? localDevices(text)
                                   : kind == "remote" ? exportedDevices(text, QStringLiteral("NAS"))
                                                      : attachedDevices(text);
    QTEST(rows(devices), "expected");
    for (const UsbDevice &device : devices)
        QVERIFY(device.isValid());
}

void TestUsbDevice::ports_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected"); // "port device-id"

    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("header only") << portHeader << QStringList();
    QTest::newRow("two ports, 00 stays text, hub bus id whole")
        << portHeader + portBlock("00", sandisk, "127.0.0.5:3240/1-1")
               + portBlock("01", "Acme : Stick (dead:beef)", "nas:3240/2-1.2")
        << QStringList{"00 127.0.0.5/1-1/0781:5567", "01 nas/2-1.2/dead:beef"};
    QTest::newRow("three lines are enough")
        << portHeader + "Port 02: <Port in Use> at High Speed(480Mbps)\n       " + sandisk
               + "\n       3-1 -> usbip://127.0.0.6:3240/1-4\n"
        << QStringList{"02 127.0.0.6/1-4/0781:5567"};
    QTest::newRow("no ids: an empty vid:pid")
        << portHeader + portBlock("04", "Acme : Stick", "127.0.0.7:3240/1-1")
        << QStringList{"04 127.0.0.7/1-1/"};
    QTest::newRow("two lines, or a broken bus id: no port")
        << portHeader + "Port 00: <Port in Use> at High Speed(480Mbps)\n       " + sandisk + "\n"
               + portBlock("03", sandisk, "127.0.0.7:3240/1-1;x")
        << QStringList();
}

void TestUsbDevice::ports()
{
    QFETCH(QByteArray, text);
    QStringList found;
    const QList<AttachedPort> ports = attachedPorts(QString::fromLatin1(text));
    for (const AttachedPort &port : ports)
        found.append(port.port + ' ' + port.device.text);
    QTEST(found, "expected");
}

void TestUsbDevice::matches_data()
{
    QTest::addColumn<QString>("rowHost");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("expected");

    // The same device under every name of its host.
    QTest::newRow("same text") << "nas"
                               << "nas/1-1/0781:5567" << true;
    QTest::newRow("names compare without case") << "nas"
                                                << "NAS/1-1/0781:5567" << true;
    QTest::newRow("a short and a long name of one address") << "nas"
                                                            << "nas.lan/1-1/0781:5567" << true;
    QTest::newRow("a line written with an older name of the host")
        << "10.9.8.7"
        << "old-name.lan/1-1/0781:5567" << true;
    QTest::newRow("a scan's address row and a port of a name") << "10.9.8.7"
                                                               << "nas/1-1/0781:5567" << true;
    QTest::newRow("a name's row and a port of its address") << "NAS"
                                                            << "10.9.8.7/1-1/0781:5567" << true;
    QTest::newRow("IPv6 written two ways") << "fd00:0::5"
                                           << "six.lan/1-1/0781:5567" << true;
    QTest::newRow("a line without a vid:pid names the device by host and bus id")
        << "nas"
        << "nas/1-1/" << true;
    // Not the same device.
    QTest::newRow("another host") << "nas"
                                  << "other/1-1/0781:5567" << false;
    QTest::newRow("another bus id") << "nas"
                                    << "nas/1-1.2/0781:5567" << false;
    QTest::newRow("another product") << "nas"
                                     << "nas/1-1/0781:5568" << false;
    QTest::newRow("an unknown name is only itself") << "gone.lan"
                                                    << "GONE.lan/1-1/0781:5567" << true;
    QTest::newRow("two unknown names are not one host") << "gone.lan"
                                                        << "lost.lan/1-1/0781:5567" << false;
    QTest::newRow("not a device id") << "nas"
                                     << "nas/1-1" << false;
}

void TestUsbDevice::matches()
{
    QFETCH(QString, rowHost);
    QFETCH(QString, id);
    const QList<UsbDevice> devices =
        exportedDevices(QString::fromLatin1(ToolOutput::remoteHeader(rowHost.toLatin1())
                                            + remoteBlock("1-1", sandisk)),
                        rowHost);
    QCOMPARE(devices.size(), 1);
    const DeviceId parsed = DeviceId::parse(id);
    const DeviceMatch match({rowHost, parsed.host});
    QTEST(match.matches(devices.first(), parsed), "expected");
    const QList<DeviceId> ids{DeviceId::parse(QStringLiteral("other/9-9/0000:0000")), parsed};
    const DeviceId *found = match.find(devices.first(), ids);
    QCOMPARE(found != nullptr, match.matches(devices.first(), parsed));
    if (found)
        QCOMPARE(found->text, id);
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usbdevice.moc"
