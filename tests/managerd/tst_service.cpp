// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The Manager service as it runs: the built executable on a private system
// bus, with the fake usbip tool first on PATH, a fake polkit authority, a
// fake Avahi and a temporary configuration folder.

#include "fakeavahi.h"
#include "fakepolkit.h"
#include "fakeusbip.h"
#include "managerprocess.h"
#include "ovrausbipmanager.h"
#include "privatebus.h"
#include "shareaccess.h"
#include "testenvironment.h"
#include "tooloutput.h"
#include "usbippeer.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <signal.h>

Q_DECLARE_METATYPE(QList<QStringList>)

namespace {

const QString SharedFile = QStringLiteral("shared-usb-devices");
const QString RemoteFile = QStringLiteral("remote-usb-devices");
const QString AccessFile = QStringLiteral("share-access");
const QByteArray Missing = "<missing>";
const QByteArray Unreadable = "<a folder>";
// Generous, so that a loaded machine does not make the fake tool look hung.
constexpr int ToolTimeoutMs = 3000;
// Longer than the service keeps a port table for PortsInfo.
constexpr int PortsTableAgeMs = 300;
const char ModuleUnavailable[] = "org.ovra.admin.usbip.Error.ModuleUnavailable";
const char AccessNotApplied[] = "org.ovra.admin.usbip.Error.AccessNotApplied";
const char AccessListBroken[] = "org.ovra.admin.usbip.Error.AccessListBroken";

QByteArray accessFile(bool restricted, const QStringList &hosts)
{
    return Access::fileContent({restricted, hosts});
}

QByteArray accessScript(bool restricted, const QStringList &hosts)
{
    return Access::nftScript({restricted, hosts});
}

// "true 192.168.1.0/24 fd00::1", or the bus error's name and message.
QString shareAccess()
{
    const QDBusMessage reply = ManagerProcess::call(QStringLiteral("ShareAccess"), {});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return reply.errorName() + QLatin1Char(' ') + reply.errorMessage();
    return (QStringList{reply.arguments().value(0).toBool() ? QStringLiteral("true")
                                                            : QStringLiteral("false")}
            + reply.arguments().value(1).toStringList())
        .join(QLatin1Char(' '));
}

QList<pid_t> processesWith(const QByteArray &text)
{
    QList<pid_t> found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(text))
            found << pid.toInt();
    }
    return found;
}

bool sleepingChildLeft()
{
    return !processesWith("61.234").isEmpty();
}

// The constant connection the healing tests watch, and its host's listings.
const QString HealHost = QStringLiteral("127.0.3.21");
const QString HealId = QStringLiteral("127.0.3.21/1-1/abcd:1234");
const QStringList ListHeal{"list", "-r", "127.0.3.21"};
const QStringList AttachHeal{"attach", "-r", "127.0.3.21", "-b", "1-1"};
const QByteArray Exported = ToolOutput::remoteHeader("127.0.3.21")
                          + ToolOutput::remoteBlock("1-1", "Acme : Stick (abcd:1234)");
// Longer than the healing's first retries (at 0, 2 and 6 s after a loss).
constexpr int BackoffWindowMs = 7000;

// The calls that attach or detach.
QList<QStringList> attachesAndDetaches(const QList<QStringList> &calls)
{
    QList<QStringList> found;
    for (const QStringList &call : calls) {
        if (call.value(0) == QLatin1String("attach") || call.value(0) == QLatin1String("detach"))
            found << call;
    }
    return found;
}

} // namespace

// Receives the Error and ConnectionChanged signals of the service.
class ErrorReceiver : public QObject
{
    Q_OBJECT
public:
    QList<QStringList> errors;
    QStringList changes; // "device id true|false"
public Q_SLOTS:
    void onError(const QString &error, const QString &message) { errors.append({error, message}); }
    void onConnectionChanged(const QString &deviceId, bool attached)
    {
        changes.append(deviceId + (attached ? QStringLiteral(" true") : QStringLiteral(" false")));
    }
};

class ServiceTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void shareAndUnshare_data();
    void shareAndUnshare();
    void connectAndDisconnect_data();
    void connectAndDisconnect();
    void createsMissingFolder();
    void portsInfo_data();
    void portsInfo();
    void portsInfoCallsShareOneRun();
    void portsInfoFlood();
    void kernelState_data();
    void kernelState();
    void constantShareNamesOneDevice();
    void toolFailure_data();
    void toolFailure();
    void hangingToolIsStopped();
    void badInput_data();
    void badInput();
    void malformedMessagesLeaveServiceUp();
    void authorisation_data();
    void authorisation();
    void deniedRunsNothing_data();
    void deniedRunsNothing();
    void missingAuthorityDenies();
    void slowAuthorisation_data();
    void slowAuthorisation();
    void unreadableFileIsNotOverwritten();
    void setShareAccess_data();
    void setShareAccess();
    void shareAccessNotApplied_data();
    void shareAccessNotApplied();
    void shareAccessAtStart_data();
    void shareAccessAtStart();
    void shareAccessChangesInOrder();
    void concurrentClientsLoseNoUpdate();
    void restoreAtStart();
    void announcement_data();
    void announcement();
    void announcementFollowsAvahi();
    void nameCollision_data();
    void nameCollision();
    void stopsCleanly();
    void killedWhileToolStarts();
    void secondInstanceSaysWhy();
    void connectionHealing_data();
    void connectionHealing();
    void disconnectStopsHealing_data();
    void disconnectStopsHealing();
    void listChangedBehindTheBack_data();
    void listChangedBehindTheBack();
    void shareHealing_data();
    void shareHealing();

private:
    QString recordsFile() const
    {
        return m_service.stateDir() + QStringLiteral("/shared-device-serials");
    }
    void setFile(const QString &name, const QByteArray &content);
    QByteArray file(const QString &name) const;
    bool restartService();
    // Restarts the service with these devices shared already.
    bool restartSharing(const QStringList &shared);
    // What the service announces, as the fake Avahi has it, one line each:
    // "name type port txt...".
    QString announced() const;
    // The service with healing, watching `lines` as its constant
    // connections; HealId attached on port 0 when `attached`. Attaching
    // HealId takes port 0, detaching port 0 frees it.
    bool startHealing(const QByteArray &lines, bool attached);
    // Whether HealHost exports HealId's device (listed, attachable) or not.
    void exportHeal(bool exported, int attachDelayMs = 0);

    PrivateBus m_bus;
    TestEnvironment m_env;
    FakeUsbip m_usbip;
    FakePolkit m_polkit;
    FakeAvahi m_avahi;
    ManagerProcess m_service;
    ErrorReceiver m_receiver;
    UsbIpPeer m_peer; // HealHost's USB/IP server, for the healing's probe
    bool m_healing = false; // the service runs with healing
};

void ServiceTest::setFile(const QString &name, const QByteArray &content)
{
    if (content == Missing)
        m_env.removeConfigFile(name);
    else
        m_env.writeConfigFile(name, content);
}

QByteArray ServiceTest::file(const QString &name) const
{
    return QFile::exists(m_env.configDir() + QLatin1Char('/') + name) ? m_env.readConfigFile(name)
                                                                      : Missing;
}

bool ServiceTest::restartService()
{
    m_service.stop();
    // Healing runs tools by itself: only the tests of it have it.
    return m_service.start({QStringLiteral("--config-dir"), m_env.configDir(),
                            QStringLiteral("--tool-timeout"), QString::number(ToolTimeoutMs),
                            QStringLiteral("--no-healing")});
}

void ServiceTest::exportHeal(bool exported, int attachDelayMs)
{
    if (!exported) {
        m_usbip.setResponse(ListHeal, QByteArray());
        m_usbip.setResponse(AttachHeal, QByteArray(),
                            "usbip: error: Attach Request for 1-1 failed - Device not found\n", 1);
        return;
    }
    m_usbip.setResponse(ListHeal, Exported);
    m_usbip.setResponse(AttachHeal, QByteArray(), QByteArray(), 0, attachDelayMs);
    m_usbip.setEffect(AttachHeal, m_service.sysfs().importedScript({{0, HealHost, "1-1"}}));
}

bool ServiceTest::startHealing(const QByteArray &lines, bool attached)
{
    m_service.stop();
    setFile(RemoteFile, lines);
    FakeSysfs &sysfs = m_service.sysfs();
    sysfs.setImported(attached ? QList<FakeSysfs::Imported>{{0, HealHost, "1-1"}}
                               : QList<FakeSysfs::Imported>{});
    // What the restore at start finds attached.
    m_usbip.setResponse({"port"},
                        attached ? ToolOutput::portHeader()
                                       + ToolOutput::portBlock("00", "Acme : Stick (abcd:1234)",
                                                               "127.0.3.21:3240/1-1")
                                 : ToolOutput::portHeader());
    m_usbip.setEffect({"detach", "-p", "0"}, sysfs.importedScript({}) + "rm -f '"
                                                 + sysfs.vhciStateDir().toLocal8Bit()
                                                 + "/port0'\n");
    m_healing = true;
    const int logStart = m_service.log().size();
    if (!m_service.start({QStringLiteral("--config-dir"), m_env.configDir(),
                          QStringLiteral("--tool-timeout"), QString::number(ToolTimeoutMs)}))
        return false;
    // The healing starts after the restore and says what it watches.
    const bool watching =
        lines.isEmpty() || lines == Missing
        || QTest::qWaitFor(
            [&]() {
                return m_service.log().indexOf(QStringLiteral("watching"), logStart) >= 0;
            },
            5000);
    if (!watching)
        return false;
    m_usbip.clearCalls();
    m_receiver.changes.clear();
    return true;
}

bool ServiceTest::restartSharing(const QStringList &shared)
{
    m_service.stop();
    QDir(m_service.sysfs().path() + QStringLiteral("/bus/usb/drivers/usbip-host"))
        .removeRecursively();
    for (const QString &busId : shared)
        m_service.sysfs().setShared(busId, true);
    return restartService();
}

QString ServiceTest::announced() const
{
    QStringList lines;
    const QList<FakeAvahi::Service> services = m_avahi.announced();
    for (const FakeAvahi::Service &service : services) {
        QStringList txt;
        for (const QByteArray &record : service.txt)
            txt << QString::fromUtf8(record);
        lines << QStringLiteral("%1 %2 %3 %4")
                     .arg(service.name, service.type)
                     .arg(service.port)
                     .arg(txt.join(QLatin1Char(' ')));
    }
    return lines.join(QLatin1Char('\n'));
}

