// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The main window with fakes for the tool, the Manager service, the resolver
// and the hardware: settings, the first listing, button rules, double
// clicks, re-selection, drive notifications, context menus and error boxes.

#include "environment.h"
#include "fakeavahi.h"
#include "fakenotifications.h"
#include "mainwindow.h"
#include "modalcloser.h"
#include "nethelpers.h"
#include "ovraintegration.h"
#include "ovrawait.h"
#include "privatebus.h"
#include "remotedevicesmodel.h"
#include "scannetworkdialog.h"
#include "shareaccessdialog.h"
#include "startup.h"
#include "testworld.h"
#include "tooloutput.h"
#include "usbippeer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTextBlock>
#include <QTreeView>
#include <QtTest>

#include <Solid/DeviceNotifier>

#include <memory>

namespace {

const QString RemoteHost = QStringLiteral("127.0.2.9");

const QStringList ListLocal{QStringLiteral("list"), QStringLiteral("-l")};
const QStringList ListLocalhost{QStringLiteral("list"), QStringLiteral("-r"),
                                QStringLiteral("localhost")};
const QStringList ListRemote{QStringLiteral("list"), QStringLiteral("-r"), RemoteHost};

QByteArray idsOf(const QByteArray &busid)
{
    return "abcd:" + QByteArray(4, busid.at(0));
}

QByteArray localList(const QList<QByteArray> &busids)
{
    QByteArray text;
    for (const QByteArray &busid : busids)
        text += ToolOutput::localBlock(busid, idsOf(busid), "Acme Corp. : Stick " + busid);
    return text;
}

QByteArray remoteList(const QByteArray &host, const QList<QByteArray> &busids)
{
    QByteArray text = ToolOutput::remoteHeader(host);
    for (const QByteArray &busid : busids)
        text += ToolOutput::remoteBlock(busid,
                                        "Acme Corp. : Stick " + busid + " (" + idsOf(busid) + ")");
    return text;
}

QString portText(const QString &busid, const QString &port)
{
    const QByteArray id = busid.toLatin1();
    return QString::fromLatin1(
        ToolOutput::portHeader()
        + ToolOutput::portBlock(port.toLatin1(),
                                "Acme Corp. : Stick " + id + " (" + idsOf(id) + ")",
                                RemoteHost.toLatin1() + ":3240/" + id));
}

// Rows of the remote table for the three listed devices: on kernels above 4
// the listing adds the attached device (1-1 on port 00) once more.
int remoteRows()
{
    return kernelMajorVersion() > 4 ? 4 : 3;
}

// Counts the events of one type that reach the watched objects while *active
// holds (a nullptr `active`: always).
class EventCounter : public QObject
{
public:
    EventCounter(QEvent::Type type, const bool *active = nullptr)
        : m_type(type)
        , m_active(active)
    {
    }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == m_type && (!m_active || *m_active))
            ++count;
        return QObject::eventFilter(watched, event);
    }

private:
    QEvent::Type m_type;
    const bool *m_active;
};

template <typename T>
T *child(QWidget *window, const char *name)
{
    T *found = window->findChild<T *>(QLatin1String(name));
    if (!found)
        qWarning("no child %s", name);
    return found;
}

} // namespace

class TestMainWindow : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void formStartsAsDesigned();
    void settingsRoundTrip();
    void firstListingFollowsSavedTab_data();
    void firstListingFollowsSavedTab();
    void localButtonsFollowCurrentRow();
    void remoteButtonsFollowCurrentRow();
    void healedConnectionsNotifyWithoutBoxes();
    void hostFieldControlsRemoteUpdate();
    void doubleClickUnsharesAndDisconnects();
    void currentRowSurvivesRelisting();
    void driveNotificationsFilterByPrefix_data();
    void driveNotificationsFilterByPrefix();
    void solidPlugAndUnplug();
    void contextMenus();
    void errorBoxes_data();
    void errorBoxes();
    void slowManagerLeavesWindowAlive();
    void failingPortCheckShowsOneBox();
    void heldWorkRunsInOrder();
    void scanButtonOpensModalDialog();
    void announcedHostsAreOffered();
    void quitDuringScanStopsIt();
    void f1ShowsHelp();
    void remoteTableFromTheRealTool();
    void kernelVersionIsTheLeadingNumber_data();
    void kernelVersionIsTheLeadingNumber();
    void accessDialogChecksEntries_data();
    void accessDialogChecksEntries();
    void accessChangeThroughTheDialog();

private:
    int callCount(const QStringList &arguments) const;
    int managerCalls(const QString &method) const;
    std::unique_ptr<MainWindow> makeWindow();
    QTreeView *localView(MainWindow *window) const
    {
        return child<QTreeView>(window, "m_localDevicesTreeView");
    }
    QTreeView *remoteView(MainWindow *window) const
    {
        return child<QTreeView>(window, "m_remoteDevicesTreeView");
    }
    static QModelIndex rowOf(QTreeView *view, const QString &busid);

    PrivateBus m_sessionBus;
    FakeAvahi m_avahi;
    FakeNotifications m_notifications;
};

int TestMainWindow::callCount(const QStringList &arguments) const
{
    return m_usbip->calls().count(arguments);
}

int TestMainWindow::managerCalls(const QString &method) const
{
    int count = 0;
    const QList<FakeManager::Call> calls = m_manager->calls();
    for (const FakeManager::Call &call : calls)
        count += call.method == method;
    return count;
}

QModelIndex TestMainWindow::rowOf(QTreeView *view, const QString &busid)
{
    QAbstractItemModel *model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        for (int column = 0; column < 2; ++column) {
            if (model->index(row, column).data().toString() == busid)
                return model->index(row, 0);
        }
    }
    return QModelIndex();
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow()
{
    return std::make_unique<MainWindow>(platformFromEnvironment());
}

void TestMainWindow::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("ovra-test"));
    QCoreApplication::setApplicationName(QStringLiteral("window-test"));
    // A session bus first (PrivateBus points the system bus address at each
    // bus it starts), for Solid's fake hardware backend; then the system bus.
    QVERIFY2(m_sessionBus.start(), qPrintable(m_sessionBus.errorString()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_sessionBus.address().toLocal8Bit());
    QVERIFY2(startWorld(), qPrintable(worldError()));
    QVERIFY2(m_notifications.start(), qPrintable(m_notifications.errorString()));
    // 127.0.2.9 is called far.test.
    qputenv("OVRA_RESOLVER_HOSTS_FILE",
            QFile::encodeName(m_env->writeFile(QStringLiteral("hosts"),
                                               "127.0.0.1 localhost\n127.0.2.9 far.test\n")));
    setHostsFile(qEnvironmentVariable("OVRA_RESOLVER_HOSTS_FILE"));
    // Every listed local device is a row; no storage drive is needed.
    qputenv("TESTMODE", "1");
    qputenv("SOLID_FAKEHW", QFile::encodeName(QString::fromLocal8Bit(qgetenv("OVRA_TEST_DATA_DIR"))
                                              + QStringLiteral("/window-hardware.xml")));
}

