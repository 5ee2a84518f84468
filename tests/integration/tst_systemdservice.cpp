// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "systemdservice.h"

#include "fakesystemd.h"
#include "privatebus.h"

#include <QElapsedTimer>
#include <QTest>

using OvraAdmin::SystemdService;

// SystemdService against a fake systemd on a private system bus.
class TestSystemdService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void unitNames_data();
    void unitNames();
    void states_data();
    void states();
    void enable_data();
    void enable();
    void start_data();
    void start();
    void startWithoutJobSignal();
    void noSystemd();

private:
    PrivateBus m_bus;
    FakeSystemd m_systemd;
};

void TestSystemdService::initTestCase()
{
    if (!m_bus.start())
        QSKIP(qPrintable(m_bus.errorString()));
    QVERIFY2(m_systemd.start(), qPrintable(m_systemd.errorString()));
}

void TestSystemdService::init()
{
    m_systemd.setActive(false);
    m_systemd.setEnabled(true);
    m_systemd.setStartSucceeds(true);
    m_systemd.setEnableSucceeds(true);
    m_systemd.setStartRefused(false);
    m_systemd.setStartDelay(0);
    m_systemd.setSendsJobSignals(true);
    m_systemd.clearCalls();
}

void TestSystemdService::unitNames_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("unit");
    QTest::newRow("bare name") << "usbipd"
                               << "usbipd.service";
    QTest::newRow("service") << "usbipd.service"
                             << "usbipd.service";
    QTest::newRow("socket") << "usbipd.socket"
                            << "usbipd.socket";
    QTest::newRow("dotted name") << "usbip.d"
                                 << "usbip.d.service";
}

void TestSystemdService::unitNames()
{
    QFETCH(QString, given);
    QFETCH(QString, unit);
    QCOMPARE(SystemdService(given).m_unit, unit);
}

void TestSystemdService::states_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("fileState");
    QTest::addColumn<bool>("expectActive");
    QTest::addColumn<bool>("expectEnabled");

    QTest::newRow("active, enabled") << "usbipd" << true << "enabled" << true << true;
    QTest::newRow("inactive, disabled") << "usbipd" << false << "disabled" << false << false;
    QTest::newRow("active, disabled") << "usbipd" << true << "disabled" << true << false;
    QTest::newRow("static counts as enabled") << "usbipd" << false << "static" << false << true;
    QTest::newRow("masked is not enabled") << "usbipd" << false << "masked" << false << false;
    QTest::newRow("other unit") << "sshd" << true << "enabled" << false << false;
}

void TestSystemdService::states()
{
    QFETCH(QString, unit);
    QFETCH(bool, active);
    QFETCH(QString, fileState);
    QFETCH(bool, expectActive);
    QFETCH(bool, expectEnabled);

    m_systemd.setActive(active);
    m_systemd.setUnitFileState(fileState);
    SystemdService service(unit);
    QCOMPARE(service.isActive(), expectActive);
    QCOMPARE(service.isEnabled(), expectEnabled);
    // Queries change nothing.
    QCOMPARE(m_systemd.isActive(), active);
    QCOMPARE(m_systemd.unitFileState(), fileState);
    QCOMPARE(m_systemd.indexOfCall(QStringLiteral("StartUnit")), -1);
    QCOMPARE(m_systemd.indexOfCall(QStringLiteral("EnableUnitFiles")), -1);
}

void TestSystemdService::enable_data()
{
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("enabled") << true;
    QTest::newRow("refused") << false;
}

void TestSystemdService::enable()
{
    QFETCH(bool, succeeds);
    m_systemd.setEnabled(false);
    m_systemd.setEnableSucceeds(succeeds);
    SystemdService service(QStringLiteral("usbipd"));
    QCOMPARE(service.enable(), succeeds);
    QCOMPARE(service.lastError().isEmpty(), succeeds);
    QCOMPARE(service.isEnabled(), succeeds);
    QVERIFY(m_systemd.calls().contains(QStringLiteral("EnableUnitFiles usbipd.service")));
    // systemd re-reads its configuration after a successful enable.
    QCOMPARE(m_systemd.calls().contains(QStringLiteral("Reload")), succeeds);
}

void TestSystemdService::start_data()
{
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("expectActive");

    QTest::newRow("starts at once") << true << false << 0 << true;
    QTest::newRow("starts after a while") << true << false << 700 << true;
    QTest::newRow("fails") << false << false << 0 << false;
    QTest::newRow("fails after a while") << false << false << 700 << false;
    QTest::newRow("not authorised") << true << true << 0 << false;
}

void TestSystemdService::start()
{
    QFETCH(bool, succeeds);
    QFETCH(bool, refused);
    QFETCH(int, delayMs);
    QFETCH(bool, expectActive);

    m_systemd.setStartSucceeds(succeeds);
    m_systemd.setStartRefused(refused);
    m_systemd.setStartDelay(delayMs);
    SystemdService service(QStringLiteral("usbipd"));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(service.start(), expectActive);
    // A refused call is an error; a job that failed is not a bus error.
    QCOMPARE(service.lastError().isEmpty(), !refused);
    // start() waits for the job, not merely for the reply.
    if (!refused)
        QVERIFY(timer.elapsed() >= delayMs - 50);
    QVERIFY(timer.elapsed() < delayMs + 5000);
    QCOMPARE(service.isActive(), expectActive);
    QVERIFY(m_systemd.calls().contains(QStringLiteral("StartUnit usbipd.service replace")));
    QCOMPARE(m_systemd.indexOfCall(QStringLiteral("EnableUnitFiles")), -1);
}

void TestSystemdService::startWithoutJobSignal()
{
    // A failed start announced by no signal ends at the time limit.
    m_systemd.setStartSucceeds(false);
    m_systemd.setSendsJobSignals(false);
    SystemdService service(QStringLiteral("usbipd"));
    service.setStartTimeout(800);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!service.start());
    QVERIFY(timer.elapsed() >= 700);
    QVERIFY(timer.elapsed() < 5000);

    // A successful one is seen through the unit's state, long before the
    // time limit.
    m_systemd.setActive(false);
    m_systemd.setStartSucceeds(true);
    m_systemd.setStartDelay(300);
    service.setStartTimeout(20000);
    timer.restart();
    QVERIFY(service.start());
    QVERIFY(timer.elapsed() < 10000);
}

void TestSystemdService::noSystemd()
{
    m_systemd.stop();
    SystemdService service(QStringLiteral("usbipd"));
    QVERIFY(!service.isActive());
    QVERIFY(!service.isEnabled());
    QVERIFY(!service.enable());
    QVERIFY(!service.start());
    QVERIFY(!service.lastError().isEmpty());
    QVERIFY(m_systemd.start());
}

QTEST_MAIN(TestSystemdService)
#include "tst_systemdservice.moc"