void ServiceTest::initTestCase()
{
    QVERIFY2(m_bus.start(), qPrintable(m_bus.errorString()));
    QString error;
    QVERIFY2(m_polkit.start(&error), qPrintable(error));
    QVERIFY2(m_avahi.start(&error), qPrintable(error));
    // The configuration comes from --config-dir, not from the environment.
    qunsetenv("OVRA_USBIP_CONFIG_DIR");
    // The service runs in the plain C locale, as under systemd without LANG.
    qputenv("LC_ALL", "C");
    qunsetenv("LANG");
    QVERIFY2(restartService(), qPrintable(m_service.errorString()));
    QVERIFY(QDBusConnection::systemBus().connect(QLatin1String(OvraUsbIp::ManagerService),
                                                 QLatin1String(OvraUsbIp::ManagerPath),
                                                 QLatin1String(OvraUsbIp::ManagerInterface),
                                                 QStringLiteral("Error"), &m_receiver,
                                                 SLOT(onError(QString, QString))));
    QVERIFY(QDBusConnection::systemBus().connect(QLatin1String(OvraUsbIp::ManagerService),
                                                 QLatin1String(OvraUsbIp::ManagerPath),
                                                 QLatin1String(OvraUsbIp::ManagerInterface),
                                                 QLatin1String(OvraUsbIp::ConnectionChangedSignal),
                                                 &m_receiver,
                                                 SLOT(onConnectionChanged(QString, bool))));
    m_peer.listen(HealHost);
}

void ServiceTest::init()
{
    if (!m_service.isRunning() || m_healing)
        QVERIFY2(restartService(), qPrintable(m_service.errorString()));
    m_healing = false;
    m_usbip.clearResponses();
    m_usbip.clearCalls();
    m_polkit.setAllowed(true);
    m_polkit.setDelay(0);
    m_polkit.clearChecks();
    if (!m_avahi.isRunning())
        QVERIFY(m_avahi.start());
    m_avahi.setHostName(QStringLiteral("ovra-fake"));
    m_avahi.clearServices();
    m_avahi.clearCalls();
    m_service.moduleLoader().clearResponses();
    m_service.moduleLoader().clearCalls();
    m_service.sysfs().setModuleLoaded(QStringLiteral("usbip-host"), true);
    m_service.sysfs().setModuleLoaded(QStringLiteral("vhci-hcd"), true);
    m_service.sysfs().takeProbed();
    m_service.sysfs().setImported({});
    m_peer.setMode(UsbIpPeer::Answer);
    QFile::remove(recordsFile());
    m_env.removeConfigFile(SharedFile);
    m_env.removeConfigFile(RemoteFile);
    m_env.removeConfigFile(AccessFile);
    m_service.nft().clear();
    QCoreApplication::processEvents();
    m_receiver.errors.clear();
    m_receiver.changes.clear();
}

void ServiceTest::cleanupTestCase()
{
    const QString log = m_service.log();
    if (qEnvironmentVariableIsSet("OVRA_SHOW_SERVICE_LOG"))
        qInfo().noquote() << log;
    // Nothing the tests sent made Qt's bus layer (or, in sanitizer builds,
    // a sanitizer) complain in the service.
    for (const char *complaint : {"QDBus", "runtime error", "Sanitizer"})
        QVERIFY2(!log.contains(QLatin1String(complaint)), qPrintable(log));
    m_service.stop();
    m_polkit.stop();
    m_avahi.stop();
}

void ServiceTest::shareAndUnshare_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("busid");
    QTest::addColumn<QString>("vidpid");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QByteArray>("after");

    const QStringList bind{"bind", "-b", "1-1"};
    const QStringList unbind{"unbind", "-b", "1-1"};
    QTest::newRow("share for the session")
        << "ShareDevice"
        << "1-1"
        << "" << QByteArray("0781:5567\n") << bind << QByteArray("0781:5567\n");
    QTest::newRow("share constantly, no file yet")
        << "ShareDevice"
        << "1-1"
        << "abcd:1234" << Missing << bind << QByteArray("abcd:1234\n");
    QTest::newRow("share constantly, appended")
        << "ShareDevice"
        << "1-1"
        << "abcd:1234" << QByteArray("0781:5567\n") << bind << QByteArray("0781:5567\nabcd:1234\n");
    QTest::newRow("share constantly, already listed")
        << "ShareDevice"
        << "1-1"
        << "abcd:1234" << QByteArray("abcd:1234\n") << bind << QByteArray("abcd:1234\n");
    QTest::newRow("share constantly, file without final newline")
        << "ShareDevice"
        << "1-1"
        << "abcd:1234" << QByteArray("0781:5567") << bind << QByteArray("0781:5567\nabcd:1234\n");
    QTest::newRow("share a device behind a hub")
        << "ShareDevice"
        << "2-1.4"
        << "" << Missing << QStringList{"bind", "-b", "2-1.4"} << Missing;
    QTest::newRow("unshare removes every equal line")
        << "UnshareDevice"
        << "1-1"
        << "abcd:1234" << QByteArray("abcd:1234\n0781:5567\nabcd:1234\n") << unbind
        << QByteArray("0781:5567\n");
    QTest::newRow("unshare the last line")
        << "UnshareDevice"
        << "1-1"
        << "abcd:1234" << QByteArray("abcd:1234\n") << unbind << QByteArray();
    QTest::newRow("unshare a session share")
        << "UnshareDevice"
        << "1-1"
        << "abcd:1234" << QByteArray("0781:5567\n\n") << unbind << QByteArray("0781:5567\n\n");
    QTest::newRow("unshare without ids")
        << "UnshareDevice"
        << "1-1"
        << "" << QByteArray("abcd:1234\n") << unbind << QByteArray("abcd:1234\n");
}

void ServiceTest::shareAndUnshare()
{
    QFETCH(QString, method);
    QFETCH(QString, busid);
    QFETCH(QString, vidpid);
    QFETCH(QByteArray, before);
    QFETCH(QStringList, command);
    setFile(SharedFile, before);

    const QDBusMessage reply = ManagerProcess::call(method, {busid, vidpid});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.signature(), QStringLiteral("b"));
    QCOMPARE(reply.arguments().value(0).toBool(), true);
    QCOMPARE(m_usbip.calls(), QList<QStringList>{command});
    QTEST(file(SharedFile), "after");
    QCOMPARE(file(RemoteFile), Missing);
    QCOMPARE(m_polkit.checks().size(), 1);
    QCOMPARE(m_polkit.checks().first().actionId, QStringLiteral("org.ovra.admin.usbip.share"));
}

void ServiceTest::connectAndDisconnect_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<int>("port"); // where the kernel shows 127.0.3.1/1-1; -1: nowhere

    const QString id = QStringLiteral("127.0.3.1/1-1/abcd:1234");
    const QStringList attach{"attach", "-r", "127.0.3.1", "-b", "1-1"};
    QTest::newRow("connect for the session")
        << "ConnectDevice" << QVariantList{id, false} << Missing << attach << Missing << -1;
    QTest::newRow("connect constantly")
        << "ConnectDevice" << QVariantList{id, true} << QByteArray("host/2-1/\n") << attach
        << QByteArray("host/2-1/\n127.0.3.1/1-1/abcd:1234\n") << -1;
    QTest::newRow("connect constantly, once")
        << "ConnectDevice" << QVariantList{id, true} << QByteArray("127.0.3.1/1-1/abcd:1234\n")
        << attach << QByteArray("127.0.3.1/1-1/abcd:1234\n") << -1;
    QTest::newRow("connect a host by name, hub path, no ids")
        << "ConnectDevice" << QVariantList{QStringLiteral("storage.example/3-1.2/"), false}
        << Missing << QStringList{"attach", "-r", "storage.example", "-b", "3-1.2"} << Missing
        << -1;
    QTest::newRow("connect an IPv6 host")
        << "ConnectDevice" << QVariantList{QStringLiteral("::1/1-1/abcd:1234"), false} << Missing
        << QStringList{"attach", "-r", "::1", "-b", "1-1"} << Missing << -1;
    QTest::newRow("disconnect a constant connection")
        << "DisconnectDevice" << QVariantList{id, QStringLiteral("00")}
        << QByteArray("127.0.3.1/1-1/abcd:1234\nhost/2-1/\n") << QStringList{"detach", "-p", "00"}
        << QByteArray("host/2-1/\n") << -1;
    QTest::newRow("disconnect a constant connection, port unknown, not attached")
        << "DisconnectDevice" << QVariantList{id, QString()}
        << QByteArray("127.0.3.1/1-1/abcd:1234\nhost/2-1/\n") << QStringList()
        << QByteArray("host/2-1/\n") << -1;
    QTest::newRow("connect a device attached already, constantly")
        << "ConnectDevice" << QVariantList{id, true} << Missing << QStringList()
        << QByteArray("127.0.3.1/1-1/abcd:1234\n") << 4;
    QTest::newRow("disconnect a constant connection on the port the kernel shows")
        << "DisconnectDevice" << QVariantList{id, QStringLiteral("2")}
        << QByteArray("127.0.3.1/1-1/abcd:1234\n") << QStringList{"detach", "-p", "4"}
        << QByteArray() << 4;
    QTest::newRow("disconnect a constant connection, port unknown, attached")
        << "DisconnectDevice" << QVariantList{id, QString()}
        << QByteArray("127.0.3.1/1-1/abcd:1234\n") << QStringList{"detach", "-p", "4"}
        << QByteArray() << 4;
    QTest::newRow("disconnect a session connection")
        << "DisconnectDevice" << QVariantList{QString(), QStringLiteral("7")}
        << QByteArray("127.0.3.1/1-1/abcd:1234\n") << QStringList{"detach", "-p", "7"}
        << QByteArray("127.0.3.1/1-1/abcd:1234\n") << -1;
}

void ServiceTest::connectAndDisconnect()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QByteArray, before);
    QFETCH(QStringList, command);
    QFETCH(int, port);
    setFile(RemoteFile, before);
    if (port >= 0)
        m_service.sysfs().setImported({{port, QStringLiteral("127.0.3.1"), QStringLiteral("1-1")}});

    const QDBusMessage reply = ManagerProcess::call(method, arguments);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(m_usbip.calls(),
             command.isEmpty() ? QList<QStringList>() : QList<QStringList>{command});
    QTEST(file(RemoteFile), "after");
    QCOMPARE(file(SharedFile), Missing);
    QCOMPARE(m_polkit.checks().size(), 1);
    QCOMPARE(m_polkit.checks().first().actionId, QStringLiteral("org.ovra.admin.usbip.connect"));
    QVERIFY(m_receiver.errors.isEmpty());
}

