// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The simulated usbip tool of the sandbox, run as a process: its output must
// be the real tool's, byte for byte, and its world must survive concurrent
// runs.

#include "tooloutput.h"
#include "usbippeer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

struct Run
{
    QByteArray out;
    QByteArray err;
    int exitCode = -1;
};

QJsonObject device(const QString &busid, const QString &vid, const QString &pid,
                   const QString &vendor, const QString &product, int devnum = 2)
{
    return QJsonObject{{QStringLiteral("busid"), busid},     {QStringLiteral("vendorId"), vid},
                       {QStringLiteral("productId"), pid},   {QStringLiteral("vendor"), vendor},
                       {QStringLiteral("product"), product}, {QStringLiteral("busnum"), 1},
                       {QStringLiteral("devnum"), devnum}};
}

// A world with one local stick and a mouse, a host with two devices (one
// behind a hub, one with ids the database does not know) and an empty host.
QByteArray standardWorld()
{
    QJsonObject stick =
        device(QStringLiteral("1-1"), QStringLiteral("090c"), QStringLiteral("1000"),
               QStringLiteral("Silicon Motion, Inc. - Taiwan (formerly Feiya Technology Corp.)"),
               QStringLiteral("Flash Drive"));
    QJsonObject mouse =
        device(QStringLiteral("1-3"), QStringLiteral("046d"), QStringLiteral("c077"),
               QStringLiteral("Logitech, Inc."), QStringLiteral("Mouse"));
    mouse.insert(QStringLiteral("path"),
                 QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3"));
    mouse.insert(QStringLiteral("interfaces"),
                 QJsonArray{QStringLiteral(
                     "Human Interface Device / Boot Interface Subclass / Mouse (03/01/02)")});
    QJsonObject cruzer =
        device(QStringLiteral("1-1"), QStringLiteral("0781"), QStringLiteral("5567"),
               QStringLiteral("SanDisk Corp."), QStringLiteral("Cruzer Blade"));
    QJsonObject hubbed = device(QStringLiteral("1-1.2"), QStringLiteral("dead"),
                                QStringLiteral("beef"), QString(), QString(), 5);
    hubbed.insert(QStringLiteral("path"),
                  QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2"));
    hubbed.insert(QStringLiteral("speed"), 5);
    hubbed.insert(
        QStringLiteral("interfaces"),
        QJsonArray{QStringLiteral("Mass Storage / SCSI / Bulk-Only (08/06/50)"),
                   QStringLiteral(
                       "Vendor Specific Class / unknown subclass / unknown protocol (ff/ff/ff)")});
    const QJsonObject world{
        {QStringLiteral("localDevices"), QJsonArray{stick, mouse}},
        {QStringLiteral("hosts"),
         QJsonObject{{QStringLiteral("127.0.4.1"),
                      QJsonObject{{QStringLiteral("devices"), QJsonArray{cruzer, hubbed}}}},
                     {QStringLiteral("127.0.4.2"), QJsonObject{}}}}};
    return QJsonDocument(world).toJson();
}

// What the real tool prints for the same devices.
const QByteArray stickList = ToolOutput::read(QStringLiteral("list-local-dash-vendor.txt"));
const QByteArray hostList = ToolOutput::read(QStringLiteral("list-remote-hub.txt"));
const QByteArray portHeader = ToolOutput::read(QStringLiteral("port-none.txt"));

} // namespace

class TestSimUsbip : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString statePath() const { return m_dir.filePath(QStringLiteral("world.json")); }

    void writeWorld(const QByteArray &json)
    {
        QFile file(statePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(json);
    }

    QByteArray readWorld() const
    {
        QFile file(statePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    Run run(const QStringList &arguments, const QString &state = QString()) const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("OVRA_SIM_STATE"), state.isNull() ? statePath() : state);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(OVRA_SIM_USBIP), arguments);
        Run result;
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFile::exists(QStringLiteral(OVRA_SIM_USBIP)), OVRA_SIM_USBIP);
    }

    void init() { writeWorld(standardWorld()); }

    // One command on the standard world: exact output, error text and exit code.
    void command_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("exitCode");

        QTest::newRow("list -l") << QStringList{"list", "-l"} << stickList << QByteArray() << 0;
        QTest::newRow("list --local")
            << QStringList{"list", "--local"} << stickList << QByteArray() << 0;
        QTest::newRow("list -p -l")
            << QStringList{"list", "-p", "-l"}
            << QByteArray("busid=1-1#usbid=090c:1000#\nbusid=1-3#usbid=046d:c077#\n")
            << QByteArray() << 0;
        QTest::newRow("list -l -p")
            << QStringList{"list", "-l", "-p"}
            << QByteArray("busid=1-1#usbid=090c:1000#\nbusid=1-3#usbid=046d:c077#\n")
            << QByteArray() << 0;
        QTest::newRow("list -r host")
            << QStringList{"list", "-r", "127.0.4.1"} << hostList << QByteArray() << 0;
        QTest::newRow("list --remote=host")
            << QStringList{"list", "--remote=127.0.4.1"} << hostList << QByteArray() << 0;
        QTest::newRow("list -r host exporting nothing")
            << QStringList{"list", "-r", "127.0.4.2"} << QByteArray()
            << QByteArray("usbip: info: no exportable devices found on 127.0.4.2\n") << 0;
        QTest::newRow("list -r unknown host")
            << QStringList{"list", "-r", "127.0.4.77"} << QByteArray()
            << QByteArray("usbip: error: could not connect to 127.0.4.77:3240: System error\n")
            << 1;
        QTest::newRow("list -r other tcp port")
            << QStringList{"--tcp-port", "3241", "list", "-r", "127.0.4.1"} << QByteArray()
            << QByteArray("usbip: info: using port 3241 (\"3241\")\n"
                          "usbip: error: could not connect to 127.0.4.1:3241: System error\n")
            << 1;
        QTest::newRow("list -r localhost, nothing bound")
            << QStringList{"list", "-r", "localhost"} << QByteArray()
            << QByteArray("usbip: info: no exportable devices found on localhost\n") << 0;
        QTest::newRow("port, nothing attached")
            << QStringList{"port"} << portHeader << QByteArray() << 0;
        QTest::newRow("bind unknown bus id")
            << QStringList{"bind", "-b", "9-9"} << QByteArray()
            << QByteArray("usbip: error: device with the specified bus ID does not exist\n") << 1;
        QTest::newRow("bind") << QStringList{"bind", "-b", "1-1"} << QByteArray()
                              << QByteArray("usbip: info: bind device on busid 1-1: complete\n")
                              << 0;
        QTest::newRow("unbind of a device not bound")
            << QStringList{"unbind", "-b", "1-1"} << QByteArray()
            << QByteArray("usbip: error: device is not bound to usbip-host driver\n") << 1;
        QTest::newRow("unbind unknown bus id")
            << QStringList{"unbind", "--busid=9-9"} << QByteArray()
            << QByteArray("usbip: error: device with the specified bus ID does not exist\n") << 1;
        QTest::newRow("attach of a bus id the host does not export")
            << QStringList{"attach", "-r", "127.0.4.1", "-b", "3-3"} << QByteArray()
            << QByteArray("usbip: error: Attach Request for 3-3 failed - Device not found\n\n")
            << 1;
        QTest::newRow("attach to a host that does not exist")
            << QStringList{"attach", "-r", "127.0.4.77", "-b", "1-1"} << QByteArray()
            << QByteArray("usbip: error: tcp connect\n") << 1;
        QTest::newRow("attach on another tcp port")
            << QStringList{"--tcp-port", "3241", "attach", "-r", "127.0.4.1", "-b", "1-1"}
            << QByteArray()
            << QByteArray("usbip: info: using port 3241 (\"3241\")\nusbip: error: tcp connect\n")
            << 1;
        QTest::newRow("attach") << QStringList{"attach", "-r", "127.0.4.1", "-b", "1-1"}
                                << QByteArray() << QByteArray() << 0;
        QTest::newRow("detach of a free port")
            << QStringList{"detach", "-p", "3"} << QByteArray()
            << QByteArray("usbip: info: Port 3 is already detached!\n\n") << 0;
        QTest::newRow("detach of port '' (port 0)")
            << QStringList{"detach", "-p", ""} << QByteArray()
            << QByteArray("usbip: info: Port 0 is already detached!\n\n") << 0;
        QTest::newRow("detach of port 259 (port 3)")
            << QStringList{"detach", "-p", "259"} << QByteArray()
            << QByteArray("usbip: info: Port 3 is already detached!\n\n") << 0;
        // Debian's kernel: 8 controllers of 15 high-speed and 15 super-speed ports.
        QTest::newRow("detach of a free port of the second controller")
            << QStringList{"detach", "-p", "30"} << QByteArray()
            << QByteArray("usbip: info: Port 30 is already detached!\n\n") << 0;
        QTest::newRow("detach of the last port")
            << QStringList{"detach", "-p", "239"} << QByteArray()
            << QByteArray("usbip: info: Port 239 is already detached!\n\n") << 0;
        QTest::newRow("detach of a port beyond the last")
            << QStringList{"detach", "-p", "250"} << QByteArray()
            << QByteArray("usbip: error: Invalid port 250 > maxports 240\n") << 1;
        QTest::newRow("detach of port 496 (port 240)")
            << QStringList{"detach", "-p", "496"} << QByteArray()
            << QByteArray("usbip: error: Invalid port 496 > maxports 240\n") << 1;
        QTest::newRow("detach of a port that is no number")
            << QStringList{"detach", "-p", "x"} << QByteArray()
            << QByteArray("usbip: error: invalid port x\n") << 1;
        QTest::newRow("unknown command")
            << QStringList{"frobnicate"} << QByteArray() << QByteArray() << 1;
    }

    void command()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, exitCode);

        const Run result = run(arguments);
        if (QByteArray(QTest::currentDataTag()) == "unknown command") {
            QVERIFY(result.out.startsWith("usage: usbip"));
        } else {
            QCOMPARE(result.out, out);
        }
        QCOMPARE(result.err, err);
        QCOMPARE(result.exitCode, exitCode);
    }

    // A command that fails changes nothing in the world.
    void failuresLeaveTheWorldAlone_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("bind unknown") << QStringList{"bind", "-b", "9-9"} << 1;
        QTest::newRow("unbind not bound") << QStringList{"unbind", "-b", "1-1"} << 1;
        QTest::newRow("attach unexported")
            << QStringList{"attach", "-r", "127.0.4.1", "-b", "4-4"} << 1;
        QTest::newRow("detach free") << QStringList{"detach", "-p", "0"} << 0;
    }

    void failuresLeaveTheWorldAlone()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const QByteArray before = readWorld();
        QCOMPARE(run(arguments).exitCode, exitCode);
        QCOMPARE(readWorld(), before);
    }

    // Bound devices are what this machine exports, and only while bound.
    void boundDevicesAreExported()
    {
        QCOMPARE(run({"bind", "-b", "1-1"}).exitCode, 0);
        const Run again = run({"bind", "-b", "1-1"});
        QCOMPARE(again.exitCode, 1);
        QCOMPARE(again.err,
                 QByteArray("usbip: error: device on busid 1-1 is already bound to usbip-host\n"));

        const Run exported = run({"list", "-r", "localhost"});
        QCOMPARE(exported.exitCode, 0);
        QCOMPARE(exported.out, ToolOutput::read(QStringLiteral("list-remote-dash-vendor.txt")));
        // `list -l` lists every device, bound or not.
        QCOMPARE(run({"list", "-l"}).out, stickList);

        const Run unbind = run({"unbind", "-b", "1-1"});
        QCOMPARE(unbind.exitCode, 0);
        QCOMPARE(unbind.err, QByteArray("usbip: info: unbind device on busid 1-1: complete\n"));
        QCOMPARE(run({"list", "-r", "localhost"}).out, QByteArray());
    }

    // Attached devices take the first free port of their speed's hub and
    // show in `port` exactly as the real tool prints them.
    void attachAndDetach()
    {
        QCOMPARE(run({"attach", "-r", "127.0.4.1", "-b", "1-1"}).exitCode, 0);
        QCOMPARE(run({"attach", "--remote=127.0.4.1", "--busid=1-1.2"}).exitCode, 0);
        const Run busy = run({"attach", "-r", "127.0.4.1", "-b", "1-1"});
        QCOMPARE(busy.exitCode, 1);
        QCOMPARE(busy.err,
                 QByteArray(
                     "usbip: error: Attach Request for 1-1 failed - Device busy (exported)\n\n"));
        // A device in use is no longer listed by its host.
        QVERIFY(!run({"list", "-r", "127.0.4.1"}).out.contains("1-1: SanDisk"));

        const QByteArray both = ToolOutput::read(QStringLiteral("port-two-attached.txt"));
        QCOMPARE(run({"port"}).out, both);

        const Run detach = run({"detach", "-p", "00"});
        QCOMPARE(detach.exitCode, 0);
        QCOMPARE(detach.err, QByteArray("usbip: info: Port 0 is now detached!\n\n"));
        QVERIFY(!run({"port"}).out.contains("Port 00"));
        QCOMPARE(run({"detach", "--port=15"}).exitCode, 0);
        QCOMPARE(run({"port"}).out, portHeader);
    }

    // The part of sysfs the Manager reads, and the records of `usbip
    // attach`, follow the world as the kernel and the real tool would.
    void mirrorFollowsTheWorld_data()
    {
        QTest::addColumn<QList<QStringList>>("commands");
        QTest::addColumn<QStringList>("inUse"); // lines of vhci_hcd.0/status
        QTest::addColumn<QStringList>("records"); // "portN: content"
        QTest::addColumn<QString>("driver"); // of the local device 1-1

        const QStringList attach{"attach", "-r", "127.0.4.1", "-b", "1-1"};
        const QString record = QStringLiteral("port0: 127.0.4.1 3240 1-1\n");
        const QString used = QStringLiteral("hs  0000 006 003 00010002 000003 3-1");
        QTest::newRow("as written")
            << QList<QStringList>() << QStringList() << QStringList() << "usb";
        QTest::newRow("attached") << QList<QStringList>{attach} << QStringList{used}
                                  << QStringList{record} << "usb";
        QTest::newRow("attached at SuperSpeed behind a hub")
            << QList<QStringList>{{"attach", "-r", "127.0.4.1", "-b", "1-1.2"}}
            << QStringList{"ss  0015 006 005 00010005 000018 4-1"}
            << QStringList{"port15: 127.0.4.1 3240 1-1.2\n"} << "usb";
        QTest::newRow("detached") << QList<QStringList>{attach, {"detach", "-p", "0"}}
                                  << QStringList() << QStringList() << "usb";
        QTest::newRow("dropped by the kernel") << QList<QStringList>{attach, {"sim-drop", "0"}}
                                               << QStringList() << QStringList{record} << "usb";
        QTest::newRow("bound") << QList<QStringList>{{"bind", "-b", "1-1"}} << QStringList()
                               << QStringList() << "usbip-host";
        QTest::newRow("bound and unbound")
            << QList<QStringList>{{"bind", "-b", "1-1"}, {"unbind", "-b", "1-1"}} << QStringList()
            << QStringList() << "usb";
    }

    void mirrorFollowsTheWorld()
    {
        QFETCH(QList<QStringList>, commands);
        QTemporaryDir folder;
        const QString sysfs = folder.filePath(QStringLiteral("sys"));
        const QString records = folder.filePath(QStringLiteral("run"));
        QCOMPARE(run({"sim-sysfs", sysfs, records}).exitCode, 0);
        for (const QStringList &command : commands)
            QCOMPARE(run(command).exitCode, 0);

        QFile status(sysfs + QStringLiteral("/devices/platform/vhci_hcd.0/status"));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromLatin1(status.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), QStringLiteral("hub port sta spd dev      sockfd local_busid"));
        QCOMPARE(lines.size(), 1 + 30 + 1);
        QStringList inUse;
        for (const QString &line : lines) {
            if (line.mid(9, 3) == QLatin1String("006"))
                inUse << line;
        }
        QTEST(inUse, "inUse");
        QStringList found;
        for (const QString &name : QDir(records).entryList(QDir::Files)) {
            QFile file(records + QLatin1Char('/') + name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            found << name + QStringLiteral(": ") + QString::fromUtf8(file.readAll());
        }
        QTEST(found, "records");
        const QString link = sysfs + QStringLiteral("/bus/usb/devices/1-1/driver");
        QTEST(QFileInfo(QFileInfo(link).symLinkTarget()).fileName(), "driver");
        QFile vendor(sysfs + QStringLiteral("/bus/usb/devices/1-1/idVendor"));
        QVERIFY(vendor.open(QIODevice::ReadOnly));
        QCOMPARE(vendor.readAll(), QByteArray("090c\n"));
        // sim-drop of a free port changes nothing.
        QCOMPARE(run({"sim-drop", "7"}).exitCode, 1);
    }

    // A full hub sends the device to the next controller's hub of its speed,
    // which has root hubs of its own; sysfs counts every controller's ports.
    void fullHubTakesTheNextController()
    {
        QJsonArray devices;
        for (int i = 1; i <= 3; ++i)
            devices.append(device(QStringLiteral("1-%1").arg(i), QStringLiteral("0781"),
                                  QStringLiteral("5567"), QStringLiteral("SanDisk Corp."),
                                  QStringLiteral("Cruzer Blade")));
        const QJsonObject host{{QStringLiteral("devices"), devices}};
        const QJsonObject world{{QStringLiteral("controllers"), 2},
                                {QStringLiteral("portCount"), 1},
                                {QStringLiteral("hosts"),
                                 QJsonObject{{QStringLiteral("127.0.4.1"), host}}}};
        writeWorld(QJsonDocument(world).toJson());
        QCOMPARE(run({"attach", "-r", "127.0.4.1", "-b", "1-1"}).exitCode, 0);
        QCOMPARE(run({"attach", "-r", "127.0.4.1", "-b", "1-2"}).exitCode, 0);
        const QByteArray ports = run({"port"}).out;
        QVERIFY2(ports.contains("Port 00: <Port in Use>"), ports.constData());
        QVERIFY2(ports.contains("       3-1 -> usbip://127.0.4.1:3240/1-1\n"), ports.constData());
        QVERIFY2(ports.contains("Port 02: <Port in Use>"), ports.constData());
        QVERIFY2(ports.contains("       5-1 -> usbip://127.0.4.1:3240/1-2\n"), ports.constData());
        QCOMPARE(run({"attach", "-r", "127.0.4.1", "-b", "1-3"}).exitCode, 1);
        QCOMPARE(run({"detach", "-p", "4"}).err,
                 QByteArray("usbip: error: Invalid port 4 > maxports 4\n"));

        const QString sysfs = m_dir.filePath(QStringLiteral("sys"));
        QCOMPARE(run({"sim-sysfs", sysfs}).exitCode, 0);
        QFile nports(sysfs + QStringLiteral("/devices/platform/vhci_hcd.0/nports"));
        QVERIFY(nports.open(QIODevice::ReadOnly));
        QCOMPARE(nports.readAll(), QByteArray("4\n"));
    }

    // Without the vhci driver `port` fails with nothing on standard output;
    // without usbip-host nothing can be bound.
    void withoutModules()
    {
        QJsonObject world = QJsonDocument::fromJson(standardWorld()).object();
        world.insert(QStringLiteral("vhci"), false);
        world.insert(QStringLiteral("usbipHost"), false);
        writeWorld(QJsonDocument(world).toJson());
        const QByteArray noVhci = "libusbip: error: udev_device_new_from_subsystem_sysname failed\n"
                                  "usbip: error: open vhci_driver\n";
        const Run port = run({"port"});
        QCOMPARE(port.exitCode, 1);
        QCOMPARE(port.out, QByteArray());
        QCOMPARE(port.err, noVhci + "usbip: error: list imported devices\n");
        const Run attach = run({"attach", "-r", "127.0.4.1", "-b", "1-1"});
        QCOMPARE(attach.exitCode, 1);
        QCOMPARE(attach.err, noVhci);
        QCOMPARE(run({"detach", "-p", "0"}).err, noVhci);
        const Run bind = run({"bind", "-b", "1-1"});
        QCOMPARE(bind.exitCode, 1);
        QCOMPARE(bind.err, QByteArray("usbip: error: unable to bind device on 1-1\n"));
    }

    // A machine without USB (and an empty state file) lists nothing.
    void emptyWorld()
    {
        writeWorld(QByteArray());
        const Run list = run({"list", "-l"});
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out, QByteArray());
        QCOMPARE(list.err, QByteArray());
    }

    // A broken state file is reported and left as it was.
    void brokenWorld()
    {
        writeWorld("{ not json");
        const Run bind = run({"bind", "-b", "1-1"});
        QCOMPARE(bind.exitCode, 1);
        QVERIFY2(bind.err.startsWith("usbip: error: simulated world"), bind.err.constData());
        QCOMPARE(readWorld(), QByteArray("{ not json"));
        // Without a world named at all the tool refuses to run.
        QCOMPARE(run({"list", "-l"}, QStringLiteral("")).exitCode, 1);
    }

    // The Manager service and the program run the tool at the same time:
    // concurrent read-modify-write runs must not lose each other's changes.
    void concurrentRunsKeepEveryChange()
    {
        const int count = 8;
        QJsonObject hosts;
        for (int i = 0; i < count; ++i) {
            hosts.insert(QStringLiteral("127.0.4.%1").arg(10 + i),
                         QJsonObject{
                             {QStringLiteral("devices"),
                              QJsonArray{device(QStringLiteral("1-1"), QStringLiteral("0781"),
                                                QStringLiteral("5567"),
                                                QStringLiteral("SanDisk Corp."),
                                                QStringLiteral("Cruzer Blade"))}}});
        }
        writeWorld(QJsonDocument(QJsonObject{{QStringLiteral("hosts"), hosts},
                                             {QStringLiteral("controllers"), 1},
                                             {QStringLiteral("portCount"), count}})
                       .toJson());

        std::vector<std::unique_ptr<QProcess>> processes;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("OVRA_SIM_STATE"), statePath());
        for (int i = 0; i < count; ++i) {
            auto process = std::make_unique<QProcess>();
            process->setProcessEnvironment(environment);
            process->start(QStringLiteral(OVRA_SIM_USBIP),
                           {QStringLiteral("attach"), QStringLiteral("-r"),
                            QStringLiteral("127.0.4.%1").arg(10 + i), QStringLiteral("-b"),
                            QStringLiteral("1-1")});
            processes.push_back(std::move(process));
        }
        for (auto &process : processes) {
            QVERIFY(process->waitForFinished(30000));
            QCOMPARE(process->exitCode(), 0);
        }
        const QByteArray ports = run({"port"}).out;
        for (int i = 0; i < count; ++i) {
            QVERIFY2(ports.contains(
                         QStringLiteral("Port %1:").arg(i, 2, 10, QLatin1Char('0')).toLatin1()),
                     ports.constData());
            QVERIFY2(ports.contains(
                         QStringLiteral("usbip://127.0.4.%1:3240/1-1").arg(10 + i).toLatin1()),
                     ports.constData());
        }
        // Every high-speed port is taken now.
        const Run full = run({"attach", "-r", "127.0.4.10", "-b", "1-1"});
        QCOMPARE(full.exitCode, 1);
    }

    // A host marked "real" is answered by the real tool talking to a peer on
    // the host's address; attaching to it takes the names the real tool printed.
    void realHostGoesToTheRealTool()
    {
        const QString real = QStringLiteral("/usr/sbin/usbip");
        if (!QFile::exists(real))
            QSKIP("the real usbip tool is not installed");
        const QString address = QStringLiteral("127.0.4.99");
        UsbIpPeer peer;
        peer.setDevices({UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567)});
        if (!peer.listen(address))
            QFAIL(qPrintable(peer.errorString()));

        QJsonObject world = QJsonDocument::fromJson(standardWorld()).object();
        QJsonObject hosts = world.value(QStringLiteral("hosts")).toObject();
        hosts.insert(address, QJsonObject{{QStringLiteral("real"), true}});
        // The same device, simulated.
        hosts.insert(QStringLiteral("127.0.4.98"),
                     QJsonObject{
                         {QStringLiteral("devices"),
                          QJsonArray{device(QStringLiteral("1-1"), QStringLiteral("0781"),
                                            QStringLiteral("5567"), QStringLiteral("SanDisk Corp."),
                                            QStringLiteral("Cruzer Blade"))}}});
        world.insert(QStringLiteral("hosts"), hosts);
        writeWorld(QJsonDocument(world).toJson());

        QProcess tool;
        tool.start(real, {QStringLiteral("list"), QStringLiteral("-r"), address});
        QVERIFY(tool.waitForFinished(30000));
        const QByteArray expected = tool.readAllStandardOutput();
        QVERIFY2(expected.contains("0781:5567"), expected.constData());

        const Run passedOn = run({"list", "-r", address});
        QCOMPARE(passedOn.exitCode, 0);
        QCOMPARE(passedOn.out, expected);

        // The simulated listing of the same device is the real tool's, byte for byte.
        const Run simulated = run({"list", "-r", "127.0.4.98"});
        QCOMPARE(simulated.out, QByteArray(expected).replace(" - 127.0.4.99\n", " - 127.0.4.98\n"));

        QCOMPARE(run({"attach", "-r", address, "-b", "1-1"}).exitCode, 0);
        const QByteArray ports = run({"port"}).out;
        QVERIFY2(ports.contains("SanDisk Corp. : Cruzer Blade (0781:5567)\n"), ports.constData());
        QVERIFY2(ports.contains("-> usbip://127.0.4.99:3240/1-1\n"), ports.constData());
        QCOMPARE(run({"attach", "-r", address, "-b", "2-2"}).exitCode, 1);
    }
};

QTEST_GUILESS_MAIN(TestSimUsbip)
#include "tst_simusbip.moc"