void TestMainWindow::init()
{
    QSettings settings;
    settings.clear();
    settings.setValue(QStringLiteral("host"), RemoteHost);
    settings.sync();

    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_env->removeConfigFile(QStringLiteral("remote-usb-devices"));
    // 1-1 is exported here (shared), 2-1 and 3-1 are not.
    m_usbip->setResponse(ListLocal, localList({"1-1", "2-1", "3-1"}));
    m_usbip->setResponse(ListLocalhost, remoteList("localhost", {"1-1"}));
    // 1-1 of the remote host is attached on port 00.
    m_usbip->setResponse(ListRemote, remoteList(RemoteHost.toLatin1(), {"1-1", "2-1", "3-1"}));
    m_manager->setReply(QStringLiteral("PortsInfo"),
                        portText(QStringLiteral("1-1"), QStringLiteral("00")));
}

void TestMainWindow::cleanupTestCase()
{
    m_manager.reset();
}

void TestMainWindow::formStartsAsDesigned()
{
    auto window = makeWindow();
    // Only the Update buttons and the scan button are usable at first; the
    // share and connect buttons open their menus.
    for (const char *name :
         {"m_updateLocalPushButton", "m_updateRemotePushButton", "m_scanPushButton"})
        QVERIFY2(child<QPushButton>(window.get(), name)->isEnabled(), name);
    for (const char *name : {"m_sharePushButton", "m_unsharePushButton", "m_connectPushButton",
                             "m_disconnectPushButton"})
        QVERIFY2(!child<QPushButton>(window.get(), name)->isEnabled(), name);
    QVERIFY(child<QPushButton>(window.get(), "m_sharePushButton")->menu());
    QVERIFY(child<QPushButton>(window.get(), "m_connectPushButton")->menu());
    QVERIFY(!QApplication::overrideCursor());
}

void TestMainWindow::settingsRoundTrip()
{
    {
        auto window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->resize(600, 420);
        child<QLineEdit>(window.get(), "m_hostLineEdit")->setText(QStringLiteral("never-listed"));
        child<QTabWidget>(window.get(), "m_tabWidget")->setCurrentIndex(1);
    }
    {
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("host")).toString(), QStringLiteral("never-listed"));
        QCOMPARE(settings.value(QStringLiteral("currentTab")).toInt(), 1);
        QVERIFY(settings.contains(QStringLiteral("geometry")));
    }
    // The saved host is listed at once because tab 1 was saved.
    m_usbip->setResponse({QStringLiteral("list"), QStringLiteral("-r"),
                          QStringLiteral("never-listed")},
                         QByteArray(), "usbip: error: could not connect\n", 1);
    auto window = makeWindow();
    QCOMPARE(child<QLineEdit>(window.get(), "m_hostLineEdit")->text(),
             QStringLiteral("never-listed"));
    QCOMPARE(child<QTabWidget>(window.get(), "m_tabWidget")->currentIndex(), 1);
    QCOMPARE(window->size(), QSize(600, 420));
    QCOMPARE(callCount(
                 {QStringLiteral("list"), QStringLiteral("-r"), QStringLiteral("never-listed")}),
             1);
}

void TestMainWindow::firstListingFollowsSavedTab_data()
{
    QTest::addColumn<QVariant>("savedTab");
    QTest::addColumn<int>("localListings");
    QTest::addColumn<int>("remoteListings");
    QTest::addColumn<int>("currentTab");

    QTest::newRow("absent") << QVariant() << 1 << 0 << 0;
    QTest::newRow("0") << QVariant(0) << 1 << 0 << 0;
    QTest::newRow("1") << QVariant(1) << 0 << 1 << 1;
    QTest::newRow("no such tab") << QVariant(5) << 1 << 0 << 0;
}

void TestMainWindow::firstListingFollowsSavedTab()
{
    QFETCH(QVariant, savedTab);
    QFETCH(int, localListings);
    QFETCH(int, remoteListings);
    QFETCH(int, currentTab);

    {
        QSettings settings;
        if (savedTab.isValid())
            settings.setValue(QStringLiteral("currentTab"), savedTab);
    }
    auto window = makeWindow();
    QCOMPARE(child<QTabWidget>(window.get(), "m_tabWidget")->currentIndex(), currentTab);
    QCOMPARE(callCount(ListLocal), localListings);
    QCOMPARE(callCount(ListRemote), remoteListings);
    // Every local listing asks this machine's daemon what it exports.
    QCOMPARE(callCount(ListLocalhost), localListings);
    QCOMPARE(localView(window.get())->model()->rowCount(), localListings ? 3 : 0);
    QCOMPARE(remoteView(window.get())->model()->rowCount(), remoteListings ? remoteRows() : 0);
    // Tab switches fetch nothing.
    child<QTabWidget>(window.get(), "m_tabWidget")->setCurrentIndex(1 - currentTab);
    QCOMPARE(m_usbip->calls().count(ListLocal) + m_usbip->calls().count(ListRemote), 1);
}