void ServiceTest::createsMissingFolder()
{
    QVERIFY(QDir(m_env.configDir()).removeRecursively());
    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("ShareDevice"),
                             {QStringLiteral("1-1"), QStringLiteral("abcd:1234")});
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(file(SharedFile), QByteArray("abcd:1234\n"));
}

void ServiceTest::portsInfo_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("one port") << ToolOutput::read(QStringLiteral("port-one-attached.txt")) << 0;
    QTest::newRow("names in UTF-8")
        << ToolOutput::portHeader()
               + ToolOutput::portBlock(
                   "01", "M\xc3\xbcller Ger\xc3\xa4te : Stick \xe2\x80\x93 2 (abcd:1234)",
                   "127.0.3.6:3240/1-2")
        << 0;
    QTest::newRow("nothing attached") << ToolOutput::read(QStringLiteral("port-none.txt")) << 0;
    QTest::newRow("no vhci driver") << QByteArray() << 1;
}

void ServiceTest::portsInfo()
{
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);
    m_usbip.setResponse({QStringLiteral("port")}, out, "usbip: error: ...", exitCode);
    QTest::qWait(PortsTableAgeMs); // the table of the row before is too old now
    const QDBusMessage reply = ManagerProcess::call(QStringLiteral("PortsInfo"), {});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.signature(), QStringLiteral("s"));
    QCOMPARE(reply.arguments().value(0).toString(), QString::fromUtf8(out));
    QCOMPARE(m_usbip.calls(), QList<QStringList>{{"port"}});
    QVERIFY(m_polkit.checks().isEmpty()); // reading the ports needs no authorisation
}

void ServiceTest::portsInfoCallsShareOneRun()
{
    const QByteArray out = ToolOutput::read(QStringLiteral("port-none.txt"));
    m_usbip.setResponse({QStringLiteral("port")}, out, QByteArray(), 0, 500);
    QTest::qWait(PortsTableAgeMs);
    QList<QDBusPendingCall> pending;
    for (int i = 0; i < 6; ++i) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           QStringLiteral("PortsInfo"));
        pending << QDBusConnection::systemBus().asyncCall(call);
    }
    for (QDBusPendingCall &call : pending) {
        call.waitForFinished();
        QCOMPARE(call.reply().arguments().value(0).toString(), QString::fromLatin1(out));
    }
    QCOMPARE(m_usbip.calls(), QList<QStringList>{{"port"}});
}

void ServiceTest::portsInfoFlood()
{
    // Anyone may call PortsInfo: a flood starts the tool a few times a
    // second at most, and refused calls do not flood the log.
    const QString table = QStringLiteral("Imported USB devices\n====================\n");
    m_usbip.setResponse({QStringLiteral("port")}, table.toUtf8());
    QTest::qWait(PortsTableAgeMs);
    const int logStart = m_service.log().size();
    QElapsedTimer timer;
    timer.start();
    QList<QDBusPendingCall> pending;
    for (int i = 0; i < 1000; ++i) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           i % 10 ? QStringLiteral("PortsInfo")
                                                  : QStringLiteral("ShareDevice"));
        if (!(i % 10))
            call << QStringLiteral("-h") << QString(); // refused
        pending << QDBusConnection::systemBus().asyncCall(call);
        for (int j = i - 99; i % 100 == 99 && j <= i; ++j) // at most 128 may wait
            pending[j].waitForFinished();
    }
    const qint64 elapsed = timer.elapsed();
    const int runs = m_usbip.calls().size();
    QVERIFY2(runs <= 2 + elapsed / 250,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(runs).arg(elapsed)));
    int answered = 0;
    for (const QDBusPendingCall &call : qAsConst(pending))
        answered += call.reply().arguments().value(0) == table ? 1 : 0;
    QCOMPARE(answered, 900);
    // 100 refused calls, 5 lines about them and one that says so.
    QTRY_COMPARE(m_service.log().mid(logStart).count(QStringLiteral("further refused calls")), 1);
    QCOMPARE(m_service.log().mid(logStart).count(QStringLiteral("rejected a call")), 5);
}

void ServiceTest::kernelState_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QString>("unloaded"); // the module missing at the call; the loader fails
    QTest::addColumn<QList<QStringList>>("loaded"); // what the loader was asked
    QTest::addColumn<QList<QStringList>>("runs"); // what usbip was asked
    QTest::addColumn<QString>("error"); // the bus error; none: a reply

    const QList<QStringList> none;
    const QString id = QStringLiteral("127.0.3.1/1-1/abcd:1234");
    QTest::newRow("bind loads usbip-host")
        << "ShareDevice" << QVariantList{"1-1", ""} << QString()
        << QList<QStringList>{{"usbip-host"}} << QList<QStringList>{{"bind", "-b", "1-1"}}
        << QString();
    QTest::newRow("attach without vhci-hcd")
        << "ConnectDevice" << QVariantList{id, true} << "vhci-hcd"
        << QList<QStringList>{{"vhci-hcd"}} << none << ModuleUnavailable;
    QTest::newRow("port table without vhci-hcd is empty")
        << "PortsInfo" << QVariantList{} << "vhci-hcd" << QList<QStringList>{{"vhci-hcd"}} << none
        << QString();
    QTest::newRow("detach of the last port")
        << "DisconnectDevice" << QVariantList{"", "15"} << QString() << none
        << QList<QStringList>{{"detach", "-p", "15"}} << QString();
    QTest::newRow("detach of a port the machine does not have")
        << "DisconnectDevice" << QVariantList{id, "16"} << QString() << none << none
        << "org.freedesktop.DBus.Error.InvalidArgs";
}

void ServiceTest::kernelState()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QString, unloaded);
    QFETCH(QString, error);
    const QByteArray remote = "127.0.3.1/1-1/abcd:1234\n";
    setFile(RemoteFile, remote);
    const QString reason =
        QStringLiteral("modprobe: FATAL: Module %1 not found in directory /lib/modules/6.1.0")
            .arg(unloaded);
    if (!unloaded.isEmpty()) {
        m_service.sysfs().setModuleLoaded(unloaded, false);
        m_service.moduleLoader().setDefaultResponse(QByteArray(), reason.toUtf8(), 1);
    } else if (method == QLatin1String("ShareDevice")) {
        m_service.sysfs().setModuleLoaded(QStringLiteral("usbip-host"), false);
    }
    QTest::qWait(method == QLatin1String("PortsInfo") ? PortsTableAgeMs : 0);

    const QDBusMessage reply = ManagerProcess::call(method, arguments);
    QTEST(m_service.moduleLoader().calls(), "loaded");
    QTEST(m_usbip.calls(), "runs");
    QCOMPARE(file(RemoteFile), remote);
    QCOMPARE(reply.errorName(), error);
    if (error == QLatin1String(ModuleUnavailable))
        QCOMPARE(reply.errorMessage(),
                 QStringLiteral("the kernel module %1 is not available: %2").arg(unloaded, reason));
    else if (error.isEmpty())
        QVERIFY(reply.arguments().value(0) == QVariant(true) || method == "PortsInfo");
}

void ServiceTest::constantShareNamesOneDevice()
{
    // Two sticks of one model (a serial number that needs escaping) and one
    // without a serial number.
    m_service.sysfs().addDevice(QStringLiteral("1-1"), QStringLiteral("AA 01"));
    m_service.sysfs().addDevice(QStringLiteral("1-2"), QStringLiteral("BB02"));
    m_service.sysfs().addDevice(QStringLiteral("1-3"));
    auto call = [this](const char *method, const char *busid) {
        const QDBusMessage reply =
            ManagerProcess::call(QLatin1String(method),
                                 {QLatin1String(busid), QStringLiteral("090c:1000")});
        QFile records(recordsFile());
        return reply.arguments().value(0).toString() + QLatin1Char(' ') + file(SharedFile)
             + (records.open(QIODevice::ReadOnly) ? records.readAll() : Missing);
    };
    QCOMPARE(call("ShareDevice", "1-1"), QStringLiteral("true 090c:1000\n090c:1000 AA%2001\n"));
    call("ShareDevice", "1-2");
    QCOMPARE(call("ShareDevice", "1-3"),
             QStringLiteral("true 090c:1000\n090c:1000 AA%2001\n090c:1000 BB02\n090c:1000\n"));
    // Unsharing a stick forgets that stick, and its model only with the last.
    call("UnshareDevice", "1-2");
    QCOMPARE(call("UnshareDevice", "1-3"), QStringLiteral("true 090c:1000\n090c:1000 AA%2001\n"));
    QCOMPARE(call("UnshareDevice", "1-1"), QStringLiteral("true "));
    QVERIFY(m_receiver.errors.isEmpty());
}

void ServiceTest::toolFailure_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QString>("headline");
    QTest::addColumn<QByteArray>("probed"); // the device given back to its driver
    QTest::addColumn<QString>("err");
    const QString busy = QStringLiteral("usbip: error: device is busy");
    QTest::newRow("bind") << "ShareDevice" << QVariantList{"1-1", "abcd:1234"} << "share"
                          << QByteArray("del 1-1\n1-1\n") << busy;
    QTest::newRow("bind of a device shared already")
        << "ShareDevice" << QVariantList{"1-1", "abcd:1234"} << "share" << QByteArray()
        << "usbip: error: device on busid 1-1 is already bound to usbip-host";
    QTest::newRow("unbind") << "UnshareDevice" << QVariantList{"1-1", "0781:5567"} << "unshare"
                            << QByteArray() << busy;
    QTest::newRow("attach") << "ConnectDevice" << QVariantList{"127.0.3.1/1-1/abcd:1234", true}
                            << "connect" << QByteArray() << busy;
    QTest::newRow("detach") << "DisconnectDevice" << QVariantList{"host/2-1/", "3"} << "disconnect"
                            << QByteArray() << busy;
    QTest::newRow("attach, 100 KB of standard error")
        << "ConnectDevice" << QVariantList{"127.0.3.1/1-1/", false} << "connect" << QByteArray()
        << QString(100000, QLatin1Char('e'));
}

