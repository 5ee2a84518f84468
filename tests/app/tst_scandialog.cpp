// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The scan dialog: its two states, the signal it sends, progress, stop and
// close, and the settings it keeps.

#include "fakeavahi.h"
#include "hostbrowser.h"
#include "networkscan.h"
#include "remotedevices.h"
#include "scannetworkdialog.h"
#include "testworld.h"
#include "usbippeer.h"

#include <QComboBox>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// Two /30 (two hosts each) and a /24 of loopback that no other suite uses:
// the scans really probe them.
const QMap<QString, int> Subnets{{QStringLiteral("127.0.12.0"), 3},
                                 {QStringLiteral("127.0.12.4"), 3},
                                 {QStringLiteral("127.0.120.0"), 255}};
// A peer of the /24 that accepts and never answers: with the longest
// time-out it keeps a scan at its address for a second.
const QString SilentPeer = QStringLiteral("127.0.120.2");
const int LongestTimeout = 1000;

struct Form
{
    explicit Form(ScanNetworkDialog &dialog)
        : subnet(dialog.findChild<QComboBox *>(QStringLiteral("m_subnetAddrComboBox")))
        , timeout(dialog.findChild<QSpinBox *>(QStringLiteral("m_timeoutSpinBox")))
        , progress(dialog.findChild<QProgressBar *>(QStringLiteral("m_progressBar")))
        , scan(dialog.findChild<QPushButton *>(QStringLiteral("m_scanPushButton")))
        , stop(dialog.findChild<QPushButton *>(QStringLiteral("m_stopPushButton")))
    {
    }
    bool idle() const { return !scan->isHidden() && stop->isHidden() && progress->isHidden(); }
    bool scanning() const { return scan->isHidden() && !stop->isHidden() && !progress->isHidden(); }

    QComboBox *subnet;
    QSpinBox *timeout;
    QProgressBar *progress;
    QPushButton *scan;
    QPushButton *stop;
};

// The remote service's reports.
struct Reports : QObject
{
    explicit Reports(RemoteDevices *remote)
    {
        connect(remote, &RemoteDevices::scanProgress, this, [this](int value) {
            progress.append(value);
        });
        connect(remote, &RemoteDevices::updated, this, [this]() {
            ++updated;
        });
    }
    QList<int> progress;
    int updated = 0;
};

} // namespace

class TestScanDialog : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void startsIdleWithTheNetworks();
    void settingsAreLoaded_data();
    void settingsAreLoaded();
    void scanSendsTheChosenNetwork();
    void emptyNetworkListScansNothing();
    void scanToTheEndAcceptsTheDialog();
    void lateReportsAfterStop();
    void escapeStopsClosesAndSaves();
    void announcedHostIsChosenDuringScan_data();
    void announcedHostIsChosenDuringScan();

private:
    // Returns once the worker has done what it was asked before.
    void waitForWorker();

    std::unique_ptr<RemoteDevices> m_remote;
    UsbIpPeer m_silent;
};

void TestScanDialog::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("ovra-test"));
    QCoreApplication::setApplicationName(QStringLiteral("scan-dialog-test"));
    QVERIFY2(startWorld(), qPrintable(worldError()));
    m_remote = std::make_unique<RemoteDevices>(m_env->platform(), 4);
    m_silent.setMode(UsbIpPeer::Hang);
    if (!m_silent.listen(SilentPeer))
        QFAIL(qPrintable(m_silent.errorString()));
}

void TestScanDialog::init()
{
    QSettings().clear();
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    // Nobody else answers in the scanned ranges, and a listing would fail.
    m_usbip->setDefaultResponse(QByteArray(), "usbip: error: could not connect\n", 1, 50);
}

void TestScanDialog::waitForWorker()
{
    QMetaObject::invokeMethod(
        m_remote->m_scanner,
        []() {
        },
        Qt::BlockingQueuedConnection);
}

// No scan of one test may report into the next: stop it, wait until the
// worker has handled everything queued, then take in what it reported.
void TestScanDialog::cleanup()
{
    m_remote->stopScan();
    waitForWorker();
    QCoreApplication::processEvents();
}

void TestScanDialog::cleanupTestCase()
{
    m_remote.reset();
    m_manager.reset();
}

void TestScanDialog::startsIdleWithTheNetworks()
{
    ScanNetworkDialog dialog(m_remote.get(), Subnets);
    Form form(dialog);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Scan network"));
    QVERIFY(form.idle());
    QCOMPARE(form.subnet->count(), 3);
    // Plain string order, not numeric.
    QCOMPARE(form.subnet->itemText(0), QStringLiteral("127.0.12.0"));
    QCOMPARE(form.subnet->itemText(2), QStringLiteral("127.0.120.0"));
    QCOMPARE(form.subnet->currentIndex(), 0);
    QVERIFY(!form.subnet->isEditable());
    QCOMPARE(form.timeout->value(), 150);
    QCOMPARE(form.timeout->suffix(), QStringLiteral(" ms"));
    QCOMPARE(form.scan->toolTip(), QStringLiteral("Scan"));
    QCOMPARE(form.stop->toolTip(), QStringLiteral("Stop"));
    QVERIFY(form.scan->text().isEmpty());
    // Text-less flat buttons: they must have something to show.
    QVERIFY(!form.scan->icon().pixmap(24, 24).isNull());
    QVERIFY(!form.stop->icon().pixmap(24, 24).isNull());
}

