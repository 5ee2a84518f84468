// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakemanager.h"
#include "ovraadminusbipinterface.h"
#include "ovrausbipmanager.h"
#include "privatebus.h"

#include <QDBusPendingCall>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <functional>

using Invoke = std::function<QDBusPendingCall(OvraAdminUsbIpInterface &)>;
Q_DECLARE_METATYPE(Invoke)

class TestOvraAdminUsbIpInterface : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void errorText_data();
    void errorText();

    void callArguments_data();
    void callArguments();

    void replyValues_data();
    void replyValues();

    void busErrors_data();
    void busErrors();

    void errorSignal();
    void absentService();
    void concurrentCallers();

private:
    PrivateBus m_bus;
    FakeManager *m_manager = nullptr;
};

void TestOvraAdminUsbIpInterface::initTestCase()
{
    // The private bus must stand in for the system bus before the first
    // QDBusConnection::systemBus() of the process.
    if (!m_bus.start())
        QSKIP(qPrintable(QStringLiteral("no private bus: ") + m_bus.errorString()));
    m_manager = new FakeManager(this);
    QVERIFY2(m_manager->start(), qPrintable(m_manager->errorString()));
}

void TestOvraAdminUsbIpInterface::init()
{
    if (!m_manager->isRunning())
        QVERIFY2(m_manager->start(), qPrintable(m_manager->errorString()));
    m_manager->resetReplies();
    m_manager->clearCalls();
}

void TestOvraAdminUsbIpInterface::errorText_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");

    const char *texts[] = {
        "Unknown error.",
        "Unknown error.",
        "The call failed.",
        "Out of memory.",
        "The called service is not known.",
        "Timeout reply.",
        "The address given is not valid.",
        "The call/operation is not supported.",
        "The limits allocated to this process/call/connection exceeded the pre-defined values.",
        "Authorization error.",
        "No server found.",
        "Timeout reply.",
        "No network found.",
        "QDBusServer tried to bind to an address that is already in use.",
        "The call/process/message was sent after QDBusConnection disconnected.",
        "The arguments passed to this call/operation are not valid.",
        "The method called was not found in this object/interface with the given parameters.",
        "Timeout reply.",
        "The type signature is not valid or compatible.",
        "The interface is not known in this object.",
        "The object path points to an object that does not exist.",
        "The property does not exist in this interface.",
        "The property set failed because the property is read-only.",
        "An internal error occurred.",
        "The service requested is invalid.",
        "The object path provided is invalid.",
        "The interface is invalid.",
        "The member is invalid.",
    };
    for (int type = 0; type < 28; ++type)
        QTest::addRow("type %d", type) << type << QString::fromLatin1(texts[type]);
    QTest::newRow("one above the last") << 28 << QStringLiteral("Unknown error.");
    QTest::newRow("far above") << 1000 << QStringLiteral("Unknown error.");
    QTest::newRow("negative") << -1 << QStringLiteral("Unknown error.");
    QCOMPARE(int(QDBusError::InvalidMember), 27); // the table above follows Qt's numbering
}

void TestOvraAdminUsbIpInterface::errorText()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    OvraAdminUsbIpInterface proxy;
    QCOMPARE(proxy.errorText(static_cast<QDBusError::ErrorType>(type)), text);
}

// Null texts and empty lists go out as the bus's empty values.
void TestOvraAdminUsbIpInterface::callArguments_data()
{
    QTest::addColumn<Invoke>("invoke");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");

    QTest::newRow("ShareDevice, bus id alone") << Invoke([](OvraAdminUsbIpInterface &p) {
        return p.ShareDevice(QStringLiteral("1-1"), QString());
    }) << "ShareDevice" << QVariantList{QStringLiteral("1-1"), QStringLiteral("")};
    QTest::newRow("DisconnectDevice, no id") << Invoke([](OvraAdminUsbIpInterface &p) {
        return p.DisconnectDevice(QString(), QStringLiteral("00"));
    }) << "DisconnectDevice" << QVariantList{QStringLiteral(""), QStringLiteral("00")};
    QTest::newRow("SetShareAccess, only this machine") << Invoke([](OvraAdminUsbIpInterface &p) {
        return p.SetShareAccess(true, {});
    }) << "SetShareAccess" << QVariantList{true, QStringList()};
}