void ServiceTest::toolFailure()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QString, headline);
    const QByteArray shared = "0781:5567\n";
    const QByteArray remote = "host/2-1/\n";
    setFile(SharedFile, shared);
    setFile(RemoteFile, remote);
    QFETCH(QString, err);
    m_usbip.setDefaultResponse(QByteArray(), err.toUtf8() + '\n', 1);

    const QDBusMessage reply = ManagerProcess::call(method, arguments);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.arguments().value(0), QVariant(false));
    QCOMPARE(m_usbip.calls().size(), 1);
    QTRY_COMPARE(m_receiver.errors.size(), 1);
    QVERIFY2(m_receiver.errors.first().at(0).contains(headline),
             qPrintable(m_receiver.errors.first().at(0)));
    QCOMPARE(m_receiver.errors.first().at(1).left(4095), err.left(4095));
    QVERIFY(m_receiver.errors.first().at(1).size() <= 4096); // a long text is cut
    QCOMPARE(file(SharedFile), shared);
    QCOMPARE(file(RemoteFile), remote);
    QTEST(m_service.sysfs().takeProbed(), "probed");
}

void ServiceTest::hangingToolIsStopped()
{
    // An odd delay, to recognise the fake's own child ("sleep 61.234") below.
    m_usbip.setDefaultResponse(QByteArray(), QByteArray(), 0, 61234);
    QElapsedTimer timer;
    timer.start();
    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("ShareDevice"),
                             {QStringLiteral("1-1"), QStringLiteral("abcd:1234")});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.arguments().value(0), QVariant(false));
    QVERIFY2(timer.elapsed() < ToolTimeoutMs + 4000, qPrintable(QString::number(timer.elapsed())));
    QTRY_COMPARE(m_receiver.errors.size(), 1);
    QVERIFY(m_receiver.errors.first().at(1).contains(QStringLiteral("did not finish in time")));
    QCOMPARE(file(SharedFile), Missing);

    // Also a hanging PortsInfo is answered, with what the tool printed: nothing.
    timer.restart();
    const QDBusMessage ports = ManagerProcess::call(QStringLiteral("PortsInfo"), {});
    QCOMPARE(ports.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(ports.arguments().value(0).toString(), QString());
    QVERIFY(timer.elapsed() < ToolTimeoutMs + 4000);

    // The tool was stopped with everything it started.
    QTRY_VERIFY2(!sleepingChildLeft(), "a child of the stopped tool is still running");
}

void ServiceTest::badInput_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    const QString huge(10 * 1024, QLatin1Char('1'));
    const QString id = QStringLiteral("127.0.3.1/1-1/abcd:1234");

    for (const char *method : {"ShareDevice", "UnshareDevice"}) {
        const QByteArray m(method);
        QTest::newRow(m + " empty bus id") << method << QVariantList{"", ""};
        QTest::newRow(m + " option bus id") << method << QVariantList{"-h", ""};
        QTest::newRow(m + " option-looking bus id") << method << QVariantList{"--help", ""};
        QTest::newRow(m + " shell bus id") << method << QVariantList{"1-1;rm", ""};
        QTest::newRow(m + " path bus id") << method << QVariantList{"../", ""};
        QTest::newRow(m + " bus id with newline") << method << QVariantList{"1-1\n", ""};
        QTest::newRow(m + " 10 KB bus id") << method << QVariantList{huge, ""};
        QTest::newRow(m + " vid:pid with newline") << method << QVariantList{"1-1", "abcd:1234\n"};
        QTest::newRow(m + " vid:pid injecting a line")
            << method << QVariantList{"1-1", "abcd:1234\n0000:0000"};
        QTest::newRow(m + " short vid:pid") << method << QVariantList{"1-1", "abcd"};
        QTest::newRow(m + " 10 KB vid:pid") << method << QVariantList{"1-1", huge};
    }
    QTest::newRow("connect without slashes") << "ConnectDevice" << QVariantList{"127.0.3.1", true};
    QTest::newRow("connect empty") << "ConnectDevice" << QVariantList{"", false};
    QTest::newRow("connect option host")
        << "ConnectDevice" << QVariantList{"-r/1-1/abcd:1234", true};
    QTest::newRow("connect host with space") << "ConnectDevice" << QVariantList{"a b/1-1/", true};
    QTest::newRow("connect shell bus id") << "ConnectDevice" << QVariantList{"h/1-1;rm/", true};
    QTest::newRow("connect path bus id") << "ConnectDevice" << QVariantList{"h/../", true};
    QTest::newRow("connect newline") << "ConnectDevice" << QVariantList{id + "\nh/2-1/", true};
    QTest::newRow("connect 10 KB") << "ConnectDevice" << QVariantList{huge + "/1-1/", true};
    QTest::newRow("disconnect port 00a") << "DisconnectDevice" << QVariantList{id, "00a"};
    QTest::newRow("disconnect empty port, no device") << "DisconnectDevice" << QVariantList{"", ""};
    QTest::newRow("disconnect option port") << "DisconnectDevice" << QVariantList{"", "-1"};
    QTest::newRow("disconnect port with newline") << "DisconnectDevice" << QVariantList{"", "1\n"};
    QTest::newRow("disconnect id without slashes")
        << "DisconnectDevice" << QVariantList{"host", "1"};
    QTest::newRow("disconnect option host") << "DisconnectDevice" << QVariantList{"-h/1-1/", "1"};
    QTest::newRow("disconnect 10 KB id") << "DisconnectDevice" << QVariantList{huge, "1"};
    // One bad host refuses the whole list (the rules are tests/managerd/tst_arguments').
    QTest::newRow("access with an empty host")
        << "SetShareAccess" << QVariantList{true, QStringList{"192.168.1.20", ""}};
    QTest::newRow("access with a host name")
        << "SetShareAccess" << QVariantList{true, QStringList{"storage.example"}};
    QTest::newRow("access with a bad prefix")
        << "SetShareAccess" << QVariantList{false, QStringList{"192.168.1.0/33"}};
    QTest::newRow("access with a line break")
        << "SetShareAccess" << QVariantList{true, QStringList{"10.0.0.1\n0.0.0.0/0"}};
    QStringList tooMany;
    for (int i = 0; i < 257; ++i)
        tooMany << QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256);
    QTest::newRow("access with 257 hosts") << "SetShareAccess" << QVariantList{true, tooMany};
    QTest::newRow("access with 10 KB") << "SetShareAccess" << QVariantList{true, QStringList{huge}};
}

void ServiceTest::badInput()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    const QByteArray shared = "abcd:1234\n";
    const QByteArray remote = "127.0.3.1/1-1/abcd:1234\n";
    const QByteArray access = accessFile(true, {QStringLiteral("10.0.0.1")});
    setFile(SharedFile, shared);
    setFile(RemoteFile, remote);
    setFile(AccessFile, access);

    const QDBusMessage reply = ManagerProcess::call(method, arguments);
    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
    QVERIFY(m_service.nft().inputs().isEmpty());
    QCOMPARE(file(AccessFile), access);
    QVERIFY(!reply.errorMessage().isEmpty());
    QVERIFY2(reply.errorMessage().size() < 300, "the message does not echo huge arguments");
    QVERIFY2(!reply.errorMessage().contains(QLatin1Char('\n')), "the message stays on one line");
    QVERIFY(m_usbip.calls().isEmpty());
    QVERIFY(m_polkit.checks().isEmpty());
    QCOMPARE(file(SharedFile), shared);
    QCOMPARE(file(RemoteFile), remote);
}

void ServiceTest::malformedMessagesLeaveServiceUp()
{
    // Wrong types, too few and too many arguments, unknown methods.
    const QList<QPair<QString, QVariantList>> calls{
        {QStringLiteral("ShareDevice"), {42, true}},
        {QStringLiteral("ShareDevice"), {QStringLiteral("1-1")}},
        {QStringLiteral("ConnectDevice"), {QStringLiteral("h/1-1/"), QStringLiteral("yes")}},
        {QStringLiteral("PortsInfo"), {QStringLiteral("extra")}},
        {QStringLiteral("SetShareAccess"), {QStringLiteral("yes"), QStringList()}},
        {QStringLiteral("SetShareAccess"), {true, QStringLiteral("10.0.0.1")}},
        {QStringLiteral("Reboot"), {}},
    };
    for (const auto &call : calls) {
        const QDBusMessage reply = ManagerProcess::call(call.first, call.second);
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    }
    QVERIFY(m_usbip.calls().isEmpty());
    QVERIFY(m_service.isRunning());
    const QDBusMessage reply = ManagerProcess::call(QStringLiteral("PortsInfo"), {});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
}

void ServiceTest::authorisation_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QString>("action");
    QTest::newRow("share") << "ShareDevice" << QVariantList{"1-1", ""}
                           << "org.ovra.admin.usbip.share";
    QTest::newRow("unshare") << "UnshareDevice" << QVariantList{"1-1", ""}
                             << "org.ovra.admin.usbip.share";
    QTest::newRow("connect") << "ConnectDevice" << QVariantList{"h/1-1/", false}
                             << "org.ovra.admin.usbip.connect";
    QTest::newRow("disconnect") << "DisconnectDevice" << QVariantList{"", "1"}
                                << "org.ovra.admin.usbip.connect";
    QTest::newRow("share access") << "SetShareAccess" << QVariantList{true, QStringList{"10.0.0.1"}}
                                  << "org.ovra.admin.usbip.access";
}

void ServiceTest::authorisation()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QString, action);
    const QDBusMessage reply = ManagerProcess::call(method, arguments);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QList<FakePolkit::Check> checks = m_polkit.checks();
    QCOMPARE(checks.size(), 1);
    QCOMPARE(checks.first().actionId, action);
    QCOMPARE(checks.first().subjectKind, QStringLiteral("system-bus-name"));
    QCOMPARE(checks.first().busName, QDBusConnection::systemBus().baseService());
    QCOMPARE(checks.first().flags, 1u); // user interaction allowed
}

void ServiceTest::deniedRunsNothing_data()
{
    authorisation_data();
}

void ServiceTest::deniedRunsNothing()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QString, action);
    m_polkit.setAllowed(action, false);
    setFile(RemoteFile, "h/1-1/\n");
    const QByteArray access = accessFile(false, {QStringLiteral("192.168.1.0/24")});
    setFile(AccessFile, access);
    const QDBusMessage reply = ManagerProcess::call(method, arguments);
    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    QCOMPARE(m_polkit.checks().size(), 1);
    QVERIFY(m_usbip.calls().isEmpty());
    QCOMPARE(file(RemoteFile), QByteArray("h/1-1/\n"));
    QVERIFY(m_service.nft().inputs().isEmpty());
    QCOMPARE(file(AccessFile), access);
}