void TestMainWindow::localButtonsFollowCurrentRow()
{
    auto window = makeWindow();
    QTreeView *view = localView(window.get());
    auto *share = child<QPushButton>(window.get(), "m_sharePushButton");
    auto *unshare = child<QPushButton>(window.get(), "m_unsharePushButton");

    view->setCurrentIndex(rowOf(view, QStringLiteral("1-1")));
    QVERIFY(!share->isEnabled());
    QVERIFY(unshare->isEnabled());

    view->setCurrentIndex(
        rowOf(view, QStringLiteral("2-1")).sibling(rowOf(view, QStringLiteral("2-1")).row(), 3));
    QVERIFY(share->isEnabled());
    QVERIFY(!unshare->isEnabled());

    // Share constantly from the button's menu: the Manager gets the ids and
    // the buttons swap.
    child<QAction>(window.get(), "m_shareConstAction")->trigger();
    QCOMPARE(m_manager->calls().last().method, QStringLiteral("ShareDevice"));
    QCOMPARE(m_manager->calls().last().arguments,
             (QVariantList{QStringLiteral("2-1"), QStringLiteral("abcd:2222")}));
    QVERIFY(!share->isEnabled());
    QVERIFY(unshare->isEnabled());
    QCOMPARE(rowOf(view, QStringLiteral("2-1"))
                 .sibling(rowOf(view, QStringLiteral("2-1")).row(), 2)
                 .data()
                 .toString(),
             QStringLiteral("shared (constantly)"));

    unshare->click();
    QCOMPARE(m_manager->calls().last().method, QStringLiteral("UnshareDevice"));
    QVERIFY(share->isEnabled());
    QVERIFY(!unshare->isEnabled());

    view->selectionModel()->clearCurrentIndex();
    QVERIFY(!share->isEnabled());
    QVERIFY(!unshare->isEnabled());
    // Without a current row the actions do nothing.
    m_manager->clearCalls();
    child<QAction>(window.get(), "m_shareSessionAction")->trigger();
    child<QAction>(window.get(), "m_unshareAction")->trigger();
    QCOMPARE(m_manager->calls().size(), 0);
    QVERIFY(!QApplication::overrideCursor());
}

void TestMainWindow::remoteButtonsFollowCurrentRow()
{
    QSettings().setValue(QStringLiteral("currentTab"), 1);
    auto window = makeWindow();
    QTreeView *view = remoteView(window.get());
    auto *connectButton = child<QPushButton>(window.get(), "m_connectPushButton");
    auto *disconnectButton = child<QPushButton>(window.get(), "m_disconnectPushButton");
    QCOMPARE(view->model()->rowCount(), remoteRows());

    view->setCurrentIndex(rowOf(view, QStringLiteral("1-1")));
    QVERIFY(!connectButton->isEnabled());
    QVERIFY(disconnectButton->isEnabled());

    view->setCurrentIndex(rowOf(view, QStringLiteral("3-1")));
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!disconnectButton->isEnabled());

    // Connect for the session; the fake's port table then shows it.
    m_manager->setReply(QStringLiteral("PortsInfo"),
                        portText(QStringLiteral("3-1"), QStringLiteral("01")));
    child<QAction>(window.get(), "m_connectSessionAction")->trigger();
    const QList<FakeManager::Call> calls = m_manager->calls();
    bool sent = false;
    for (const FakeManager::Call &call : calls) {
        if (call.method == QLatin1String("ConnectDevice")) {
            QCOMPARE(call.arguments,
                     (QVariantList{RemoteHost + QStringLiteral("/3-1/abcd:3333"), false}));
            sent = true;
        }
    }
    QVERIFY(sent);
    QVERIFY(!connectButton->isEnabled());
    QVERIFY(disconnectButton->isEnabled());

    view->selectionModel()->clearCurrentIndex();
    QVERIFY(!connectButton->isEnabled());
    QVERIFY(!disconnectButton->isEnabled());

    // A re-listing that runs while another call waits (held work): the
    // rows are replaced before the selection and the buttons follow them,
    // never after.
    view->setCurrentIndex(rowOf(view, QStringLiteral("2-1")));
    m_usbip->setResponse(ListRemote, remoteList(RemoteHost.toLatin1(), {"3-1", "2-1"}));
    QTimer::singleShot(0, window.get(), [&window]() {
        OvraWait::whenIdle(window.get(), [&window]() {
            QMetaObject::invokeMethod(window.get(), "updateRemoteDevices");
        });
    });
    OvraWait::pause(50);
    QTRY_COMPARE(callCount(ListRemote), 2);
    QTest::qWait(50);
    const QModelIndex current = view->selectionModel()->currentIndex();
    QVERIFY(current.isValid());
    QCOMPARE(current.siblingAtColumn(1).data().toString(), QStringLiteral("2-1"));
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!disconnectButton->isEnabled());
}

// The Manager heals a constant connection: the row follows its word, the
// desktop is told once per change, and no box appears, with or without a
// notification server.
void TestMainWindow::healedConnectionsNotifyWithoutBoxes()
{
    const QString line = RemoteHost + QStringLiteral("/1-1/abcd:1111");
    m_env->writeConfigFile(QStringLiteral("remote-usb-devices"), line.toLatin1() + '\n');
    QSettings().setValue(QStringLiteral("currentTab"), 1);
    ModalCloser closer;
    auto window = makeWindow();
    QTreeView *view = remoteView(window.get());
    view->setCurrentIndex(rowOf(view, QStringLiteral("1-1")).siblingAtColumn(3));
    m_notifications.clear();
    for (const bool withServer : {true, false}) {
        if (!withServer) {
            // One of each, though the device has two rows on kernels above 4.
            QTRY_COMPARE(m_notifications.notifications().size(), 2);
            QStringList shown;
            for (const FakeNotifications::Notification &seen : m_notifications.notifications())
                shown << QStringList{seen.appName, seen.appIcon, seen.summary, seen.body}.join(
                    " | ");
            QCOMPARE(shown,
                     (QStringList{"Ovra admin usbip | rud-devices | Lost connection to Stick 1-1 "
                                  "on 127.0.2.9 | It is connected again as soon as the host "
                                  "exports it.",
                                  "Ovra admin usbip | rud-devices | Connected again to Stick 1-1 "
                                  "on 127.0.2.9 | "}));
            // Without a notification server, rows still change, and no box
            // takes the notification's place.
            m_notifications.stop();
        }
        QVERIFY(m_manager->emitConnectionChanged(line, false));
        QTRY_COMPARE(view->currentIndex().data(), "lost connection (connecting again)");
        QVERIFY(child<QPushButton>(window.get(), "m_disconnectPushButton")->isEnabled());
        QVERIFY(!child<QPushButton>(window.get(), "m_connectPushButton")->isEnabled());
        QVERIFY(m_manager->emitConnectionChanged(line, true));
        QTRY_COMPARE(view->currentIndex().data(), "connected (constantly)");
    }
    QVERIFY(m_notifications.start());
    QVERIFY(closer.boxes.isEmpty());
}

void TestMainWindow::hostFieldControlsRemoteUpdate()
{
    auto window = makeWindow();
    auto *host = child<QLineEdit>(window.get(), "m_hostLineEdit");
    auto *update = child<QPushButton>(window.get(), "m_updateRemotePushButton");
    QCOMPARE(host->text(), RemoteHost);
    host->clear();
    QVERIFY(!update->isEnabled());
    QTest::keyClick(host, Qt::Key_A);
    QVERIFY(update->isEnabled());

    // Update lists the host as typed now.
    host->setText(RemoteHost);
    update->click();
    QCOMPARE(callCount(ListRemote), 1);
    QCOMPARE(remoteView(window.get())->model()->rowCount(), remoteRows());
}