void TestScanDialog::settingsAreLoaded_data()
{
    QTest::addColumn<QVariant>("timeout");
    QTest::addColumn<QVariant>("subnet");
    QTest::addColumn<int>("shownTimeout");
    QTest::addColumn<QString>("shownSubnet");

    QTest::newRow("nothing saved") << QVariant() << QVariant() << 150 << "127.0.12.0";
    QTest::newRow("saved network")
        << QVariant(300) << QVariant("127.0.12.4") << 300 << "127.0.12.4";
    QTest::newRow("network gone") << QVariant(0) << QVariant("10.9.9.0") << 0 << "127.0.12.0";
    QTest::newRow("time-out above the range")
        << QVariant(5000) << QVariant() << 1000 << "127.0.12.0";
}

void TestScanDialog::settingsAreLoaded()
{
    QFETCH(QVariant, timeout);
    QFETCH(QVariant, subnet);
    QFETCH(int, shownTimeout);
    QFETCH(QString, shownSubnet);

    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("ScanNetwork"));
        if (timeout.isValid())
            settings.setValue(QStringLiteral("Timeout"), timeout);
        if (subnet.isValid())
            settings.setValue(QStringLiteral("Subnet"), subnet);
    }
    {
        ScanNetworkDialog dialog(m_remote.get(), Subnets);
        Form form(dialog);
        QCOMPARE(form.timeout->value(), shownTimeout);
        QCOMPARE(form.subnet->currentText(), shownSubnet);
    }
    // Closing saves what was shown, used or not.
    QSettings settings;
    QCOMPARE(settings.value(QStringLiteral("ScanNetwork/Timeout")).toInt(), shownTimeout);
    QCOMPARE(settings.value(QStringLiteral("ScanNetwork/Subnet")).toString(), shownSubnet);
}

void TestScanDialog::scanSendsTheChosenNetwork()
{
    ScanNetworkDialog dialog(m_remote.get(), Subnets);
    Form form(dialog);
    dialog.show();
    form.subnet->setCurrentText(QStringLiteral("127.0.120.0"));
    form.timeout->setValue(LongestTimeout);
    QSignalSpy requests(&dialog, &ScanNetworkDialog::scanNetwork);
    Reports reports(m_remote.get());

    form.scan->click();
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.first(), (QVariantList{QStringLiteral("127.0.120.0"), 255, LongestTimeout}));
    QVERIFY(form.scanning());
    QCOMPARE(form.progress->minimum(), 1);
    QCOMPARE(form.progress->maximum(), 254);
    // Progress comes back from the worker thread, up to the silent peer.
    QTRY_COMPARE(form.progress->value(), 1);

    form.stop->click();
    QVERIFY(form.idle());
    QVERIFY(dialog.isVisible());
    // The scan ends at once with its report of 1, and nothing is listed.
    QTRY_COMPARE(reports.progress, (QList<int>{1, 1}));
    QTest::qWait(LongestTimeout);
    QCOMPARE(reports.progress, (QList<int>{1, 1}));
    QCOMPARE(reports.updated, 0);
    QVERIFY(dialog.isVisible());
}

void TestScanDialog::emptyNetworkListScansNothing()
{
    // No network at all, and a /31 (a point-to-point link): no address to
    // scan, so Scan is off, and no progress the dialog could wait for.
    for (const QMap<QString, int> &subnets :
         {QMap<QString, int>(), QMap<QString, int>{{QStringLiteral("127.0.12.0"), 3},
                                                   {QStringLiteral("127.0.13.0"), 1}}}) {
        ScanNetworkDialog dialog(m_remote.get(), subnets);
        Form form(dialog);
        dialog.show();
        QCOMPARE(form.subnet->count(), subnets.size());
        QCOMPARE(form.scan->isEnabled(), !subnets.isEmpty());
        form.subnet->setCurrentText(QStringLiteral("127.0.13.0"));
        QVERIFY(!form.scan->isEnabled());
        QSignalSpy requests(&dialog, &ScanNetworkDialog::scanNetwork);
        Reports reports(m_remote.get());
        form.scan->click();
        QTest::qWait(200);
        QCOMPARE(requests.size(), 0);
        QVERIFY(form.idle());
        QVERIFY(dialog.isVisible());
        QCOMPARE(reports.updated, 0);
        QCOMPARE(m_usbip->calls().size(), 0);
    }
}