void ServiceTest::missingAuthorityDenies()
{
    m_polkit.stop();
    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("ShareDevice"),
                             {QStringLiteral("1-1"), QStringLiteral("abcd:1234")});
    QString error;
    QVERIFY2(m_polkit.start(&error), qPrintable(error));
    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    QVERIFY(m_usbip.calls().isEmpty());
    QCOMPARE(file(SharedFile), Missing);
}

void ServiceTest::slowAuthorisation_data()
{
    QTest::addColumn<int>("polkitDelay");
    QTest::addColumn<QString>("errorName");
    QTest::addColumn<bool>("cancelled");
    // With the least call budget, 3000 ms, and at least 1000 ms kept for the tool:
    QTest::newRow("no answer within the budget")
        << 6000 << "org.freedesktop.DBus.Error.AccessDenied" << true;
    QTest::newRow("answer too late to run the tool")
        << 2300 << "org.freedesktop.DBus.Error.Timeout" << false;
}

void ServiceTest::slowAuthorisation()
{
    QFETCH(int, polkitDelay);
    m_service.stop();
    QVERIFY2(m_service.start({QStringLiteral("--config-dir"), m_env.configDir(),
                              QStringLiteral("--tool-timeout"), QString::number(ToolTimeoutMs),
                              QStringLiteral("--call-budget"), QStringLiteral("3000")}),
             qPrintable(m_service.errorString()));
    m_polkit.setDelay(polkitDelay);
    QElapsedTimer timer;
    timer.start();
    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("ShareDevice"),
                             {QStringLiteral("1-1"), QStringLiteral("abcd:1234")});
    const qint64 elapsed = timer.elapsed();
    m_service.stop(); // the next test starts the usual service again

    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QTEST(reply.errorName(), "errorName");
    QVERIFY2(elapsed < 4500, qPrintable(QString::number(elapsed)));
    QVERIFY(m_usbip.calls().isEmpty());
    QCOMPARE(file(SharedFile), Missing);
    const QList<FakePolkit::Check> checks = m_polkit.checks();
    QCOMPARE(checks.size(), 1);
    QFETCH(bool, cancelled);
    if (cancelled)
        QTRY_COMPARE(m_polkit.cancelledIds(), QStringList{checks.first().cancellationId});
    else
        QVERIFY(m_polkit.cancelledIds().isEmpty());
}

void ServiceTest::unreadableFileIsNotOverwritten()
{
    // A folder where the list file should be: exists, cannot be read.
    QVERIFY(QDir().mkpath(m_env.configDir() + QLatin1Char('/') + SharedFile));
    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("ShareDevice"),
                             {QStringLiteral("1-1"), QStringLiteral("abcd:1234")});
    QCOMPARE(reply.arguments().value(0), QVariant(false));
    QVERIFY(m_usbip.calls().isEmpty()); // a constant share that cannot be recorded is not made
    QTRY_COMPARE(m_receiver.errors.size(), 1);
    QVERIFY(m_receiver.errors.first().at(1).contains(SharedFile));
    QVERIFY(QFileInfo(m_env.configDir() + QLatin1Char('/') + SharedFile).isDir());
    QVERIFY(QDir(m_env.configDir() + QLatin1Char('/') + SharedFile).removeRecursively());
}

void ServiceTest::setShareAccess_data()
{
    QTest::addColumn<bool>("restricted");
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("canonical");

    QTest::newRow("one address") << true << QStringList{"192.168.1.20"}
                                 << QStringList{"192.168.1.20"};
    QTest::newRow("canonical form, duplicates dropped")
        << true << QStringList{"192.168.1.5/24",  "FD00:0::1",   "192.168.1.0/24",
                               "::ffff:10.0.0.1", "fd00::1/128", "fd00::/64"}
        << QStringList{"192.168.1.0/24", "fd00::1", "10.0.0.1", "fd00::/64"};
    QTest::newRow("only this machine") << true << QStringList() << QStringList();
    QTest::newRow("any host, the list kept")
        << false << QStringList{"10.0.0.0/8"} << QStringList{"10.0.0.0/8"};
    QStringList most;
    for (int i = 0; i < 256; ++i)
        most << QStringLiteral("fd00::%1").arg(i + 1, 0, 16);
    QTest::newRow("256 hosts") << true << most << most;
}

void ServiceTest::setShareAccess()
{
    QFETCH(bool, restricted);
    QFETCH(QStringList, hosts);
    QFETCH(QStringList, canonical);
    setFile(AccessFile, accessFile(!restricted, {QStringLiteral("172.16.0.1")}));

    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("SetShareAccess"), {restricted, hosts});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(m_polkit.checks().size(), 1);
    QCOMPARE(m_polkit.checks().first().actionId, QStringLiteral("org.ovra.admin.usbip.access"));
    QCOMPARE(m_service.nft().arguments(), QStringList{"-f -"});
    QCOMPARE(m_service.nft().inputs(), QList<QByteArray>{accessScript(restricted, canonical)});
    QCOMPARE(file(AccessFile), accessFile(restricted, canonical));
    QCOMPARE(shareAccess(),
             (QStringList{restricted ? "true" : "false"} + canonical).join(QLatin1Char(' ')));
    QVERIFY(m_usbip.calls().isEmpty());
}

void ServiceTest::shareAccessNotApplied_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("listFault"); // "folder": the list is a folder
    QTest::addColumn<int>("runs"); // finished runs of nft
    QTest::addColumn<QString>("message"); // a part of the error's message

    QTest::newRow("the packet filter refuses")
        << 1 << 0 << QString() << 1 << "Error: Could not process rule: Operation not supported";
    QTest::newRow("nft does not finish in time")
        << 0 << 10000 << QString() << 0 << "nft -f -: the tool did not finish in time";
    QTest::newRow("the list cannot be written")
        << 0 << 0 << "unwritable" << 0 << "cannot be saved. Cannot create the folder";
    // Written beside the folder but not renamed over it: the rules of the
    // list in place (a broken one: only this machine) are put back.
    QTest::newRow("the list cannot be put in place") << 0 << 0 << "folder" << 2 << "Is a directory";
}

void ServiceTest::shareAccessNotApplied()
{
    QFETCH(int, exitCode);
    QFETCH(int, delayMs);
    QFETCH(QString, listFault);
    QFETCH(int, runs);
    const QString path = m_env.configDir() + QLatin1Char('/') + AccessFile;
    const QByteArray before = accessFile(true, {QStringLiteral("10.0.0.1")});
    if (listFault == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path + QStringLiteral("/keep")));
    else if (listFault == QLatin1String("unwritable"))
        QVERIFY(QFile::link(m_env.configDir() + QStringLiteral("/") + SharedFile + "/share-access",
                            path)); // below a file: its folder cannot be made
    else
        setFile(AccessFile, before);
    setFile(SharedFile, "abcd:1234\n");
    m_service.nft().setResponse(exitCode,
                                "Error: Could not process rule: Operation not supported\n",
                                delayMs);

    const QDBusMessage reply =
        ManagerProcess::call(QStringLiteral("SetShareAccess"),
                             {false, QStringList{QStringLiteral("10.0.0.2")}});
    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), QLatin1String(AccessNotApplied));
    QVERIFY2(reply.errorMessage().startsWith(QStringLiteral("Who may attach stays as it was")),
             qPrintable(reply.errorMessage()));
    QFETCH(QString, message);
    QVERIFY2(reply.errorMessage().contains(message), qPrintable(reply.errorMessage()));
    QTRY_COMPARE(m_service.nft().inputs().size(), runs);
    if (runs > 0)
        QCOMPARE(m_service.nft().inputs().first(), accessScript(false, {"10.0.0.2"}));
    if (runs > 1)
        QCOMPARE(m_service.nft().inputs().at(1), accessScript(true, {}));
    if (listFault.isEmpty())
        QCOMPARE(file(AccessFile), before);
    QFileInfo list(path);
    QCOMPARE(list.isDir(), listFault == QLatin1String("folder"));
    QCOMPARE(list.isSymLink(), listFault == QLatin1String("unwritable"));
    QFile::remove(path);
    QDir(path).removeRecursively();
    // Nothing of the new list stays beside the old.
    QCOMPARE(QDir(m_env.configDir()).entryList(QDir::Files | QDir::System),
             QStringList{SharedFile});
}

void ServiceTest::shareAccessAtStart_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("script"); // what the start puts in force
    QTest::addColumn<QString>("reply"); // of ShareAccess

    const QByteArray closed = accessScript(true, {});
    QTest::newRow("no list: any host") << Missing << accessScript(false, {}) << "false";
    QTest::newRow("written by hand")
        << QByteArray("# ours\n restricted \r\n\n192.168.1.5/24\n  # also\nFD00::1\n")
        << accessScript(true, {"192.168.1.0/24", "fd00::1"}) << "true 192.168.1.0/24 fd00::1";
    QTest::newRow("unrestricted, hosts kept")
        << QByteArray("unrestricted\n10.0.0.1\n") << accessScript(false, {"10.0.0.1"})
        << "false 10.0.0.1";
    const QString broken = QStringLiteral("%1 The access list is broken (%2/share-access: ");
    QTest::newRow("a host that is none")
        << QByteArray("restricted\n10.0.0.1\nstorage.example\n") << closed
        << broken + "Invalid host \"storage.example\" (entry 2 of the list)";
    QTest::newRow("no mode") << QByteArray("10.0.0.1\n") << closed
                             << broken + "its first entry is \"10.0.0.1\", not";
    QTest::newRow("empty") << QByteArray("# nothing\n") << closed
                           << broken + "its first entry is missing";
    QTest::newRow("unreadable") << QByteArray("<folder>") << closed
                                << "%1 The access list is broken (Cannot read %2/share-access: ";
}

