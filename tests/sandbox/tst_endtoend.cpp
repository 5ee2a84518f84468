// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The whole stack on the sandbox: the real main window, in this process,
// against the real Manager service on a private system bus, the polkit
// stand-in and the simulated usbip tool with the sandbox's world.

#include "sandboxworld.h"

#include "environment.h"
#include "fakenotifications.h"
#include "localdevicesmodel.h"
#include "mainwindow.h"
#include "remotedevicesmodel.h"
#include "scannetworkdialog.h"
#include "startup.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

#include <Solid/DeviceNotifier>

#include <functional>
#include <memory>

namespace {

const QString Cruzer = QStringLiteral("127.0.4.1/1-1/0781:5567");
const QString Kingston = QStringLiteral("127.0.4.1/2-1/0951:1666");
// Behind hubs: a stick of this machine and a device of 127.0.4.2.
const QString HubStick = QStringLiteral("1-2.4");
const QString JetFlash = QStringLiteral("127.0.4.2/1-1.2/8564:1000");

// Answers the modal boxes that appear while it lives, remembering what they
// said; runs `onDialog` for any other modal dialog.
class ModalWatcher : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QString detailed;
    };
    QList<Box> boxes;
    std::function<void(QDialog *)> onDialog;

    ModalWatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this]() {
            poll();
        });
        m_timer.start(20);
    }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == m_handled)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            boxes.append({box->windowTitle(), box->text(), box->detailedText()});
            m_handled = box;
            // Agrees where asked, acknowledges otherwise.
            QAbstractButton *answer = box->button(QMessageBox::Yes);
            if (!answer)
                answer = box->button(QMessageBox::Ok);
            if (answer)
                answer->click();
            else
                box->done(QMessageBox::Ok);
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            m_handled = dialog;
            if (onDialog)
                onDialog(dialog);
        }
    }

    QTimer m_timer;
    QPointer<QWidget> m_handled;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    // The desktop's session bus and its notification server.
    PrivateBus m_sessionBus;
    FakeNotifications m_notifications;
    std::unique_ptr<SandboxWorld> m_sandbox;
    std::unique_ptr<MainWindow> m_window;
    QElapsedTimer m_clock;

    template <typename T>
    T *child(const char *name) const
    {
        T *found = m_window->findChild<T *>(QLatin1String(name));
        if (!found)
            qWarning("the window has no %s", name);
        return found;
    }
    QTreeView *localView() const { return child<QTreeView>("m_localDevicesTreeView"); }
    QTreeView *remoteView() const { return child<QTreeView>("m_remoteDevicesTreeView"); }
    LocalDevicesModel *localModel() const
    {
        return qobject_cast<LocalDevicesModel *>(localView()->model());
    }
    RemoteDevicesModel *remoteModel() const
    {
        return qobject_cast<RemoteDevicesModel *>(remoteView()->model());
    }
    void trigger(const char *action) { child<QAction>(action)->trigger(); }
    void click(const char *button) { child<QPushButton>(button)->click(); }

    QString localStatus(const QString &busid) const
    {
        const QModelIndex row = localModel()->indexOf(busid);
        if (!row.isValid())
            return QStringLiteral("<no row>");
        return localModel()->index(row.row(), LocalDevicesModel::StatusColumn).data().toString();
    }
    bool selectLocal(const QString &busid)
    {
        const QModelIndex row = localModel()->indexOf(busid);
        localView()->setCurrentIndex(row);
        return row.isValid();
    }
    QString remoteStatus(const QString &deviceId) const
    {
        const QModelIndex row = remoteModel()->indexOf(deviceId);
        if (!row.isValid())
            return QStringLiteral("<no row>");
        return remoteModel()->index(row.row(), RemoteDevicesModel::StatusColumn).data().toString();
    }
    bool selectRemote(const QString &deviceId)
    {
        const QModelIndex row = remoteModel()->indexOf(deviceId);
        remoteView()->setCurrentIndex(row);
        return row.isValid();
    }
    void showRemoteHost(const QString &host)
    {
        child<QTabWidget>("m_tabWidget")->setCurrentIndex(1);
        child<QLineEdit>("m_hostLineEdit")->setText(host);
        click("m_updateRemotePushButton");
    }
    QStringList remoteColumn(int column) const
    {
        QStringList values;
        for (int row = 0; row < remoteModel()->rowCount(); ++row)
            values << remoteModel()->index(row, column).data().toString();
        return values;
    }
    // The lost-connection check, as a drive that goes away starts it.
    void checkConnections()
    {
        Q_EMIT Solid::DeviceNotifier::instance()->deviceRemoved(MainWindow::DrivePrefix
                                                                + QStringLiteral("Gone"));
    }
    // The Manager answers PortsInfo from a table up to 250 ms old: a port
    // that vanishes behind its back shows after that.
    static void waitOutPortTable() { QTest::qWait(300); }
    QByteArray recordedSerials() const
    {
        QFile file(m_sandbox->stateDir() + QStringLiteral("/shared-device-serials"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    int attachedCount() const
    {
        return m_sandbox->world().value(QStringLiteral("attached")).toArray().size();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_clock.start();
        // The session bus first: the sandbox's bus then takes its place as
        // the system bus (PrivateBus points the system bus at each it
        // starts), before the first connection, which fixes both addresses.
        QVERIFY2(m_sessionBus.start(), qPrintable(m_sessionBus.errorString()));
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_sessionBus.address().toLocal8Bit());
        m_sandbox = std::make_unique<SandboxWorld>();
        QVERIFY2(m_sandbox->start(), qPrintable(m_sandbox->errorString()));
        QVERIFY2(m_notifications.start(), qPrintable(m_notifications.errorString()));
        m_window = std::make_unique<MainWindow>(platformFromEnvironment());
        m_window->show();
        QVERIFY(localView() && remoteView() && localModel() && remoteModel());
    }

    void cleanupTestCase()
    {
        m_window.reset();
        m_sandbox.reset();
        qInfo("end-to-end suite: %lld ms", static_cast<long long>(m_clock.elapsed()));
    }

    // Every test starts from a world in which nothing is shared or attached.
    void init()
    {
        QVERIFY(m_sandbox->setAuthorized(true));
        QJsonObject world = m_sandbox->world();
        QJsonArray local = world.value(QStringLiteral("localDevices")).toArray();
        for (int i = 0; i < local.size(); ++i) {
            QJsonObject device = local.at(i).toObject();
            device.insert(QStringLiteral("bound"), false);
            local.replace(i, device);
        }
        world.insert(QStringLiteral("localDevices"), local);
        world.insert(QStringLiteral("attached"), QJsonArray());
        m_sandbox->setWorld(world);
        for (const char *file : {"shared-usb-devices", "remote-usb-devices"})
            QFile::remove(m_sandbox->configDir() + QLatin1Char('/') + QLatin1String(file));
        child<QTabWidget>("m_tabWidget")->setCurrentIndex(0);
        click("m_updateLocalPushButton");
    }

    // The local tab shows the three removable USB sticks, one behind a hub,
    // not the mouse, not the SATA disk and not the stick the machine runs
    // from (LVM on LUKS on it); the vendor name that contains " - " does not
    // split the first stick's entry.
    void localTabShowsTheSticks()
    {
        QCOMPARE(localModel()->rowCount(), 3);
        QVERIFY(!localModel()->indexOf(QStringLiteral("2-2")).isValid());
        QCOMPARE(localStatus(QStringLiteral("1-1")), QStringLiteral("unshared"));
        QCOMPARE(localStatus(QStringLiteral("2-1")), QStringLiteral("unshared"));
        QCOMPARE(localStatus(HubStick), QStringLiteral("unshared"));
        QVERIFY(!localModel()->indexOf(QStringLiteral("1-3")).isValid());
        const QModelIndex row = localModel()->indexOf(QStringLiteral("1-1"));
        QCOMPARE(localModel()->index(row.row(), LocalDevicesModel::VidPidColumn).data().toString(),
                 QStringLiteral("090C:1000"));
        QCOMPARE(localModel()->index(row.row(), LocalDevicesModel::NameColumn).data().toString(),
                 QStringLiteral("Flash Drive"));
    }

    // Sharing constantly binds the stick and records it; after the binding
    // is lost (a reboot), the Manager's start binds it again. A session share
    // is not restored.
    void shareConstantlyAndRestoreAtStart()
    {
        QVERIFY(selectLocal(QStringLiteral("1-1")));
        trigger("m_shareConstAction");
        QCOMPARE(localStatus(QStringLiteral("1-1")), QStringLiteral("shared (constantly)"));
        QVERIFY(m_sandbox->isBound(QStringLiteral("1-1")));
        QCOMPARE(m_sandbox->configFile(QStringLiteral("shared-usb-devices")),
                 QByteArray("090c:1000\n"));

        QVERIFY(selectLocal(QStringLiteral("2-1")));
        trigger("m_shareSessionAction");
        QCOMPARE(localStatus(QStringLiteral("2-1")), QStringLiteral("shared (session)"));
        QVERIFY(m_sandbox->isBound(QStringLiteral("2-1")));

        // A second stick of the same model turns up: the constant share was
        // made for the first one, by its serial number.
        QCOMPARE(recordedSerials(), QByteArray("090c:1000 SM0001A1B2C3\n"));
        QJsonObject world = m_sandbox->world();
        QJsonArray local = world.value(QStringLiteral("localDevices")).toArray();
        QJsonObject twin = local.at(0).toObject();
        twin.insert(QStringLiteral("busid"), QStringLiteral("1-4"));
        twin.insert(QStringLiteral("serial"), QStringLiteral("SM0002D4E5F6"));
        twin.insert(QStringLiteral("bound"), false);
        local.append(twin);
        world.insert(QStringLiteral("localDevices"), local);
        m_sandbox->setWorld(world);

        // A reboot: the kernel forgets every binding, the service starts anew.
        m_sandbox->stopManager();
        QCOMPARE(m_sandbox->usbip({"unbind", "-b", "1-1"}).exitCode, 0);
        QCOMPARE(m_sandbox->usbip({"unbind", "-b", "2-1"}).exitCode, 0);
        QVERIFY2(m_sandbox->startManager(), qPrintable(m_sandbox->errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->isBound(QStringLiteral("1-1")), 15000);
        QVERIFY(!m_sandbox->isBound(QStringLiteral("2-1")));
        QByteArray log;
        QTRY_VERIFY2((log += m_sandbox->managerLog()).contains("restore done"), log.constData());
        QVERIFY(!m_sandbox->isBound(QStringLiteral("1-4")));
        world = m_sandbox->world();
        local = world.value(QStringLiteral("localDevices")).toArray();
        local.removeLast(); // the twin
        world.insert(QStringLiteral("localDevices"), local);
        m_sandbox->setWorld(world);

        click("m_updateLocalPushButton");
        QCOMPARE(localStatus(QStringLiteral("1-1")), QStringLiteral("shared (constantly)"));
        QCOMPARE(localStatus(QStringLiteral("2-1")), QStringLiteral("unshared"));

        QVERIFY(selectLocal(QStringLiteral("1-1")));
        trigger("m_unshareAction");
        QCOMPARE(localStatus(QStringLiteral("1-1")), QStringLiteral("unshared"));
        QVERIFY(!m_sandbox->isBound(QStringLiteral("1-1")));
        QCOMPARE(m_sandbox->configFile(QStringLiteral("shared-usb-devices")), QByteArray());
        QCOMPARE(recordedSerials(), QByteArray());
    }

    // Attaching for the session and constantly, as the rows show it; a
    // constant attachment that was lost comes back with the next listing.
    void attachForTheSessionAndConstantly()
    {
        showRemoteHost(QStringLiteral("127.0.4.1"));
        QCOMPARE(remoteStatus(Cruzer), QStringLiteral("disconnected"));
        QCOMPARE(remoteStatus(Kingston), QStringLiteral("disconnected"));

        QVERIFY(selectRemote(Cruzer));
        trigger("m_connectSessionAction");
        QTRY_COMPARE(remoteStatus(Cruzer), QStringLiteral("connected (session)"));
        QCOMPARE(attachedCount(), 1);
        QCOMPARE(m_sandbox->configFile(QStringLiteral("remote-usb-devices")), QByteArray());

        QVERIFY(selectRemote(Cruzer));
        trigger("m_disconnectAction");
        QTRY_COMPARE(remoteStatus(Cruzer), QStringLiteral("disconnected"));
        QCOMPARE(attachedCount(), 0);

        QVERIFY(selectRemote(Cruzer));
        trigger("m_connectConstAction");
        QTRY_COMPARE(remoteStatus(Cruzer), QStringLiteral("connected (constantly)"));
        QVERIFY(m_sandbox->configFile(QStringLiteral("remote-usb-devices"))
                    .contains(Cruzer.toLatin1()));

        // The kernel drops the connection (its exporter let the device go
        // for a moment): the Manager attaches it again by itself; the row
        // follows each step at once, and the desktop is told of each, with
        // no box.
        ModalWatcher watcher;
        QStringList statuses;
        const QMetaObject::Connection follow =
            connect(remoteModel(), &QAbstractItemModel::dataChanged, this, [&]() {
                statuses << remoteStatus(Cruzer);
            });
        m_notifications.clear();
        m_sandbox->managerLog();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_sandbox->usbip({"sim-drop", "0"}).exitCode, 0);
        QCOMPARE(attachedCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(attachedCount(), 1, 10000);
        QByteArray log;
        QTRY_VERIFY2((log += m_sandbox->managerLog()).contains("is attached again"),
                     log.constData());
        QTRY_COMPARE(m_notifications.notifications().size(), 2);
        QTRY_COMPARE(statuses.last(), QStringLiteral("connected (constantly)"));
        disconnect(follow);
        QCOMPARE(statuses.first(), QStringLiteral("lost connection (connecting again)"));
        const QList<FakeNotifications::Notification> told = m_notifications.notifications();
        QCOMPARE(told.at(0).summary,
                 QStringLiteral("Lost connection to Cruzer Blade on 127.0.4.1"));
        QCOMPARE(told.at(1).summary,
                 QStringLiteral("Connected again to Cruzer Blade on 127.0.4.1"));
        QVERIFY(watcher.boxes.isEmpty());
        qInfo("sim-drop of a constant connection: notified lost after %lld ms, back after %lld ms",
              told.at(0).atMs - clock.msecsSinceReference(),
              told.at(1).atMs - clock.msecsSinceReference());

        // The port goes (a reboot of this machine); listing the host again
        // attaches the constant device anew.
        QJsonObject world = m_sandbox->world();
        world.insert(QStringLiteral("attached"), QJsonArray());
        m_sandbox->setWorld(world);
        waitOutPortTable();
        click("m_updateRemotePushButton");
        QTRY_COMPARE(remoteStatus(Cruzer), QStringLiteral("connected (constantly)"));
        QCOMPARE(attachedCount(), 1);

        QVERIFY(selectRemote(Cruzer));
        trigger("m_disconnectAction");
        QTRY_COMPARE(remoteStatus(Cruzer), QStringLiteral("disconnected"));
        QCOMPARE(attachedCount(), 0);
        QVERIFY(!m_sandbox->configFile(QStringLiteral("remote-usb-devices"))
                     .contains(Cruzer.toLatin1()));
    }

    // A port that vanishes behind the program's back shows as a lost
    // connection at the next check.
    void vanishedPortIsALostConnection()
    {
        showRemoteHost(QStringLiteral("127.0.4.1"));
        QVERIFY(selectRemote(Kingston));
        trigger("m_connectSessionAction");
        QTRY_COMPARE(remoteStatus(Kingston), QStringLiteral("connected (session)"));

        QJsonObject world = m_sandbox->world();
        world.insert(QStringLiteral("attached"), QJsonArray());
        m_sandbox->setWorld(world);
        waitOutPortTable();
        checkConnections();
        QCOMPARE(remoteStatus(Kingston), QStringLiteral("lost connection"));
    }

    // Devices behind hubs: a stick of this machine is shared constantly and
    // shared again by the Manager's next start; a remote device behind a hub
    // shows as connected and, when its port vanishes, as a lost connection.
    void devicesBehindHubs()
    {
        QVERIFY(selectLocal(HubStick));
        trigger("m_shareConstAction");
        QCOMPARE(localStatus(HubStick), QStringLiteral("shared (constantly)"));
        QVERIFY(m_sandbox->isBound(HubStick));

        m_sandbox->stopManager();
        QCOMPARE(m_sandbox->usbip({"unbind", "-b", HubStick}).exitCode, 0);
        QVERIFY2(m_sandbox->startManager(), qPrintable(m_sandbox->errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->isBound(HubStick), 15000);
        click("m_updateLocalPushButton");
        QCOMPARE(localStatus(HubStick), QStringLiteral("shared (constantly)"));
        QVERIFY(selectLocal(HubStick));
        trigger("m_unshareAction");
        QCOMPARE(localStatus(HubStick), QStringLiteral("unshared"));

        showRemoteHost(QStringLiteral("127.0.4.2"));
        QCOMPARE(remoteStatus(JetFlash), QStringLiteral("disconnected"));
        QVERIFY(selectRemote(JetFlash));
        trigger("m_connectSessionAction");
        QTRY_COMPARE(remoteStatus(JetFlash), QStringLiteral("connected (session)"));
        QCOMPARE(attachedCount(), 1);

        QJsonObject world = m_sandbox->world();
        world.insert(QStringLiteral("attached"), QJsonArray());
        m_sandbox->setWorld(world);
        waitOutPortTable();
        checkConnections();
        QCOMPARE(remoteStatus(JetFlash), QStringLiteral("lost connection"));
    }

    // Without authorisation the Manager refuses, and the window says why.
    void deniedAuthorisation_data()
    {
        QTest::addColumn<bool>("remote");
        QTest::addColumn<QString>("headline");
        QTest::newRow("share") << false << QStringLiteral("Error share device!\n");
        QTest::newRow("connect") << true << QStringLiteral("Error connect to device!\n");
    }

    void deniedAuthorisation()
    {
        QFETCH(bool, remote);
        QFETCH(QString, headline);

        if (remote) {
            showRemoteHost(QStringLiteral("127.0.4.1"));
            QVERIFY(selectRemote(Cruzer));
        } else {
            QVERIFY(selectLocal(QStringLiteral("2-1")));
        }
        QVERIFY(m_sandbox->setAuthorized(false));
        ModalWatcher watcher;
        trigger(remote ? "m_connectSessionAction" : "m_shareSessionAction");
        QTRY_COMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes.first().title, QStringLiteral("Error"));
        QCOMPARE(watcher.boxes.first().text, headline);
        QCOMPARE(watcher.boxes.first().detailed, QStringLiteral("Authorization error."));
        if (remote) {
            QCOMPARE(remoteStatus(Cruzer), QStringLiteral("disconnected"));
            QCOMPARE(attachedCount(), 0);
        } else {
            QCOMPARE(localStatus(QStringLiteral("2-1")), QStringLiteral("unshared"));
            QVERIFY(!m_sandbox->isBound(QStringLiteral("2-1")));
        }
    }

    // Who may attach, through the dialog to the real Manager (and its
    // stand-in packet filter): restricted to two hosts, then any host again.
    void restrictWhoMayAttach()
    {
        const char *choice = "m_onlyTheseRadioButton";
        ModalWatcher watcher;
        watcher.onDialog = [&choice](QDialog *dialog) {
            dialog->findChild<QRadioButton *>(choice)->click();
            dialog->findChild<QPlainTextEdit *>()->setPlainText("192.168.1.5/24\nfd00:0::1");
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        };
        click("m_accessPushButton");
        QCOMPARE(child<QLabel>("m_accessLabel")->text(),
                 QStringLiteral("Shared devices can be attached by 2 host(s)."));
        QVERIFY(m_sandbox->nftRules().contains("elements = { fd00::1 }"));
        choice = "m_anyHostRadioButton";
        click("m_accessPushButton");
        QCOMPARE(child<QLabel>("m_accessLabel")->text(),
                 QStringLiteral("Shared devices can be attached by any host that reaches this "
                                "machine."));
        QVERIFY(watcher.boxes.isEmpty());
    }

    // The start-up checks pass on the sandbox's platform: the tools package
    // is installed, and an inactive, disabled usbipd is enabled and started
    // through the systemd stand-in once the user agrees.
    void platformChecks()
    {
        m_sandbox->installToolsPackage(kernelRelease());
        {
            ModalWatcher watcher;
            QVERIFY(checkToolsPackage(platformFromEnvironment()));
            QVERIFY(watcher.boxes.isEmpty());
        }

        QJsonObject world = m_sandbox->world();
        world.insert(QStringLiteral("usbipd"), false);
        m_sandbox->setWorld(world);
        QCOMPARE(m_sandbox->usbip({"list", "-r", "localhost"}).exitCode, 1);
        QVERIFY2(m_sandbox->startSystemd({"--inactive", "usbipd", "--disabled", "usbipd"}),
                 qPrintable(m_sandbox->errorString()));
        {
            ModalWatcher watcher;
            QVERIFY(checkUsbipdService());
            QCOMPARE(watcher.boxes.size(), 1);
            QCOMPARE(watcher.boxes.first().title, QStringLiteral("Warning"));
        }
        // The started daemon answers for this machine again.
        QVERIFY(m_sandbox->world().value(QStringLiteral("usbipd")).toBool());
        QCOMPARE(m_sandbox->usbip({"list", "-r", "localhost"}).exitCode, 0);
        {
            ModalWatcher watcher;
            QVERIFY(checkUsbipdService());
            QVERIFY(watcher.boxes.isEmpty());
        }
        m_sandbox->stopSystemd();
    }

    // A scan of the sandbox's network finds both hosts' devices.
    void scanFindsTheSandboxHosts()
    {
        QVERIFY2(m_sandbox->servedHosts().contains(QStringLiteral("127.0.4.1"))
                     && m_sandbox->servedHosts().contains(QStringLiteral("127.0.4.2")),
                 qPrintable(m_sandbox->servedHosts().join(QLatin1Char(' '))));
        child<QTabWidget>("m_tabWidget")->setCurrentIndex(1);
        bool scanned = false;
        ModalWatcher watcher;
        watcher.onDialog = [&scanned](QDialog *dialog) {
            auto *scan = qobject_cast<ScanNetworkDialog *>(dialog);
            if (!scan)
                return;
            // The machine's own networks are far too large for a test: scan
            // 127.0.4.1 to 127.0.4.3, as the dialog would for a network of four
            // (its Scan button is for the networks it offers).
            if (auto *progress = scan->findChild<QProgressBar *>(QStringLiteral("m_progressBar")))
                progress->setRange(1, 3);
            if (auto *stop = scan->findChild<QPushButton *>(QStringLiteral("m_stopPushButton")))
                stop->show(); // scanning: reports move the bar
            Q_EMIT scan->scanNetwork(QStringLiteral("127.0.4.0"), 4, 5000);
            scanned = true;
        };
        click("m_scanPushButton"); // returns when the dialog has closed
        QVERIFY(scanned);
        QTRY_VERIFY(
            remoteColumn(RemoteDevicesModel::HostColumn).contains(QStringLiteral("127.0.4.2")));
        const QStringList hosts = remoteColumn(RemoteDevicesModel::HostColumn);
        const QStringList busids = remoteColumn(RemoteDevicesModel::BusIdColumn);
        QStringList found;
        for (int row = 0; row < hosts.size(); ++row)
            found << hosts.at(row) + QLatin1Char('/') + busids.at(row);
        QVERIFY2(found.contains(QStringLiteral("127.0.4.1/1-1")),
                 qPrintable(found.join(QLatin1Char(' '))));
        QVERIFY2(found.contains(QStringLiteral("127.0.4.1/2-1")),
                 qPrintable(found.join(QLatin1Char(' '))));
        QVERIFY2(found.contains(QStringLiteral("127.0.4.2/1-2")),
                 qPrintable(found.join(QLatin1Char(' '))));
        QVERIFY(watcher.boxes.isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
