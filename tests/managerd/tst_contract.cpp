// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The running service offers the interface the repository describes (the
// proxy and the adaptor are generated from that description), and the proxy
// works against the real service.

#include "fakepolkit.h"
#include "fakeusbip.h"
#include "managerprocess.h"
#include "ovraadminusbipinterface.h"
#include "ovrausbipmanager.h"
#include "privatebus.h"
#include "testenvironment.h"
#include "tooloutput.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QXmlStreamReader>

namespace {

// "signal Error(s error, s message)", "method ShareDevice(s busid, s vidpid) -> b",
// "method ShareAccess() -> b, as"
QStringList membersOfXml(const QString &xml, const QString &interfaceName)
{
    QStringList members;
    QXmlStreamReader reader(xml);
    bool inInterface = false;
    QString current;
    QStringList arguments;
    QString out;
    while (!reader.atEnd()) {
        reader.readNext();
        const QString name = reader.name().toString();
        if (reader.isStartElement() && name == QLatin1String("interface"))
            inInterface = reader.attributes().value(QLatin1String("name")) == interfaceName;
        else if (reader.isEndElement() && name == QLatin1String("interface"))
            inInterface = false;
        if (!inInterface)
            continue;
        if (reader.isStartElement()
            && (name == QLatin1String("method") || name == QLatin1String("signal"))) {
            current = name + QLatin1Char(' ')
                    + reader.attributes().value(QLatin1String("name")).toString();
            arguments.clear();
            out.clear();
        } else if (reader.isStartElement() && name == QLatin1String("arg")) {
            const auto attributes = reader.attributes();
            const QString type = attributes.value(QLatin1String("type")).toString();
            const bool isOut = attributes.value(QLatin1String("direction")) == QLatin1String("out");
            if (isOut && current.startsWith(QLatin1String("method")))
                out += (out.isEmpty() ? QString() : QStringLiteral(", ")) + type;
            else
                arguments << type + QLatin1Char(' ')
                                 + attributes.value(QLatin1String("name")).toString();
        } else if (reader.isEndElement()
                   && (name == QLatin1String("method") || name == QLatin1String("signal"))) {
            members << current + QLatin1Char('(') + arguments.join(QStringLiteral(", "))
                           + QLatin1Char(')')
                           + (out.isEmpty() ? QString() : QStringLiteral(" -> ") + out);
        }
    }
    members.sort();
    return members;
}

QString repositoryXml()
{
    QFile file(QStringLiteral(OVRA_MANAGER_INTERFACE_XML));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class ContractTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void descriptionMatchesRunningService();
    void proxyRoundTrip();
    void proxySeesToolFailure();
    void proxySeesRejection();
    void proxySeesConnectionChanged();

private:
    PrivateBus m_bus;
    TestEnvironment m_env;
    FakeUsbip m_usbip;
    FakePolkit m_polkit;
    ManagerProcess m_service;
};

void ContractTest::initTestCase()
{
    QVERIFY2(m_bus.start(), qPrintable(m_bus.errorString()));
    QString error;
    QVERIFY2(m_polkit.start(&error), qPrintable(error));
    // The configuration folder is the test's (ManagerProcess's default).
    QVERIFY2(m_service.start({QStringLiteral("--tool-timeout"), QStringLiteral("2000")}),
             qPrintable(m_service.errorString()));
}

void ContractTest::init()
{
    m_usbip.clearResponses();
    m_usbip.clearCalls();
    m_env.removeConfigFile(QStringLiteral("shared-usb-devices"));
    m_env.removeConfigFile(QStringLiteral("remote-usb-devices"));
    m_env.removeConfigFile(QStringLiteral("share-access"));
    m_service.nft().clear();
}

void ContractTest::cleanupTestCase()
{
    m_service.stop();
    m_polkit.stop();
}

void ContractTest::descriptionMatchesRunningService()
{
    QDBusMessage introspect =
        QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                       QLatin1String(OvraUsbIp::ManagerPath),
                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                       QStringLiteral("Introspect"));
    const QDBusMessage reply = QDBusConnection::systemBus().call(introspect);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QString xml = reply.arguments().value(0).toString();
    QCOMPARE(membersOfXml(xml, QLatin1String(OvraUsbIp::ManagerInterface)),
             membersOfXml(repositoryXml(), QLatin1String(OvraUsbIp::ManagerInterface)));
}