void ServiceTest::shareAccessAtStart()
{
    QFETCH(QByteArray, content);
    m_service.stop();
    const QString path = m_env.configDir() + QLatin1Char('/') + AccessFile;
    if (content == "<folder>")
        QVERIFY(QDir().mkpath(path));
    else
        setFile(AccessFile, content);
    m_service.nft().clear();
    QVERIFY2(restartService(), qPrintable(m_service.errorString()));

    QTRY_COMPARE(m_service.nft().inputs().size(), 1);
    QTEST(m_service.nft().inputs().first(), "script");
    QFETCH(QString, reply);
    if (reply.startsWith(QLatin1String("%1")))
        reply = reply.arg(QLatin1String(AccessListBroken), m_env.configDir());
    QVERIFY2(shareAccess().startsWith(reply), qPrintable(shareAccess()));
    // A broken list stays as it is until it is set again; then it is of the form.
    if (content == "<folder>")
        QDir(path).removeRecursively();
    QCOMPARE(file(AccessFile), content == "<folder>" ? Missing : content);
    QCOMPARE(ManagerProcess::call(QStringLiteral("SetShareAccess"), {true, QStringList()})
                 .arguments()
                 .value(0),
             QVariant(true));
    QCOMPARE(shareAccess(), QStringLiteral("true"));
}

void ServiceTest::shareAccessChangesInOrder()
{
    // Slow rules: the calls overlap in the service, their changes do not.
    m_service.nft().setResponse(0, QByteArray(), 300);
    QList<QDBusPendingCall> pending;
    for (int i = 1; i <= 4; ++i) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           QStringLiteral("SetShareAccess"));
        call << (i % 2 == 0) << QStringList{QStringLiteral("10.0.0.%1").arg(i)};
        pending << QDBusConnection::systemBus().asyncCall(call);
    }
    for (QDBusPendingCall &call : pending) {
        call.waitForFinished();
        QVERIFY2(!call.isError(), qPrintable(call.error().message()));
    }
    const QList<QByteArray> inputs = m_service.nft().inputs();
    QCOMPARE(inputs.size(), 4);
    QVERIFY(!m_service.nft().overlapped());
    // The rules in force are those of the list written last.
    Access::Setting last;
    QVERIFY(Access::read(m_env.configDir() + QLatin1Char('/') + AccessFile, &last));
    QCOMPARE(inputs.last(), Access::nftScript(last));
}

void ServiceTest::concurrentClientsLoseNoUpdate()
{
    // Slow answers make the calls overlap in the service.
    m_polkit.setDelay(50);
    m_usbip.setDefaultResponse(QByteArray(), QByteArray(), 0, 400);
    QList<QDBusPendingCall> pending;
    QStringList expectedShared;
    QStringList expectedRemote;
    for (int i = 0; i < 8; ++i) {
        const QString vidpid = QStringLiteral("abcd:%1").arg(1000 + i);
        const QString id = QStringLiteral("127.0.3.%1/1-1/").arg(i + 1);
        expectedShared << vidpid;
        expectedRemote << id;
        QDBusMessage share =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           QStringLiteral("ShareDevice"));
        share << QStringLiteral("1-%1").arg(i + 1) << vidpid;
        pending << QDBusConnection::systemBus().asyncCall(share);
        QDBusMessage connect =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           QStringLiteral("ConnectDevice"));
        connect << id << true;
        pending << QDBusConnection::systemBus().asyncCall(connect);
    }
    QElapsedTimer timer;
    timer.start();
    for (QDBusPendingCall &call : pending) {
        call.waitForFinished();
        QVERIFY2(!call.isError(), qPrintable(call.error().message()));
        QCOMPARE(call.reply().arguments().value(0), QVariant(true));
    }
    // The tool runs overlapped: far less than 16 runs of 400 ms one after the other.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QStringList shared = QString::fromLatin1(file(SharedFile)).split('\n', Qt::SkipEmptyParts);
    QStringList remote = QString::fromLatin1(file(RemoteFile)).split('\n', Qt::SkipEmptyParts);
    shared.sort();
    remote.sort();
    QCOMPARE(shared, expectedShared);
    QCOMPARE(remote, expectedRemote);
}

void ServiceTest::restoreAtStart()
{
    m_service.stop();
    const QByteArray shared = "0781:5567\nabcd:1234\n";
    const QByteArray remote = "127.0.3.1/1-1/abcd:1234\n127.0.3.2/2-1/\nnot a device id\n"
                              "127.0.3.3/1-1/\n";
    setFile(SharedFile, shared);
    setFile(RemoteFile, remote);
    // The constant share of 0781:5567 was made for the stick 1-1, not for its
    // twin 1-4; abcd:1234 was shared before records were kept: every device.
    QVERIFY(QDir().mkpath(m_service.stateDir()));
    QFile records(recordsFile());
    QVERIFY(records.open(QIODevice::WriteOnly));
    records.write("0781:5567 4C531001%2F\n");
    records.close();
    m_service.sysfs().addDevice(QStringLiteral("1-1"), QStringLiteral("4C531001/"));
    m_service.sysfs().addDevice(QStringLiteral("1-4"), QStringLiteral("4C531002"));
    m_service.sysfs().setModuleLoaded(QStringLiteral("usbip-host"), false);
    // Left by writes that a kill interrupted; the last two are no files of ours.
    for (const char *name :
         {"shared-usb-devices.ovra-new-AbCdEf", "remote-usb-devices.ovra-new-x1Y2z3",
          "shared-usb-devices.bak", "remote-usb-devices.backup"})
        m_env.writeConfigFile(QLatin1String(name), "partial");
    // A vendor name with " - busid " inside must not start a block of its own.
    m_usbip.setResponse(
        {"list", "-l"},
        " - busid 1-1 (0781:5567)\n   SanDisk Corp. : Cruzer Blade (0781:5567)\n\n"
        " - busid 1-2 (1111:2222)\n   Foo - busid 4-4 (abcd:1234) : Bar (1111:2222)\n\n"
        " - busid 1-4 (0781:5567)\n   SanDisk Corp. : Cruzer Blade (0781:5567)\n\n"
        " - busid 3-1.2 (abcd:1234)\n   Acme : Stick (abcd:1234)\n\n");
    m_usbip.setResponse({"port"},
                        ToolOutput::portHeader()
                            + ToolOutput::portBlock("00",
                                                    "unknown vendor : unknown product (dead:beef)",
                                                    "127.0.3.2:3240/2-1"));
    m_usbip.setResponse({"bind", "-b", "1-1"}, QByteArray(),
                        "usbip: error: device on busid 1-1 is already bound to usbip-host\n", 1);
    m_usbip.setResponse({"bind", "-b", "3-1.2"}, QByteArray(),
                        "usbip: error: unable to bind device on 3-1.2\n", 1);
    m_usbip.setResponse({"attach", "-r", "127.0.3.3", "-b", "1-1"}, QByteArray(),
                        "usbip: error: could not connect\n", 1);
    QVERIFY2(restartService(), qPrintable(m_service.errorString()));

    const QList<QStringList> expected{
        {"list", "-l"},
        {"bind", "-b", "1-1"}, // not its twin 1-4
        {"bind", "-b", "3-1.2"},
        {"port"},
        {"attach", "-r", "127.0.3.1", "-b", "1-1"},
        {"attach", "-r", "127.0.3.3", "-b", "1-1"},
    };
    QCOMPARE(m_usbip.calls(), expected);
    QCOMPARE(m_service.moduleLoader().calls(), QList<QStringList>{{"usbip-host"}});
    // Failures are retried at the next start: no line is dropped.
    QCOMPARE(file(SharedFile), shared);
    QCOMPARE(file(RemoteFile), remote);
    QVERIFY(m_polkit.checks().isEmpty());
    // The failed bind gave its device back; the one bound already is no failure.
    QCOMPARE(m_service.sysfs().takeProbed(), QByteArray("del 3-1.2\n3-1.2\n"));
    QVERIFY(m_service.log().contains(QStringLiteral("the device 1-1 is shared already")));
    QCOMPARE(m_service.log().count(QStringLiteral("restoring failed")), 2);
    QCOMPARE(QDir(m_env.configDir()).entryList(QDir::Files),
             (QStringList{RemoteFile, QStringLiteral("remote-usb-devices.backup"), SharedFile,
                          QStringLiteral("shared-usb-devices.bak")}));
    m_env.removeConfigFile(QStringLiteral("shared-usb-devices.bak"));
    m_env.removeConfigFile(QStringLiteral("remote-usb-devices.backup"));
}

void ServiceTest::announcement_data()
{
    QTest::addColumn<QStringList>("before"); // shared when the service starts
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("busid");
    QTest::addColumn<int>("exitCode"); // of the tool
    QTest::addColumn<QStringList>("after"); // shared once the tool ran
    QTest::addColumn<QStringList>("avahiCalls"); // what the call made the service ask Avahi

    const QString service = QStringLiteral("ovra-fake _usbip._tcp ");
    const QString txt = QStringLiteral("version=1.1.1 devices=%1");
    QTest::newRow("the first share announces")
        << QStringList() << "ShareDevice"
        << "1-1" << 0 << QStringList{"1-1"}
        << QStringList{"GetHostName", "EntryGroupNew",
                       "AddService " + service + "3240 " + txt.arg(1), "Commit"};
    QTest::newRow("a share made before the start counts")
        << QStringList{"2-1.4"} << "ShareDevice"
        << "1-1" << 0 << QStringList{"1-1", "2-1.4"}
        << QStringList{"UpdateServiceTxt " + service + txt.arg(2)};
    QTest::newRow("unsharing one of two")
        << QStringList{"1-1", "2-1"} << "UnshareDevice"
        << "2-1" << 0 << QStringList{"1-1"}
        << QStringList{"UpdateServiceTxt " + service + txt.arg(1)};
    QTest::newRow("the last unshare withdraws")
        << QStringList{"1-1"} << "UnshareDevice"
        << "1-1" << 0 << QStringList() << QStringList{"Free"};
    QTest::newRow("a failed share announces nothing")
        << QStringList() << "ShareDevice"
        << "1-1" << 1 << QStringList() << QStringList();
    QTest::newRow("a failed unshare keeps the announcement")
        << QStringList{"1-1"} << "UnshareDevice"
        << "1-1" << 1 << QStringList{"1-1"} << QStringList();
}