void TestMainWindow::doubleClickUnsharesAndDisconnects()
{
    auto window = makeWindow();
    QTreeView *local = localView(window.get());

    // Not shared: nothing.
    local->setCurrentIndex(rowOf(local, QStringLiteral("2-1")));
    Q_EMIT local->doubleClicked(rowOf(local, QStringLiteral("2-1")));
    QCOMPARE(managerCalls(QStringLiteral("UnshareDevice")), 0);

    local->setCurrentIndex(rowOf(local, QStringLiteral("1-1")));
    Q_EMIT local->doubleClicked(rowOf(local, QStringLiteral("1-1")));
    QCOMPARE(managerCalls(QStringLiteral("UnshareDevice")), 1);
    QCOMPARE(m_manager->calls().last().arguments,
             (QVariantList{QStringLiteral("1-1"), QStringLiteral("abcd:1111")}));

    child<QPushButton>(window.get(), "m_updateRemotePushButton")->click();
    QTreeView *remote = remoteView(window.get());
    remote->setCurrentIndex(rowOf(remote, QStringLiteral("2-1")));
    Q_EMIT remote->doubleClicked(rowOf(remote, QStringLiteral("2-1")));
    QCOMPARE(managerCalls(QStringLiteral("DisconnectDevice")), 0);

    remote->setCurrentIndex(rowOf(remote, QStringLiteral("1-1")));
    Q_EMIT remote->doubleClicked(rowOf(remote, QStringLiteral("1-1")));
    QCOMPARE(managerCalls(QStringLiteral("DisconnectDevice")), 1);
    // A session attachment: no constant-connections line, the port as shown.
    QCOMPARE(m_manager->calls().last().arguments, (QVariantList{QString(), QStringLiteral("00")}));
    QVERIFY(child<QPushButton>(window.get(), "m_connectPushButton")->isEnabled());
}

void TestMainWindow::currentRowSurvivesRelisting()
{
    auto window = makeWindow();
    QTreeView *view = localView(window.get());
    auto *update = child<QPushButton>(window.get(), "m_updateLocalPushButton");
    view->setCurrentIndex(rowOf(view, QStringLiteral("2-1")));

    // A device is plugged in before 2-1: its row moves, the selection follows.
    m_usbip->setResponse(ListLocal, localList({"4-1", "1-1", "2-1", "3-1"}));
    QElapsedTimer clock;
    clock.start();
    update->click();
    QVERIFY2(clock.elapsed() >= 100, "a signalled re-listing pauses 100 ms first");
    QModelIndex current = view->selectionModel()->currentIndex();
    QCOMPARE(current.row(), 2);
    QCOMPARE(current.sibling(current.row(), 0).data().toString(), QStringLiteral("2-1"));
    QVERIFY(view->selectionModel()->isRowSelected(2, QModelIndex()));
    QVERIFY(child<QPushButton>(window.get(), "m_sharePushButton")->isEnabled());

    // 2-1 goes away: nothing is current and the buttons are off.
    m_usbip->setResponse(ListLocal, localList({"4-1", "1-1", "3-1"}));
    update->click();
    QVERIFY(!view->selectionModel()->currentIndex().isValid());
    QVERIFY(!child<QPushButton>(window.get(), "m_sharePushButton")->isEnabled());
    QVERIFY(!child<QPushButton>(window.get(), "m_unsharePushButton")->isEnabled());

    // The same on the remote tab, by device id.
    auto *remoteUpdate = child<QPushButton>(window.get(), "m_updateRemotePushButton");
    remoteUpdate->click();
    QTreeView *remote = remoteView(window.get());
    remote->setCurrentIndex(rowOf(remote, QStringLiteral("3-1")));
    m_usbip->setResponse(ListRemote, remoteList(RemoteHost.toLatin1(), {"3-1", "2-1"}));
    remoteUpdate->click();
    current = remote->selectionModel()->currentIndex();
    QCOMPARE(current.row(), 0);
    QCOMPARE(current.sibling(0, 1).data().toString(), QStringLiteral("3-1"));
    QVERIFY(remote->selectionModel()->isRowSelected(0, QModelIndex()));
    QVERIFY(child<QPushButton>(window.get(), "m_connectPushButton")->isEnabled());

    // A failed listing restores nothing.
    m_usbip->setResponse(ListRemote, QByteArray(), "usbip: error: could not connect\n", 1);
    ModalCloser closer;
    remoteUpdate->click();
    QVERIFY(!remote->selectionModel()->currentIndex().isValid());
    QTRY_COMPARE(closer.boxes.size(), 1);
}

void TestMainWindow::driveNotificationsFilterByPrefix_data()
{
    QTest::addColumn<bool>("added");
    QTest::addColumn<QString>("udi");
    QTest::addColumn<bool>("duringWait"); // arrives while a call waits
    QTest::addColumn<int>("listings");
    QTest::addColumn<int>("portChecks");

    const QString drive = QStringLiteral("/org/freedesktop/UDisks2/drives/Ovra_Stick_123");
    const QString partition = QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdb1");
    QTest::newRow("drive added") << true << drive << false << 1 << 0;
    QTest::newRow("drive removed") << false << drive << false << 1 << 1;
    QTest::newRow("drive added during a call: after it, with the pause")
        << true << drive << true << 1 << 0;
    QTest::newRow("partition added") << true << partition << false << 0 << 0;
    QTest::newRow("partition removed") << false << partition << false << 0 << 0;
    QTest::newRow("prefix inside the udi")
        << true << QStringLiteral("/org/kde/solid/fakehw") + drive << false << 1 << 0;
    QTest::newRow("other case") << true << QStringLiteral("/org/freedesktop/udisks2/drives/x")
                                << false << 0 << 0;
}

void TestMainWindow::driveNotificationsFilterByPrefix()
{
    QFETCH(bool, added);
    QFETCH(QString, udi);
    QFETCH(bool, duringWait);
    QFETCH(int, listings);
    QFETCH(int, portChecks);

    auto window = makeWindow();
    m_usbip->clearCalls();
    m_manager->clearCalls();
    Solid::DeviceNotifier *notifier = Solid::DeviceNotifier::instance();
    const auto notify = [&]() {
        if (added)
            Q_EMIT notifier->deviceAdded(udi);
        else
            Q_EMIT notifier->deviceRemoved(udi);
    };
    QElapsedTimer clock;
    if (duringWait) {
        QTimer::singleShot(0, notify);
        OvraWait::pause(50);
        QCOMPARE(callCount(ListLocal), 0); // held while the call waits
        clock.start();
        QTRY_COMPARE(callCount(ListLocal), listings);
    } else {
        clock.start();
        notify();
    }
    QCOMPARE(callCount(ListLocal), listings);
    if (listings)
        QVERIFY(clock.elapsed() >= 100);
    QCOMPARE(managerCalls(QStringLiteral("PortsInfo")), portChecks);
}