void ContractTest::proxyRoundTrip()
{
    OvraAdminUsbIpInterface proxy;
    const QByteArray ports =
        ToolOutput::portHeader()
        + ToolOutput::portBlock("00", "Acme : Stick (abcd:1234)", "127.0.3.9:3240/1-1");
    m_usbip.setResponse({"port"}, ports);

    QDBusPendingReply<bool> shared =
        proxy.ShareDevice(QStringLiteral("1-1"), QStringLiteral("abcd:1234"));
    shared.waitForFinished();
    QVERIFY2(shared.isValid(), qPrintable(shared.error().message()));
    QCOMPARE(shared.value(), true);
    QCOMPARE(m_env.readConfigFile(QStringLiteral("shared-usb-devices")), QByteArray("abcd:1234\n"));

    QDBusPendingReply<bool> session =
        proxy.ShareDevice(QStringLiteral("1-2"), QString()); // a null vid:pid goes as ""
    session.waitForFinished();
    QCOMPARE(session.value(), true);

    QDBusPendingReply<bool> unshared =
        proxy.UnshareDevice(QStringLiteral("1-1"), QStringLiteral("abcd:1234"));
    unshared.waitForFinished();
    QCOMPARE(unshared.value(), true);
    QCOMPARE(m_env.readConfigFile(QStringLiteral("shared-usb-devices")), QByteArray());

    QDBusPendingReply<bool> connected =
        proxy.ConnectDevice(QStringLiteral("127.0.3.9/1-1/abcd:1234"), true);
    connected.waitForFinished();
    QCOMPARE(connected.value(), true);
    QCOMPARE(m_env.readConfigFile(QStringLiteral("remote-usb-devices")),
             QByteArray("127.0.3.9/1-1/abcd:1234\n"));

    QDBusPendingReply<QString> info = proxy.PortsInfo();
    info.waitForFinished();
    QCOMPARE(info.value(), QString::fromLatin1(ports));

    QDBusPendingReply<bool> disconnected =
        proxy.DisconnectDevice(QStringLiteral("127.0.3.9/1-1/abcd:1234"), QStringLiteral("00"));
    disconnected.waitForFinished();
    QCOMPARE(disconnected.value(), true);
    QCOMPARE(m_env.readConfigFile(QStringLiteral("remote-usb-devices")), QByteArray());

    QDBusPendingReply<bool> restricted =
        proxy.SetShareAccess(true, {QStringLiteral("192.168.1.5/24"), QStringLiteral("FD00::1")});
    restricted.waitForFinished();
    QVERIFY2(restricted.isValid(), qPrintable(restricted.error().message()));
    QCOMPARE(restricted.value(), true);
    QDBusPendingReply<bool, QStringList> access = proxy.ShareAccess();
    access.waitForFinished();
    QVERIFY2(access.isValid(), qPrintable(access.error().message()));
    QCOMPARE(access.argumentAt<0>(), true);
    QCOMPARE(access.argumentAt<1>(), (QStringList{"192.168.1.0/24", "fd00::1"}));
    QCOMPARE(m_service.nft().inputs().size(), 1);

    const QList<QStringList> expected{{"bind", "-b", "1-1"},
                                      {"bind", "-b", "1-2"},
                                      {"unbind", "-b", "1-1"},
                                      {"attach", "-r", "127.0.3.9", "-b", "1-1"},
                                      {"port"},
                                      {"detach", "-p", "00"}};
    QCOMPARE(m_usbip.calls(), expected);
}