void ServiceTest::announcement()
{
    QFETCH(QStringList, before);
    QFETCH(QString, method);
    QFETCH(QString, busid);
    QFETCH(int, exitCode);
    QFETCH(QStringList, after);
    const QString service = QStringLiteral("ovra-fake _usbip._tcp 3240 version=1.1.1 devices=%1");
    QVERIFY2(restartSharing(before), qPrintable(m_service.errorString()));
    if (!before.isEmpty())
        QTRY_COMPARE(announced(), service.arg(before.size()));
    m_avahi.clearCalls();

    for (const QString &device : before + after)
        m_service.sysfs().setShared(device, after.contains(device)); // as the tool leaves it
    if (exitCode)
        m_usbip.setDefaultResponse(QByteArray(), "usbip: error: device is busy\n", exitCode);
    const QDBusMessage reply = ManagerProcess::call(method, {busid, QString()});
    QCOMPARE(reply.arguments().value(0), QVariant(exitCode == 0));

    QTRY_COMPARE(announced(), after.isEmpty() ? QString() : service.arg(after.size()));
    QTest::qWait(100); // nothing more follows
    QTEST(m_avahi.calls(), "avahiCalls");
}

void ServiceTest::announcementFollowsAvahi()
{
    // Without Avahi everything else works, and Avahi is not started by the
    // bus for the service (were it asked so, the marker would appear).
    const QString started = m_service.stateDir() + QStringLiteral("/avahi-was-activated");
    m_bus.addActivatableService(QStringLiteral("org.freedesktop.Avahi"),
                                QStringLiteral("/usr/bin/touch ") + started);
    m_avahi.stop();
    const int logStart = m_service.log().size();
    QVERIFY2(restartSharing({QStringLiteral("1-1")}), qPrintable(m_service.errorString()));
    m_service.sysfs().setShared(QStringLiteral("2-1"), true);
    QDBusMessage reply = ManagerProcess::call(QStringLiteral("ShareDevice"),
                                              {QStringLiteral("2-1"), QStringLiteral("abcd:1234")});
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(file(SharedFile), QByteArray("abcd:1234\n"));
    QVERIFY(m_receiver.errors.isEmpty());

    // Avahi starts: the shares are announced at once.
    const QString two = QStringLiteral("ovra-fake _usbip._tcp 3240 version=1.1.1 devices=2");
    QVERIFY(m_avahi.start());
    QTRY_COMPARE(announced(), two);
    // Avahi restarts: announced again.
    m_avahi.stop();
    QVERIFY(m_avahi.start());
    QTRY_COMPARE(announced(), two);
    // Avahi settles a new host name: the announcement waits, then follows it.
    m_avahi.setServerState(FakeAvahi::ServerRegistering);
    QTRY_COMPARE(announced(), QString());
    m_avahi.setHostName(QStringLiteral("ovra-renamed"));
    m_avahi.setServerState(FakeAvahi::ServerRunning);
    QTRY_COMPARE(announced(),
                 QStringLiteral("ovra-renamed _usbip._tcp 3240 version=1.1.1 devices=2"));

    const QString log = m_service.log().mid(logStart);
    QCOMPARE(log.count(QStringLiteral("Avahi is not running")), 1);
    QVERIFY(!QFile::exists(started));
    QCOMPARE(m_avahi.groupCount(), 1); // the groups of the earlier Avahi went with it
}

void ServiceTest::nameCollision_data()
{
    QTest::addColumn<QStringList>("local"); // names other services of this machine announce
    QTest::addColumn<QStringList>("network"); // names other hosts announce
    QTest::addColumn<bool>("later"); // the other host announces once ours is out
    QTest::addColumn<QString>("name");
    QTest::newRow("both, and the next name too")
        << QStringList{"ovra-fake"} << QStringList{"ovra-fake #2"} << false << "ovra-fake #3";
    QTest::newRow("another host, later")
        << QStringList() << QStringList{"ovra-fake"} << true << "ovra-fake #2";
}

void ServiceTest::nameCollision()
{
    QFETCH(QStringList, local);
    QFETCH(QStringList, network);
    QFETCH(bool, later);
    QVERIFY2(restartSharing({}), qPrintable(m_service.errorString()));
    auto add = [this](const QStringList &names, bool isLocal) {
        for (const QString &name : names) {
            FakeAvahi::Service other;
            other.name = name;
            other.host = QStringLiteral("elsewhere.local");
            other.local = isLocal;
            m_avahi.addService(other);
        }
    };
    add(local, true);
    if (!later)
        add(network, false);
    m_service.sysfs().setShared(QStringLiteral("1-1"), true);
    QCOMPARE(ManagerProcess::call(QStringLiteral("ShareDevice"), {QStringLiteral("1-1"), QString()})
                 .arguments()
                 .value(0),
             QVariant(true));
    const QString txt = QStringLiteral(" _usbip._tcp 3240 version=1.1.1 devices=1");
    if (later) {
        QTRY_COMPARE(announced(), QStringLiteral("ovra-fake") + txt);
        add(network, false);
    }
    QFETCH(QString, name);
    QTRY_COMPARE(announced(), name + txt);
    QCOMPARE(m_avahi.groupCount(), 1);
}

void ServiceTest::stopsCleanly()
{
    // Stopped while a tool still runs: the service ends normally, after
    // stopping the tool (in sanitizer builds it also reports no leak).
    m_usbip.setDefaultResponse(QByteArray(), QByteArray(), 0, 61234);
    QDBusMessage share = QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                                        QLatin1String(OvraUsbIp::ManagerPath),
                                                        QLatin1String(OvraUsbIp::ManagerInterface),
                                                        QStringLiteral("ShareDevice"));
    share << QStringLiteral("1-1") << QString();
    QDBusPendingCall pending = QDBusConnection::systemBus().asyncCall(share);
    QTRY_COMPARE(m_usbip.calls().size(), 1);
    m_service.stop();
    QCOMPARE(m_service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_service.exitCode(), 0);
    pending.waitForFinished();
    QVERIFY(pending.isError()); // never answered: the service has gone
    QTRY_VERIFY(!sleepingChildLeft());
    QVERIFY2(!m_service.log().contains(QStringLiteral("LeakSanitizer")),
             qPrintable(m_service.log()));
}

void ServiceTest::killedWhileToolStarts()
{
    // A killed service leaves nothing that holds its name or keeps running:
    // not the fork that is about to become the tool, not the tool.
    m_usbip.setDefaultResponse(QByteArray(), QByteArray(), 0, 61234);
    QDBusMessage share = QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                                        QLatin1String(OvraUsbIp::ManagerPath),
                                                        QLatin1String(OvraUsbIp::ManagerInterface),
                                                        QStringLiteral("ShareDevice"));
    share << QStringLiteral("1-1") << QString();
    QDBusConnection::systemBus().asyncCall(share);
    QTRY_VERIFY(m_service.log().contains(QStringLiteral("running usbip bind")));
    m_service.kill();

    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(QLatin1String(OvraUsbIp::ManagerService)),
                             2000);
    QTRY_VERIFY_WITH_TIMEOUT(processesWith(m_usbip.executable().toLocal8Bit()).isEmpty(), 2000);
    // What the fake tool started itself outlives it (only the control group
    // under systemd ends it): its sleep.
    for (const pid_t pid : processesWith("61.234"))
        ::kill(pid, SIGKILL);
    QVERIFY2(restartService(), qPrintable(m_service.errorString()));
}

void ServiceTest::secondInstanceSaysWhy()
{
    QProcess second;
    second.start(ManagerProcess::executable(), {QStringLiteral("--config-dir"), m_env.configDir(),
                                                QStringLiteral("--no-restore")});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 1);
    const QByteArray said = second.readAllStandardError();
    QVERIFY2(said.contains("cannot own org.ovra.admin.usbip: it is owned by :1.")
                 && said.contains(QByteArray::number(m_service.pid())),
             said.constData());
}

void ServiceTest::connectionHealing_data()
{
    QTest::addColumn<QByteArray>("listing"); // what `usbip list -r HOST` prints
    QTest::addColumn<int>("listingExit");
    QTest::addColumn<int>("peer"); // UsbIpPeer::Mode of the host
    QTest::addColumn<bool>("healed");
    QTest::addColumn<int>("maxRuns"); // within BackoffWindowMs
    QTest::addColumn<QString>("logged"); // once, however often tried

    QTest::newRow("the host exports it again")
        << Exported << 0 << int(UsbIpPeer::Answer) << true << 2 << "is attached again";
    QTest::newRow("it comes back with another product id")
        << ToolOutput::remoteHeader("127.0.3.21")
               + ToolOutput::remoteBlock("1-1", "Acme : Other Stick (abcd:9999)")
        << 0 << int(UsbIpPeer::Answer) << false << 4 << "exports 1-1 as another device (abcd:9999)";
    QTest::newRow("the host exports other devices")
        << ToolOutput::remoteHeader("127.0.3.21")
               + ToolOutput::remoteBlock("2-1", "Acme : Stick (abcd:1234)")
        << 0 << int(UsbIpPeer::Answer) << false << 4 << "does not export 1-1";
    QTest::newRow("the listing fails")
        << QByteArray() << 1 << int(UsbIpPeer::Answer) << false << 4 << "could not connect";
    QTest::newRow("a host that never returns")
        << Exported << 0 << int(UsbIpPeer::Drop) << false << 0 << "does not answer";
}

void ServiceTest::connectionHealing()
{
    QFETCH(QByteArray, listing);
    QFETCH(int, listingExit);
    QFETCH(bool, healed);
    QFETCH(int, maxRuns);
    QFETCH(QString, logged);
    if (!m_peer.isListening())
        QSKIP(qPrintable(m_peer.errorString()));
    QFETCH(int, peer);
    m_peer.setMode(UsbIpPeer::Mode(peer));
    exportHeal(healed);
    m_usbip.setResponse(ListHeal, listing, "usbip: error: could not connect to 127.0.3.21:3240\n",
                        listingExit);
    QVERIFY2(startHealing(HealId.toUtf8() + '\n', true), qPrintable(m_service.errorString()));
    const int logStart = m_service.log().size();
    QTest::qWait(2500); // an attached connection costs no tool run
    QVERIFY(m_usbip.calls().isEmpty());

    // The kernel drops the connection: the port is free, its record stays.
    QElapsedTimer lost;
    lost.start();
    m_service.sysfs().setImported({});
    QTRY_VERIFY_WITH_TIMEOUT(!m_receiver.changes.isEmpty(), 5000);
    const qint64 detection = lost.elapsed();
    QCOMPARE(m_receiver.changes, QStringList{HealId + " false"});
    if (healed) {
        QTRY_COMPARE_WITH_TIMEOUT(m_receiver.changes.size(), 2, 10000);
        QCOMPARE(m_receiver.changes.last(), HealId + " true");
        QCOMPARE(m_usbip.calls(), (QList<QStringList>{ListHeal, AttachHeal}));
        QTest::qWait(2500); // attached again, it stays so
    } else {
        QTest::qWait(BackoffWindowMs);
        QVERIFY(attachesAndDetaches(m_usbip.calls()).isEmpty());
    }
    const int runs = m_usbip.calls().size();
    qInfo("loss seen after %lld ms; %d usbip runs in %lld ms after it", detection, runs,
          lost.elapsed());
    QVERIFY2(runs <= maxRuns, qPrintable(QString::number(runs)));
    QCOMPARE(m_receiver.changes.size(), healed ? 2 : 1);
    const QString log = m_service.log().mid(logStart);
    QCOMPARE(log.count(logged), 1);
    QCOMPARE(log.count(QStringLiteral("was lost")), 1);
    QCOMPARE(file(RemoteFile), HealId.toUtf8() + '\n');
}