void TestOvraAdminUsbIpInterface::callArguments()
{
    QFETCH(Invoke, invoke);
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);

    OvraAdminUsbIpInterface proxy;
    QDBusPendingCall call = invoke(proxy);
    call.waitForFinished();
    QVERIFY2(!call.isError(), qPrintable(call.error().message()));

    const QList<FakeManager::Call> calls = m_manager->calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().method, method);
    QCOMPARE(calls.first().arguments, arguments);
    // The bus types follow from the C++ types: strings stay strings, the
    // constancy flag is a boolean.
    for (int i = 0; i < arguments.size(); ++i)
        QCOMPARE(calls.first().arguments.at(i).userType(), arguments.at(i).userType());
}

void TestOvraAdminUsbIpInterface::replyValues_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("asBool");
    QTest::addColumn<QString>("asString");

    // An answer of another type than declared is no failure: it reads as
    // false or as an empty text, and nothing is reported.
    QTest::newRow("true") << QVariant(true) << true << QString();
    QTest::newRow("false") << QVariant(false) << false << QString();
    QTest::newRow("string instead of bool")
        << QVariant(QStringLiteral("true")) << false << QStringLiteral("true");
    QTest::newRow("int instead of either") << QVariant(1) << false << QString();
    QTest::newRow("list instead of either")
        << QVariant(QStringList{QStringLiteral("x")}) << false << QString();
    QTest::newRow("port text") << QVariant(FakeManager::DefaultPortsInfo) << false
                               << FakeManager::DefaultPortsInfo;
}

void TestOvraAdminUsbIpInterface::replyValues()
{
    QFETCH(QVariant, value);
    QFETCH(bool, asBool);
    QFETCH(QString, asString);

    m_manager->setReply(QStringLiteral("ShareDevice"), value);
    m_manager->setReply(QStringLiteral("PortsInfo"), value);
    OvraAdminUsbIpInterface proxy;
    QStringList reported;
    const auto report = [&reported](const QString &detailed) {
        reported << detailed;
    };
    QCOMPARE(proxy.truth(proxy.ShareDevice(QStringLiteral("1-1"), QString()), report), asBool);
    QCOMPARE(proxy.text(proxy.PortsInfo(), report), std::optional<QString>(asString));
    QCOMPARE(reported, QStringList());
}

void TestOvraAdminUsbIpInterface::busErrors_data()
{
    QTest::addColumn<FakeManager::Reply>("answer");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("detail"); // what the call helpers report

    const auto error = [](const char *name, const QString &message = QString()) {
        return FakeManager::error(QLatin1String(name), message);
    };
    QTest::newRow("access denied")
        << error("org.freedesktop.DBus.Error.AccessDenied") << int(QDBusError::AccessDenied)
        << QStringLiteral("Authorization error.") << QStringLiteral("Authorization error.");
    QTest::newRow("failed") << error("org.freedesktop.DBus.Error.Failed") << int(QDBusError::Failed)
                            << QStringLiteral("The call failed.")
                            << QStringLiteral("The call failed.");
    QTest::newRow("no reply") << error("org.freedesktop.DBus.Error.NoReply")
                              << int(QDBusError::NoReply) << QStringLiteral("Timeout reply.")
                              << QStringLiteral("Timeout reply.");
    QTest::newRow("no answer at all: the proxy's time-out")
        << FakeManager::noReply() << int(QDBusError::NoReply) << QStringLiteral("Timeout reply.")
        << QStringLiteral("Timeout reply.");
    // The services clean it (OutsideText) before a box shows it.
    QTest::newRow("service's own name: its message as sent")
        << error("org.ovra.admin.usbip.Error.ModuleUnavailable",
                 QStringLiteral("the kernel module vhci-hcd is not available: not found\r\n"))
        << int(QDBusError::Other) << QStringLiteral("Unknown error.")
        << QStringLiteral("the kernel module vhci-hcd is not available: not found\r\n");
    QTest::newRow("service's own name without a message: the type's text")
        << error("org.ovra.admin.usbip.Error.Busy", QStringLiteral(" ")) << int(QDBusError::Other)
        << QStringLiteral("Unknown error.") << QStringLiteral("Unknown error.");
    QTest::newRow("a name that only looks like the service's")
        << error("org.ovra.admin.usbipx.Error.Busy", QStringLiteral("not shown"))
        << int(QDBusError::Other) << QStringLiteral("Unknown error.")
        << QStringLiteral("Unknown error.");
}