void TestScanDialog::scanToTheEndAcceptsTheDialog()
{
    ScanNetworkDialog dialog(m_remote.get(), Subnets);
    Form form(dialog);
    dialog.show();
    Reports reports(m_remote.get());
    form.scan->click();
    // 127.0.12.1 and 127.0.12.2 are asked; the last report closes the dialog.
    QTRY_VERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(form.progress->value(), 2);
    QTRY_COMPARE(reports.updated, 1);
    // Neither answered, so neither is listed.
    QCOMPARE(m_usbip->calls().size(), 0);
}

// Stop pressed while the reports of a scan that has just ended are on their
// way: they neither move nor close the idle dialog, and its result does not
// replace the rows. A scan asked for right after a stop gets none of the
// stopped one's reports.
void TestScanDialog::lateReportsAfterStop()
{
    ScanNetworkDialog dialog(m_remote.get(), Subnets);
    Form form(dialog);
    dialog.show();
    Reports reports(m_remote.get());
    form.scan->click(); // two addresses, both refusing
    waitForWorker(); // the scan has ended; its reports wait here
    form.stop->click();
    QTest::qWait(200);
    QVERIFY(dialog.isVisible());
    QVERIFY(form.idle());
    QCOMPARE(reports.updated, 0);

    form.subnet->setCurrentText(QStringLiteral("127.0.120.0"));
    form.timeout->setValue(LongestTimeout);
    form.scan->click();
    QTRY_COMPARE(form.progress->value(), 1); // held at the silent peer
    reports.progress.clear();
    form.stop->click();
    form.subnet->setCurrentText(QStringLiteral("127.0.12.0"));
    form.scan->click();
    QTRY_VERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(reports.progress, (QList<int>{1, 2}));
    QTRY_COMPARE(reports.updated, 1);
}

void TestScanDialog::escapeStopsClosesAndSaves()
{
    Reports reports(m_remote.get());
    {
        ScanNetworkDialog dialog(m_remote.get(), Subnets);
        Form form(dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        form.subnet->setCurrentText(QStringLiteral("127.0.120.0"));
        form.timeout->setValue(LongestTimeout);
        form.scan->click();
        QTRY_COMPARE(form.progress->value(), 1);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(form.idle());
    }
    QSettings settings;
    QCOMPARE(settings.value(QStringLiteral("ScanNetwork/Timeout")).toInt(), LongestTimeout);
    QCOMPARE(settings.value(QStringLiteral("ScanNetwork/Subnet")).toString(),
             QStringLiteral("127.0.120.0"));
    // The scan stopped: its last report was 1, and the list stayed.
    QTRY_COMPARE(reports.progress, (QList<int>{1, 1}));
    QTest::qWait(LongestTimeout);
    QCOMPARE(reports.progress, (QList<int>{1, 1}));
    QCOMPARE(reports.updated, 0);
}

void TestScanDialog::announcedHostIsChosenDuringScan_data()
{
    QTest::addColumn<QString>("subnet");
    QTest::addColumn<QList<int>>("progress");

    // Chosen at the silent peer: the scan ends with its report of 1.
    QTest::newRow("while it runs") << QStringLiteral("127.0.120.0") << QList<int>{1, 1};
    // Chosen when the scan has reported its last address, before its
    // result has come in.
    QTest::newRow("as it ends") << QStringLiteral("127.0.12.0") << QList<int>{1, 2};
}

void TestScanDialog::announcedHostIsChosenDuringScan()
{
    QFETCH(QString, subnet);
    QFETCH(QList<int>, progress);

    FakeAvahi avahi;
    QVERIFY(avahi.start());
    HostBrowser browser;
    ScanNetworkDialog dialog(m_remote.get(), Subnets, &browser);
    Form form(dialog);
    auto *list = dialog.findChild<QListWidget *>(QStringLiteral("m_announcedListWidget"));
    dialog.show();
    QCOMPARE(list->item(0)->text(), QStringLiteral("(none)"));
    QCOMPARE(list->item(0)->flags(), Qt::NoItemFlags);
    // One announces while the dialog is open.
    avahi.addService(
        FakeAvahi::Service::remote(QStringLiteral("studio"), QStringLiteral("192.0.2.7")));
    QTRY_COMPARE(list->item(0)->text(), QStringLiteral("studio (192.0.2.7)"));

    // Chosen during the scan: the scan ends, its rows do not come.
    Reports reports(m_remote.get());
    form.subnet->setCurrentText(subnet);
    form.timeout->setValue(LongestTimeout);
    form.scan->click();
    if (progress.last() == 1)
        QTRY_COMPARE(form.progress->value(), 1);
    else
        waitForWorker();
    Q_EMIT list->itemActivated(list->item(0));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.chosenHost(), QStringLiteral("192.0.2.7"));
    QTRY_COMPARE(reports.progress, progress);
    QTest::qWait(100);
    QCOMPARE(reports.updated, 0);
}

QTEST_MAIN(TestScanDialog)
#include "tst_scandialog.moc"