// The same path through Solid itself: its fake backend unplugs and plugs
// devices on request over the session bus and notifies like the real one.
void TestMainWindow::solidPlugAndUnplug()
{
    const QString drive =
        QStringLiteral("/org/kde/solid/fakehw/org/freedesktop/UDisks2/drives/Ovra_Stick");
    const QString partition =
        QStringLiteral("/org/kde/solid/fakehw/org/freedesktop/UDisks2/block_devices/ovrafake1p1");
    auto window = makeWindow();
    const auto fakeHardware = [](const char *method, const QString &udi) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(),
                                           QStringLiteral("/org/kde/solid/fakehw"), QString(),
                                           QLatin1String(method));
        call << udi;
        return QDBusConnection::sessionBus().call(call).type() == QDBusMessage::ReplyMessage;
    };

    struct Step
    {
        const char *method;
        QString udi;
        int listings;
        int portChecks;
    };
    const QList<Step> steps{{"unplug", partition, 0, 0},
                            {"plug", partition, 0, 0},
                            {"unplug", drive, 1, 1},
                            {"plug", drive, 1, 0}};
    for (const Step &step : steps) {
        m_usbip->clearCalls();
        m_manager->clearCalls();
        if (!fakeHardware(step.method, step.udi))
            QSKIP("Solid's fake backend takes no requests on this session bus");
        QCoreApplication::processEvents();
        const QByteArray what = QByteArray(step.method) + ' ' + step.udi.toLatin1();
        QVERIFY2(callCount(ListLocal) == step.listings, what.constData());
        QVERIFY2(managerCalls(QStringLiteral("PortsInfo")) == step.portChecks, what.constData());
    }
}

void TestMainWindow::contextMenus()
{
    auto window = makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTreeView *local = localView(window.get());
    ModalCloser closer;

    // No current row: no menu.
    Q_EMIT local->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(closer.menus.size(), 0);

    local->setCurrentIndex(rowOf(local, QStringLiteral("1-1")));
    Q_EMIT local->customContextMenuRequested(QPoint(5, 200));
    QCOMPARE(closer.menus.size(), 1);
    QCOMPARE(closer.menus.last(), QStringList{QStringLiteral("m_unshareAction")});

    local->setCurrentIndex(rowOf(local, QStringLiteral("3-1")));
    Q_EMIT local->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(closer.menus.last(), (QStringList{QStringLiteral("m_shareSessionAction"),
                                               QStringLiteral("m_shareConstAction")}));

    child<QPushButton>(window.get(), "m_updateRemotePushButton")->click();
    QTreeView *remote = remoteView(window.get());
    Q_EMIT remote->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(closer.menus.size(), 2);
    remote->setCurrentIndex(rowOf(remote, QStringLiteral("1-1")));
    Q_EMIT remote->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(closer.menus.last(), QStringList{QStringLiteral("m_disconnectAction")});
    remote->setCurrentIndex(rowOf(remote, QStringLiteral("2-1")));
    Q_EMIT remote->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(closer.menus.last(), (QStringList{QStringLiteral("m_connectSessionAction"),
                                               QStringLiteral("m_connectConstAction")}));
    // Context menus are not kept: only those of the two buttons and the host field's offer.
    QCOMPARE(window->findChildren<QMenu *>().size(), 3);
}

void TestMainWindow::errorBoxes_data()
{
    // "start", "share", "update local", "update remote" or "restore" (an update
    // remote that attaches two constant connections again)
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("managerError");
    QTest::addColumn<QString>("managerMessage");
    QTest::addColumn<QStringList>("failingListing");
    QTest::addColumn<QByteArray>("toolError");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("detailed");

    QTest::newRow("Manager refuses: with details")
        << "share"
        << "org.freedesktop.DBus.Error.AccessDenied" << QString() << QStringList() << QByteArray()
        << "Error share device!\n"
        << "Authorization error.";
    QTest::newRow("Manager's own error: its message")
        << "share"
        << "org.ovra.admin.usbip.Error.ModuleUnavailable"
        << "the kernel module usbip-host is not available:\tmodprobe: FATAL: Module usbip-host "
           "not found\x1b[0m\x07\n"
        << QStringList() << QByteArray() << "Error share device!\n"
        << QString::fromUtf8("the kernel module usbip-host is not available:\ufffdmodprobe: "
                             "FATAL: Module usbip-host not found\ufffd[0m\ufffd");
    QTest::newRow("two constant attachments refused: one box, after both")
        << "restore"
        << "org.freedesktop.DBus.Error.AccessDenied" << QString() << QStringList() << QByteArray()
        << "Error connect to device!\n"
        << "Authorization error.";
    QTest::newRow("listing fails without output: no details")
        << "update local" << QString() << QString() << ListLocal << QByteArray()
        << "Error updating the list of local devices!"
        << "";
    QTest::newRow("remote listing fails: the tool's reason")
        << "update remote" << QString() << QString() << ListRemote
        << QByteArray("usbip: error: could not connect to 127.0.2.9:3240: System error\n")
        << "Error updating the list of remote devices!"
        << "usbip: error: could not connect to 127.0.2.9:3240: System error";
    QTest::newRow("exports cannot be listed: said, not shown as unshared")
        << "update local" << QString() << QString() << ListLocalhost
        << QByteArray("usbip: error: could not connect to localhost:3240: System error\n")
        << "Error updating the list of shared devices!"
        << "usbip: error: could not connect to localhost:3240: System error";
    QTest::newRow("exports cannot be listed at start: said once the window is shown")
        << "start" << QString() << QString() << ListLocalhost
        << QByteArray("usbip: error: could not connect to localhost:3240: System error\n")
        << "Error updating the list of shared devices!"
        << "usbip: error: could not connect to localhost:3240: System error";
}