void TestOvraAdminUsbIpInterface::busErrors()
{
    QFETCH(FakeManager::Reply, answer);
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(QString, detail);

    m_manager->setReply(QStringLiteral("PortsInfo"), answer);
    OvraAdminUsbIpInterface proxy;
    QCOMPARE(proxy.timeout(), OvraUsbIp::ManagerReplyTimeoutMs);
    proxy.setTimeout(1500); // a call that gets no answer ends here
    QDBusPendingReply<QString> reply = proxy.PortsInfo();
    reply.waitForFinished();
    QVERIFY(reply.isError());
    QCOMPARE(int(reply.error().type()), type);
    QCOMPARE(proxy.errorText(reply.error().type()), text);
    QCOMPARE(OvraAdminUsbIpInterface::stringReply(reply), QString());
    QCOMPARE(OvraAdminUsbIpInterface::boolReply(reply), false);

    QStringList reported;
    const auto report = [&reported](const QString &detailed) {
        reported << detailed;
    };
    QVERIFY(!proxy.text(proxy.PortsInfo(), report));
    QCOMPARE(reported, (QStringList{detail}));
    m_manager->setReply(QStringLiteral("ShareDevice"), answer);
    QVERIFY(!proxy.truth(proxy.ShareDevice(QStringLiteral("1-1"), QString()), report));
    QCOMPARE(reported, (QStringList{detail, detail}));
}

void TestOvraAdminUsbIpInterface::errorSignal()
{
    OvraAdminUsbIpInterface proxy;
    QSignalSpy spy(&proxy, &OvraAdminUsbIpInterface::Error);
    // Give the match rule time to reach the bus before the signal is sent.
    QDBusPendingCall sync = proxy.PortsInfo();
    sync.waitForFinished();
    QVERIFY(m_manager->emitError(QStringLiteral("Binding failed"), QStringLiteral("busy 1-1")));
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().at(0).toString(), QStringLiteral("Binding failed"));
    QCOMPARE(spy.first().at(1).toString(), QStringLiteral("busy 1-1"));

    // The broadcast of a lost and a returning constant connection.
    QSignalSpy changes(&proxy, &OvraAdminUsbIpInterface::ConnectionChanged);
    sync = proxy.PortsInfo();
    sync.waitForFinished();
    const QString id = QStringLiteral("127.0.3.9/1-1/abcd:1234");
    QVERIFY(m_manager->emitConnectionChanged(id, false));
    QVERIFY(m_manager->emitConnectionChanged(id, true));
    QTRY_COMPARE(changes.size(), 2);
    QCOMPARE(changes.at(0), (QVariantList{id, false}));
    QCOMPARE(changes.at(1), (QVariantList{id, true}));
}

void TestOvraAdminUsbIpInterface::absentService()
{
    m_manager->stop();
    OvraAdminUsbIpInterface proxy;
    QDBusPendingReply<bool> reply = proxy.ShareDevice(QStringLiteral("1-1"), QString());
    reply.waitForFinished();
    QVERIFY(reply.isError());
    QCOMPARE(reply.error().type(), QDBusError::ServiceUnknown);
    QCOMPARE(proxy.errorText(reply.error().type()),
             QStringLiteral("The called service is not known."));
    QVERIFY(m_manager->start());
}

void TestOvraAdminUsbIpInterface::concurrentCallers()
{
    // One proxy, owned by this (the GUI) thread, called from a worker thread
    // and from this thread at the same time: every reply must reach its caller.
    const QString portText = FakeManager::DefaultPortsInfo
                           + QStringLiteral("Port 00: <Port in Use> at High Speed(480Mbps)\n");
    m_manager->setReply(QStringLiteral("PortsInfo"), portText);
    m_manager->setReply(QStringLiteral("ShareDevice"), true);

    OvraAdminUsbIpInterface proxy;
    const int rounds = 100;
    std::atomic<int> workerGood{0};
    std::atomic<int> workerBad{0};
    QThread *worker = QThread::create([&] {
        for (int i = 0; i < rounds; ++i) {
            QDBusPendingCall call = proxy.PortsInfo();
            call.waitForFinished();
            if (OvraAdminUsbIpInterface::stringReply(call) == portText)
                ++workerGood;
            else
                ++workerBad;
        }
    });
    worker->start();
    int mainGood = 0;
    for (int i = 0; i < rounds; ++i) {
        QDBusPendingCall call = proxy.ShareDevice(QStringLiteral("1-%1").arg(i), QString());
        call.waitForFinished();
        if (OvraAdminUsbIpInterface::boolReply(call))
            ++mainGood;
    }
    QVERIFY(worker->wait(60000));
    delete worker;
    QCOMPARE(mainGood, rounds);
    QCOMPARE(workerBad.load(), 0);
    QCOMPARE(workerGood.load(), rounds);
    QCOMPARE(m_manager->calls().size(), 2 * rounds);
}

QTEST_GUILESS_MAIN(TestOvraAdminUsbIpInterface)
#include "tst_ovraadminusbipinterface.moc"