void ContractTest::proxySeesToolFailure()
{
    OvraAdminUsbIpInterface proxy;
    QSignalSpy errors(&proxy, &OvraAdminUsbIpInterface::Error);
    m_usbip.setDefaultResponse(QByteArray(), "usbip: error: unable to bind device on 1-1\n", 1);
    QDBusPendingReply<bool> reply =
        proxy.ShareDevice(QStringLiteral("1-1"), QStringLiteral("abcd:1234"));
    reply.waitForFinished();
    QVERIFY(!reply.isError());
    QCOMPARE(reply.value(), false);
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(1).toString(),
             QStringLiteral("usbip: error: unable to bind device on 1-1"));

    // The packet filter's refusal is a bus error whose message the window shows.
    m_service.nft().setResponse(1, "Error: Could not process rule: Operation not permitted\n");
    QDBusPendingReply<bool> access = proxy.SetShareAccess(false, {});
    access.waitForFinished();
    QCOMPARE(access.error().name(), QLatin1String(OvraUsbIp::AccessNotAppliedError));
    // nft's own words reach the window.
    QVERIFY(proxy.errorDetail(access.error()).contains(QLatin1String("Operation not permitted")));
}

void ContractTest::proxySeesRejection()
{
    OvraAdminUsbIpInterface proxy;
    QDBusPendingReply<bool> reply = proxy.DisconnectDevice(QString(), QString()); // no port
    reply.waitForFinished();
    QVERIFY(reply.isError());
    QCOMPARE(reply.error().type(), QDBusError::InvalidArgs);
    QCOMPARE(proxy.errorText(reply.error().type()),
             QStringLiteral("The arguments passed to this call/operation are not valid."));
    QDBusPendingReply<bool> badHost = proxy.SetShareAccess(true, {QStringLiteral("10.0.0.1/33")});
    badHost.waitForFinished();
    QCOMPARE(badHost.error().type(), QDBusError::InvalidArgs);

    m_polkit.setAllowed(false);
    QDBusPendingReply<bool> denied = proxy.ConnectDevice(QStringLiteral("127.0.3.9/1-1/"), false);
    denied.waitForFinished();
    m_polkit.setAllowed(true);
    QCOMPARE(denied.error().type(), QDBusError::AccessDenied);
    QCOMPARE(proxy.errorText(denied.error().type()), QStringLiteral("Authorization error."));
    QVERIFY(m_usbip.calls().isEmpty());
    QVERIFY(m_service.nft().inputs().isEmpty());
}

void ContractTest::proxySeesConnectionChanged()
{
    // The signal reaches every listener: the proxy needs no match of its own.
    OvraAdminUsbIpInterface proxy;
    QSignalSpy changes(&proxy, &OvraAdminUsbIpInterface::ConnectionChanged);
    const QString id = QStringLiteral("127.0.3.9/1-1/abcd:1234");
    FakeSysfs &sysfs = m_service.sysfs();
    sysfs.setImported({{0, QStringLiteral("127.0.3.9"), QStringLiteral("1-1")}});
    const int watching = m_service.log().count(QStringLiteral("watching 1 constant connection"));
    m_env.writeConfigFile(QStringLiteral("remote-usb-devices"), id.toUtf8() + '\n');
    QTRY_COMPARE(m_service.log().count(QStringLiteral("watching 1 constant connection")),
                 watching + 1);

    sysfs.setImported({}); // the kernel drops it
    QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 1, 5000);
    QCOMPARE(changes.at(0), (QVariantList{id, false}));
    sysfs.setImported({{0, QStringLiteral("127.0.3.9"), QStringLiteral("1-1")}}); // back
    QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 5000);
    QCOMPARE(changes.at(1), (QVariantList{id, true}));
    QVERIFY(m_usbip.calls().isEmpty()); // the host does not answer the probe: no tool ran
    sysfs.setImported({});
}

QTEST_GUILESS_MAIN(ContractTest)
#include "tst_contract.moc"