void TestMainWindow::errorBoxes()
{
    QFETCH(QString, action);
    QFETCH(QString, managerError);
    QFETCH(QString, managerMessage);
    QFETCH(QStringList, failingListing);
    QFETCH(QByteArray, toolError);
    QFETCH(QString, text);
    QFETCH(QString, detailed);

    const bool atStart = action == QLatin1String("start");
    ModalCloser closer;
    if (atStart) // for the first listing, in the constructor
        m_usbip->setResponse(failingListing, QByteArray(), toolError, 1);
    auto window = makeWindow();
    if (atStart) {
        QTest::qWait(100);
        QVERIFY(closer.boxes.isEmpty()); // not alone on the screen before the window
        window->show();
    }
    if (!managerError.isEmpty()) {
        m_manager->setError(QStringLiteral("ShareDevice"), managerError, managerMessage);
        m_manager->setError(QStringLiteral("ConnectDevice"), managerError, managerMessage);
    }
    if (action == QLatin1String("restore"))
        m_env->writeConfigFile(QStringLiteral("remote-usb-devices"),
                               RemoteHost.toLatin1() + "/2-1/abcd:2222\n" + RemoteHost.toLatin1()
                                   + "/3-1/abcd:3333\n");
    if (!failingListing.isEmpty() && !atStart)
        m_usbip->setResponse(failingListing, QByteArray(), toolError, 1);
    if (action == QLatin1String("share")) {
        QTreeView *view = localView(window.get());
        view->setCurrentIndex(rowOf(view, QStringLiteral("2-1")));
        child<QAction>(window.get(), "m_shareSessionAction")->trigger();
    } else if (action == QLatin1String("update local")) {
        child<QPushButton>(window.get(), "m_updateLocalPushButton")->click();
    } else if (!atStart) {
        child<QPushButton>(window.get(), "m_updateRemotePushButton")->click();
    }
    // Not inside the call that failed: the box opens once it has returned.
    QVERIFY(closer.boxes.isEmpty());
    if (action == QLatin1String("restore"))
        QCOMPARE(managerCalls(QStringLiteral("ConnectDevice")), 2);
    QTRY_COMPARE(closer.boxes.size(), 1);
    QTest::qWait(50);
    QCOMPARE(closer.boxes.size(), 1);
    const ModalCloser::Box box = closer.boxes.first();
    QCOMPARE(box.mainWindowShown, atStart);
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.detailedText, detailed);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(!box.hasParent);
    QVERIFY(box.modal);
    // The busy cursor of the failed call is not shown over the box, which
    // opens when no call waits, and it is gone once the call has returned.
    QVERIFY(!box.overrideCursor);
    QVERIFY(!QApplication::overrideCursor());
}

// A Manager that takes 3 s to answer, as while the user types a password:
// the window keeps painting and drops the clicks meanwhile; one request.
void TestMainWindow::slowManagerLeavesWindowAlive()
{
    auto window = makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTreeView *view = localView(window.get());
    view->setCurrentIndex(rowOf(view, QStringLiteral("1-1")));
    auto *unshare = child<QPushButton>(window.get(), "m_unsharePushButton");
    auto *update = child<QPushButton>(window.get(), "m_updateLocalPushButton");
    QVERIFY(unshare->isEnabled());
    m_manager->setHandler([](const FakeManager::Call &call, FakeManager::Reply *) {
        if (call.method == QLatin1String("UnshareDevice"))
            QThread::sleep(3);
        return false;
    });
    m_usbip->clearCalls();
    m_manager->clearCalls();

    bool waiting = false;
    bool ranWhileWaiting = false;
    bool busyCursor = false;
    EventCounter paints(QEvent::Paint, &waiting);
    view->viewport()->installEventFilter(&paints);
    QTimer::singleShot(500, window.get(), [&]() {
        ranWhileWaiting = waiting;
        busyCursor = QApplication::overrideCursor()
                  && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        window->resize(window->size() + QSize(40, 30)); // as a window manager would
        QTest::mouseClick(update, Qt::LeftButton);
        QTest::mouseClick(unshare, Qt::LeftButton);
    });
    QElapsedTimer clock;
    clock.start();
    waiting = true;
    unshare->click();
    waiting = false;
    const qint64 took = clock.elapsed();
    m_manager->setHandler({});

    QVERIFY2(ranWhileWaiting, "the window handled nothing while the Manager had not answered");
    QVERIFY2(took >= 3000, qPrintable(QString::number(took)));
    QVERIFY(busyCursor);
    QVERIFY(paints.count > 0);
    QCOMPARE(managerCalls(QStringLiteral("UnshareDevice")), 1);
    QCOMPARE(m_manager->calls().size(), 1);
    QCOMPARE(callCount(ListLocal), 0);
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(child<QPushButton>(window.get(), "m_sharePushButton")->isEnabled());
}

// The lost-connection check keeps failing over three periods while the
// first box is open: one box. Closed, the next failure shows it again.
void TestMainWindow::failingPortCheckShowsOneBox()
{
    m_manager->setError(QStringLiteral("PortsInfo"),
                        QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    auto window = makeWindow();
    // The check, as a drive that goes away starts it.
    const auto check = []() {
        Q_EMIT Solid::DeviceNotifier::instance()->deviceRemoved(MainWindow::DrivePrefix
                                                                + QStringLiteral("Gone"));
    };
    m_manager->clearCalls();
    int openAtOnce = 0;
    for (int period = 0; period < 3; ++period)
        QTimer::singleShot(100 + 200 * period, window.get(), check);
    QTimer::singleShot(900, [&openAtOnce]() {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *widget : windows) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->isVisible()) {
                ++openAtOnce;
                box->done(0);
            }
        }
    });
    QTest::qWait(1200);
    QCOMPARE(managerCalls(QStringLiteral("PortsInfo")), 3);
    QCOMPARE(openAtOnce, 1);
    QVERIFY(!QApplication::activeModalWidget()); // nothing queued behind it

    ModalCloser closer;
    check();
    QTRY_COMPARE(closer.boxes.size(), 1);
    QCOMPARE(closer.boxes.first().text, QStringLiteral("Error get ports info!"));
}

void TestMainWindow::heldWorkRunsInOrder()
{
    // Work that arrives after a wait, before the work held during it has
    // run, and work that arrives while held work shows a box, queue behind.
    QStringList order;
    QObject context;
    QTimer::singleShot(0, &context, [&]() {
        OvraWait::whenIdle(&context, [&]() {
            order << QStringLiteral("held 1");
            QEventLoop box; // an error box's own loop
            QTimer::singleShot(20, &box, [&]() {
                OvraWait::whenIdle(&context, [&]() {
                    order << QStringLiteral("during 1");
                });
            });
            QTimer::singleShot(40, &box, &QEventLoop::quit);
            box.exec();
        });
        OvraWait::whenIdle(&context, [&]() {
            order << QStringLiteral("held 2");
        });
    });
    OvraWait::pause(20);
    OvraWait::whenIdle(&context, [&]() {
        order << QStringLiteral("after");
    });
    QVERIFY(order.isEmpty());
    QTRY_COMPARE(order, QStringList({"held 1", "held 2", "after", "during 1"}));
}