void ServiceTest::disconnectStopsHealing_data()
{
    QTest::addColumn<QString>("port"); // as the caller names it
    QTest::addColumn<bool>("attaching"); // the healing's attach is on its way; else not exported
    QTest::addColumn<QList<QStringList>>("runs"); // attach and detach runs

    const QList<QStringList> none;
    const QStringList attach = AttachHeal;
    const QStringList detach{"detach", "-p", "0"};
    QTest::newRow("lost, port unknown") << QString() << false << none;
    QTest::newRow("lost, the old port named") << "0" << false << QList<QStringList>{detach};
    QTest::newRow("an attach on its way, port unknown")
        << QString() << true << QList<QStringList>{attach, detach};
    QTest::newRow("an attach on its way, the old port of another device named")
        << "3" << true << QList<QStringList>{attach, detach};
}

void ServiceTest::disconnectStopsHealing()
{
    QFETCH(QString, port);
    QFETCH(bool, attaching);
    if (!m_peer.isListening())
        QSKIP(qPrintable(m_peer.errorString()));
    exportHeal(attaching);
    QVERIFY2(startHealing(HealId.toUtf8() + '\n', true), qPrintable(m_service.errorString()));
    // Port 3 holds another device; the connection on port 0 drops. The
    // healing's attach, once started, ends only when the test lets it.
    FakeSysfs &sysfs = m_service.sysfs();
    const FakeSysfs::Imported other{3, QStringLiteral("127.0.3.22"), QStringLiteral("2-2")};
    const QString gate = m_usbip.directory() + QStringLiteral("/attach-may-end");
    QFile::remove(gate);
    if (attaching)
        m_usbip.setEffect(AttachHeal,
                          "i=0; while [ ! -e '" + gate.toUtf8()
                              + "' ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i+1)); done\n"
                              + sysfs.importedScript({{0, HealHost, "1-1"}, other}));
    m_usbip.setEffect({"detach", "-p", "0"}, sysfs.importedScript({other}));
    sysfs.setImported({other});
    if (attaching)
        QTRY_VERIFY_WITH_TIMEOUT(m_usbip.calls().contains(AttachHeal), 5000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(m_usbip.calls().contains(ListHeal), 5000);

    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                                       QLatin1String(OvraUsbIp::ManagerPath),
                                                       QLatin1String(OvraUsbIp::ManagerInterface),
                                                       QStringLiteral("DisconnectDevice"));
    call.setArguments({HealId, port});
    const int waitsBefore = m_service.log().count(QStringLiteral("waiting for the attach of"));
    QDBusPendingCallWatcher pending(QDBusConnection::systemBus().asyncCall(call));
    if (attaching) {
        // The Disconnect waits for the attach, which then ends.
        QTRY_COMPARE_WITH_TIMEOUT(m_service.log().count(
                                      QStringLiteral("waiting for the attach of")),
                                  waitsBefore + 1, 5000);
        QFile touched(gate);
        QVERIFY(touched.open(QIODevice::WriteOnly));
    }
    pending.waitForFinished();
    const QDBusMessage reply = pending.reply();
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(file(RemoteFile), QByteArray());
    // Whatever comes now, the device stays disconnected.
    exportHeal(true);
    m_usbip.setEffect(AttachHeal, sysfs.importedScript({{0, HealHost, "1-1"}, other}));
    QTest::qWait(BackoffWindowMs);
    QTEST(attachesAndDetaches(m_usbip.calls()), "runs");
    QCOMPARE(m_receiver.changes, QStringList{HealId + " false"});
    QVERIFY(m_receiver.errors.isEmpty());
}

void ServiceTest::listChangedBehindTheBack_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("attached");

    const QByteArray line = HealId.toUtf8() + '\n';
    QTest::newRow("a line added") << Missing << line << true;
    QTest::newRow("a line added to an empty list, in place") << QByteArray() << line << true;
    QTest::newRow("the line removed while it is lost") << line << QByteArray() << false;
    QTest::newRow("the line garbled")
        << line << QByteArray("\x01\xff-r/1-1/\n127.0.3.21/1-1/abcd:1234 \n") << false;
    QTest::newRow("the list made unreadable") << line << Unreadable << false;
}

void ServiceTest::listChangedBehindTheBack()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    if (!m_peer.isListening())
        QSKIP(qPrintable(m_peer.errorString()));
    exportHeal(false); // for now
    QVERIFY2(startHealing(before, false), qPrintable(m_service.errorString()));
    QTest::qWait(2500);
    QCOMPARE(m_usbip.calls().isEmpty(), before.isEmpty() || before == Missing);

    if (before.isEmpty() || before == Missing) {
        QFile list(m_env.configDir() + QLatin1Char('/') + RemoteFile);
        QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Append)); // an edit in place
        list.write(after);
    } else if (after == Unreadable) {
        m_env.removeConfigFile(RemoteFile);
        QVERIFY(QDir().mkpath(m_env.configDir() + QLatin1Char('/') + RemoteFile));
    } else {
        setFile(RemoteFile, after); // written anew
    }
    exportHeal(true);
    QFETCH(bool, attached);
    if (attached)
        QTRY_COMPARE_WITH_TIMEOUT(m_receiver.changes, QStringList{HealId + " true"}, 5000);
    else
        QTest::qWait(BackoffWindowMs);
    QCOMPARE(m_usbip.calls().count(AttachHeal), attached ? 1 : 0);
    QVERIFY(m_usbip.calls().count(ListHeal) <= 4); // however the list reads, no tight loop
    QCOMPARE(m_receiver.changes, attached ? QStringList{HealId + " true"} : QStringList());
    QDir(m_env.configDir() + QLatin1Char('/') + RemoteFile).removeRecursively();
}

void ServiceTest::shareHealing_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<QString>("driver"); // of the device at the start
    QTest::addColumn<bool>("bound"); // bound by the healing

    QTest::newRow("the recorded stick, unbound")
        << "SER1" << QByteArray("abcd:1234 SER1\n") << "usb" << true;
    QTest::newRow("the recorded stick, without a driver")
        << "SER1" << QByteArray("abcd:1234 SER1\n") << "" << true;
    QTest::newRow("its twin") << "SER2" << QByteArray("abcd:1234 SER1\n") << "usb" << false;
    QTest::newRow("a model shared before records were kept") << "SER2" << Missing << "usb" << true;
    QTest::newRow("bound already")
        << "SER1" << QByteArray("abcd:1234 SER1\n") << "usbip-host" << false;
    QTest::newRow("unshared by a call")
        << "SER1" << QByteArray("abcd:1234 SER1\n") << "usbip-host" << false;
    QTest::newRow("attached back from an exporter")
        << "SER1" << QByteArray("abcd:1234 SER1\n") << "usb" << false;
}

void ServiceTest::shareHealing()
{
    QFETCH(QString, serial);
    QFETCH(QByteArray, records);
    QFETCH(QString, driver);
    const QString busId = QStringLiteral("1-1");
    const QStringList bind{"bind", "-b", busId};
    FakeSysfs &sysfs = m_service.sysfs();
    m_service.stop();
    QDir(sysfs.path() + QStringLiteral("/bus/usb/devices")).removeRecursively();
    QDir(sysfs.path() + QStringLiteral("/devices/platform/vhci_hcd.0/usb3")).removeRecursively();
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (tag.startsWith(QLatin1String("attached back"))) {
        // Its folder lies below the vhci driver.
        const QString folder =
            sysfs.path() + QStringLiteral("/devices/platform/vhci_hcd.0/usb3/1-1");
        QVERIFY(QDir().mkpath(folder));
        QDir().mkpath(sysfs.path() + QStringLiteral("/bus/usb/devices"));
        QVERIFY(QFile::link(folder, sysfs.path() + QStringLiteral("/bus/usb/devices/1-1")));
    }
    sysfs.addDevice(busId, serial, QStringLiteral("abcd:1234"), driver);
    m_usbip.setEffect(bind, sysfs.driverScript(busId, QStringLiteral("usbip-host")));
    m_usbip.setEffect({"unbind", "-b", busId}, sysfs.driverScript(busId, QStringLiteral("usb")));
    setFile(SharedFile, "abcd:1234\n");
    if (records != Missing) {
        QVERIFY(QDir().mkpath(m_service.stateDir()));
        QFile file(recordsFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(records);
    }
    // The restore at start finds nothing to bind (an empty `usbip list -l`):
    // what is bound then is bound by the healing.
    const int logStart = m_service.log().size();
    QVERIFY(m_service.start({QStringLiteral("--config-dir"), m_env.configDir(),
                             QStringLiteral("--tool-timeout"), QString::number(ToolTimeoutMs)}));
    if (tag.startsWith(QLatin1String("unshared"))) {
        const QDBusMessage reply =
            ManagerProcess::call(QStringLiteral("UnshareDevice"), {busId, QString()});
        QCOMPARE(reply.arguments().value(0), QVariant(true));
    }
    QFETCH(bool, bound);
    if (bound)
        QTRY_VERIFY_WITH_TIMEOUT(m_usbip.calls().contains(bind), 5000);
    else
        QTest::qWait(2 * 2500);
    // The log line follows the end of the tool's run.
    QTRY_COMPARE(m_service.log().mid(logStart).count(QStringLiteral("is shared again")),
                 bound ? 1 : 0);
    QCOMPARE(m_usbip.calls().count(bind), bound ? 1 : 0);
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