void TestMainWindow::scanButtonOpensModalDialog()
{
    auto window = makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QString title;
    QWidget *parent = nullptr;
    QTimer::singleShot(100, [&]() {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            title = dialog->windowTitle();
            parent = dialog->parentWidget();
            dialog->reject();
        }
    });
    child<QPushButton>(window.get(), "m_scanPushButton")->click();
    QCOMPARE(title, QStringLiteral("Scan network"));
    QCOMPARE(parent, window.get());
    QVERIFY(window->findChildren<QDialog *>().isEmpty());
    QVERIFY(QSettings().contains(QStringLiteral("ScanNetwork/Timeout")));
}

// The hosts that announce themselves: offered from the host field and in the
// scan dialog; choosing one lists it by its address, or by name without one.
void TestMainWindow::announcedHostsAreOffered()
{
    m_avahi.addService(FakeAvahi::Service::remote(QStringLiteral("studio"), RemoteHost));
    m_avahi.addService(FakeAvahi::Service::remote(QStringLiteral("nameless"), QString()));
    QVERIFY(m_avahi.start());
    const QStringList listNameless{QStringLiteral("list"), QStringLiteral("-r"),
                                   QStringLiteral("nameless.local")};
    m_usbip->setResponse(listNameless, remoteList("nameless.local", {"4-1"}));
    auto window = makeWindow();
    window->show();
    auto *field = child<QLineEdit>(window.get(), "m_hostLineEdit");
    auto *offer = child<QAction>(window.get(), "m_announcedHostsAction");
    auto *menu = child<QMenu>(window.get(), "m_announcedHostsMenu");
    const auto offered = [menu]() {
        QStringList texts;
        for (const QAction *action : menu->actions())
            texts << action->text();
        return texts;
    };
    QTRY_COMPARE(offered(), (QStringList{"nameless", "studio (127.0.2.9)"}));
    QVERIFY(offer->isVisible());
    offer->trigger();
    QVERIFY(menu->isVisible());
    field->setText(QStringLiteral("typed"));
    menu->actions().at(1)->trigger();
    QCOMPARE(field->text(), RemoteHost);
    QCOMPARE(callCount(ListRemote), 1);
    QCOMPARE(remoteView(window.get())->model()->rowCount(), remoteRows());

    // The scan dialog lists them too; a double click there lists by name.
    QTimer::singleShot(100, [&]() {
        auto *list = QApplication::activeModalWidget()->findChild<QListWidget *>();
        Q_EMIT list->itemActivated(list->item(0));
    });
    child<QPushButton>(window.get(), "m_scanPushButton")->click();
    QCOMPARE(field->text(), QStringLiteral("nameless.local"));
    QCOMPARE(callCount(listNameless), 1);

    // Avahi goes: nothing is offered, and nothing else happens.
    m_avahi.stop();
    QTRY_VERIFY(!offer->isVisible());
    QVERIFY(!menu->isVisible());
    m_avahi.clearServices();
}

// The program may quit while the scan dialog is open (at the end of the
// session): the window ends the scan rather than waiting for it.
void TestMainWindow::quitDuringScanStopsIt()
{
    // A loopback /16 takes seconds to probe; its last host is not reached.
    UsbIpPeer last;
    if (!last.listen(QStringLiteral("127.204.255.254")))
        QFAIL(qPrintable(last.errorString()));
    auto window = makeWindow();
    window->show();
    bool scanning = false;
    QTimer::singleShot(0, window.get(), [&]() {
        child<QPushButton>(window.get(), "m_scanPushButton")->click();
    });
    QTimer::singleShot(100, window.get(), [&]() {
        if (auto *dialog = qobject_cast<ScanNetworkDialog *>(QApplication::activeModalWidget())) {
            // The loopback network rather than this machine's own.
            Q_EMIT dialog->scanNetwork(QStringLiteral("127.204.0.0"), 65535, 150);
            scanning = true;
        }
        QTimer::singleShot(300, []() {
            QCoreApplication::quit();
        });
    });
    QCoreApplication::exec(); // as the program runs it; the quit ends the dialog too
    QVERIFY(scanning);
    window.reset();
    QCOMPARE(last.connectionCount(), 0);
}

void TestMainWindow::f1ShowsHelp()
{
    auto window = makeWindow();
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QVERIFY(!Ovra::helpWindow() || !Ovra::helpWindow()->isVisible());
    // From anywhere in the window, also with a table focused.
    localView(window.get())->setFocus();
    QTest::keyClick(localView(window.get()), Qt::Key_F1);
    QTRY_VERIFY(Ovra::helpWindow() && Ovra::helpWindow()->isVisible());
    Ovra::helpWindow()->close();
}

void TestMainWindow::kernelVersionIsTheLeadingNumber_data()
{
    QTest::addColumn<QByteArray>("release");
    QTest::addColumn<bool>("aboveFour");

    QTest::newRow("5.10") << QByteArray("5.10.0-8-amd64\n") << true;
    QTest::newRow("4.19") << QByteArray("4.19.0-1-amd64\n") << false;
    // The whole number counts, not its first digit.
    QTest::newRow("10.1") << QByteArray("10.1.0\n") << true;
    QTest::newRow("40") << QByteArray("40-rc1\n") << true;
    QTest::newRow("not a digit") << QByteArray("v6.1\n") << false;
    QTest::newRow("nothing") << QByteArray() << false;
}

// On kernels above 4 a remote listing also carries the attached devices
// (one PortsInfo call while listing); the window hands the version over.
void TestMainWindow::kernelVersionIsTheLeadingNumber()
{
    QFETCH(QByteArray, release);
    QFETCH(bool, aboveFour);

    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    QFile uname(bin.filePath(QStringLiteral("uname")));
    QVERIFY(uname.open(QIODevice::WriteOnly));
    uname.write("#!/bin/sh\nprintf '%s' '" + release + "'\n");
    uname.close();
    uname.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);

    auto window = makeWindow();
    qputenv("PATH", path);
    m_manager->clearCalls();
    child<QPushButton>(window.get(), "m_updateRemotePushButton")->click();
    QCOMPARE(remoteView(window.get())->model()->rowCount(), aboveFour ? 4 : 3);
}

// The whole way from a USB/IP peer through the real `usbip list -r` into the
// remote table.
void TestMainWindow::remoteTableFromTheRealTool()
{
    if (FakeUsbip::realUsbip().isEmpty())
        QSKIP("the usbip tool is not installed");
    const QString address = QStringLiteral("127.0.2.30");
    UsbIpPeer peer;
    peer.setDevices({UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567),
                     UsbIpPeer::storageDevice(QStringLiteral("3-2"), 0x0951, 0x1666)});
    if (!peer.listen(address))
        QFAIL(qPrintable(peer.errorString()));
    m_usbip->setPassThrough({QStringLiteral("list"), QStringLiteral("-r"), address});
    m_manager->resetReplies();

    auto window = makeWindow();
    child<QLineEdit>(window.get(), "m_hostLineEdit")->setText(address);
    // A listing that fails shows its box: closed, so that the test ends
    // with the box's reason instead of waiting for it.
    ModalCloser closer;
    child<QPushButton>(window.get(), "m_updateRemotePushButton")->click();
    QVERIFY2(closer.boxes.isEmpty(),
             qPrintable(closer.boxes.value(0).text + closer.boxes.value(0).detailedText));
    QAbstractItemModel *model = remoteView(window.get())->model();
    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(model->index(0, 0).data().toString(), address);
    QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("1-1"));
    QCOMPARE(model->index(0, 2).data().toString(), QStringLiteral("0781:5567"));
    QCOMPARE(model->index(0, 3).data().toString(), QStringLiteral("disconnected"));
    QVERIFY(!model->index(0, 4).data().toString().isEmpty());
    QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("3-2"));
    QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("0951:1666"));
    QCOMPARE(peer.requestCount(), 1);
}

void TestMainWindow::accessDialogChecksEntries_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("cursorLine");
    QTest::addColumn<QString>("problem"); // empty: OK is enabled
    QTest::addColumn<int>("marked");

    QStringList many;
    for (int i = 0; i < 257; ++i)
        many << QStringLiteral("10.0.%1.%2").arg(i / 200).arg(i % 200);
    QTest::newRow("blanks around entries, blank lines") << " 10.0.0.1 \n\n\tfd00::/64\n"
                                                        << 0 << "" << 0;
    QTest::newRow("the invalid line the cursor is on explained")
        << "10.0.0.0/33\n10.0.0.1\nfe80::1%eth0" << 2
        << "Line 3 is not valid: it is not an IPv4 or IPv6 address or prefix." << 2;
    QTest::newRow("257 entries") << many.join('\n') << 0
                                 << "The host list has 257 entries; at most 256 are allowed." << 0;
}

void TestMainWindow::accessDialogChecksEntries()
{
    QFETCH(QString, text);
    QFETCH(int, cursorLine);
    QFETCH(QString, problem);

    ShareAccessDialog dialog(true, {});
    auto *edit = child<QPlainTextEdit>(&dialog, "m_hostsEdit");
    edit->setPlainText(text);
    edit->setTextCursor(QTextCursor(edit->document()->findBlockByNumber(cursorLine)));
    QCOMPARE(child<QLabel>(&dialog, "m_problemLabel")->text(), problem);
    QTEST(edit->extraSelections().size(), "marked");
    auto *buttons = child<QDialogButtonBox>(&dialog, "m_buttonBox");
    QCOMPARE(buttons->button(QDialogButtonBox::Ok)->isEnabled(), problem.isEmpty());
}

// The line under the local table says who may attach, from the first local
// listing on. Access... opens the dialog filled from the Manager (a broken
// list: only this machine); OK sets who may attach and the line follows; a
// refusal keeps the dialog open with what was typed.
void TestMainWindow::accessChangeThroughTheDialog()
{
    QVariant access; // none: the list is broken
    bool refuse = false;
    m_manager->setHandler([&](const FakeManager::Call &call, FakeManager::Reply *reply) {
        if (call.method == QLatin1String("ShareAccess") && !access.isValid())
            *reply = FakeManager::error("org.ovra.admin.usbip.Error.AccessListBroken", "Broken.");
        else if (call.method == QLatin1String("ShareAccess"))
            *reply = FakeManager::reply(access);
        else if (call.method != QLatin1String("SetShareAccess"))
            return false;
        else if (refuse)
            *reply = FakeManager::error(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
        else
            access = call.arguments;
        if (call.method == QLatin1String("SetShareAccess") && !refuse)
            *reply = FakeManager::reply(true);
        return true;
    });
    auto window = makeWindow();
    auto *line = child<QLabel>(window.get(), "m_accessLabel");
    QCOMPARE(line->text(),
             QStringLiteral("The list of hosts that may attach cannot be read: shared "
                            "devices can be attached only by this machine until it "
                            "is set again."));
    QCOMPARE(line->toolTip(), QStringLiteral("Broken."));
    ModalCloser closer;
    QStringList shown;
    bool stayed = false;
    // Answers the dialog that Access... opens: restricted or not, one host more, OK.
    const auto answer = [&](const char *choice) {
        QTimer::singleShot(50, [&, choice]() {
            auto *dialog = qobject_cast<ShareAccessDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            shown = QStringList{QString::number(dialog->restricted())} + dialog->hosts();
            child<QRadioButton>(dialog, choice)->click();
            child<QPlainTextEdit>(dialog, "m_hostsEdit")->appendPlainText(" fd00::1 ");
            child<QDialogButtonBox>(dialog, "m_buttonBox")->button(QDialogButtonBox::Ok)->click();
            stayed = dialog->isVisible();
            dialog->reject();
        });
        child<QPushButton>(window.get(), "m_accessPushButton")->click();
    };
    answer("m_onlyTheseRadioButton");
    QCOMPARE(shown, QStringList{"1"});
    QCOMPARE(access, QVariant(QVariantList{true, QStringList{"fd00::1"}}));
    QCOMPARE(line->text(), QStringLiteral("Shared devices can be attached by 1 host(s)."));
    QVERIFY(!stayed);

    refuse = true;
    answer("m_anyHostRadioButton");
    QCOMPARE(shown, (QStringList{"1", "fd00::1"}));
    QVERIFY(stayed);
    QTRY_COMPARE(closer.boxes.size(), 1);
    QCOMPARE(closer.boxes.first().text, QStringLiteral("Error changing who may attach!"));
    QCOMPARE(closer.boxes.first().detailedText, QStringLiteral("Authorization error."));
    m_manager->setHandler({});
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
