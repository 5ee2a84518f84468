// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "localusbdevicesmodel.h"
#include "ovraintegration.h"
#include "ovrawait.h"
#include "remoteusbdevicesmodel.h"
#include "scannetworkdialog.h"
#include "startup.h"

#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QRect>
#include <QSettings>
#include <QShortcut>

#include <Solid/DeviceNotifier>

const QString MainWindow::DrivePrefix = QStringLiteral("/org/freedesktop/UDisks2/drives/");

namespace {

const char HostKey[] = "host";
const char CurrentTabKey[] = "currentTab";
const int LocalTab = 0;
const int RemoteTab = 1;
const int SignalledUpdatePauseMs = 100;

// Shows the busy cursor while a blocking call (a listing, a Manager call)
// runs in the GUI thread.
class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_ui(new Ui::MainWindow)
    , m_server()
    , m_client(QStringLiteral("localhost"))
{
    // Every blocking call of the window shows the busy cursor while it waits.
    OvraWait::setBusyIndicator([](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
    m_ui->setupUi(this);

    m_client.setKernelVersion(kernelMajorVersion());

    loadSettings();
    initLocalTab();
    initRemoteTab();

    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    help->setContext(Qt::WindowShortcut);
    connect(help, &QShortcut::activated, this, []() { ovraHelpShow(QString()); });

    connect(m_ui->m_hostLineEdit, &QLineEdit::textChanged, this, &MainWindow::hostChanged);
    connect(m_ui->m_scanPushButton, &QPushButton::clicked, this, &MainWindow::scanNetwork);
}

MainWindow::~MainWindow()
{
    OvraWait::setBusyIndicator({});
    saveSettings();
    // A scan still running (the program may quit while the scan dialog is
    // open) would keep the worker, and the exit, waiting.
    m_client.stopScan();
    m_thread.quit();
    m_thread.wait();
    // The models go first, while the form that their views' signals reach is
    // still there; the services they watch follow as members.
    m_remoteModel.reset();
    m_localModel.reset();
    delete m_ui;
    m_ui = nullptr;
}

void MainWindow::loadSettings()
{
    QSettings settings;
    m_ui->m_hostLineEdit->setText(
        settings.value(QLatin1String(HostKey), QStringLiteral("localhost")).toString());
    // An index that names no tab leaves the first tab current.
    m_ui->m_tabWidget->setCurrentIndex(settings.value(QLatin1String(CurrentTabKey), 0).toInt());
    ovraRestoreGeometry(this, settings, QRect(), true);
}

void MainWindow::saveSettings()
{
    QSettings settings;
    settings.setValue(QLatin1String(HostKey), m_ui->m_hostLineEdit->text());
    settings.setValue(QLatin1String(CurrentTabKey), m_ui->m_tabWidget->currentIndex());
    ovraSaveGeometry(this, settings, true);
}

void MainWindow::initLocalTab()
{
    QTreeView *view = m_ui->m_localDevicesTreeView;
    view->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    auto *shareMenu = new QMenu(this);
    shareMenu->addAction(m_ui->m_shareSessionAction);
    shareMenu->addAction(m_ui->m_shareConstAction);
    m_ui->m_sharePushButton->setMenu(shareMenu);

    m_localModel.reset(new LocalUsbDevicesModel(m_server));
    view->setModel(m_localModel.get());
    QItemSelectionModel *selection = view->selectionModel();
    // Unlike the service's, a failed listing of the exports at start is
    // shown: it makes every shared device look unshared.
    connect(m_localModel.get(), &LocalUsbDevicesModel::error, this, &MainWindow::showError);

    if (m_ui->m_tabWidget->currentIndex() == LocalTab)
        updateLocalDevices();

    // A drive that comes or goes while a call waits is looked at after it.
    Solid::DeviceNotifier *notifier = Solid::DeviceNotifier::instance();
    connect(notifier, &Solid::DeviceNotifier::deviceAdded, this, [this](const QString &udi) {
        if (udi.contains(DrivePrefix))
            OvraWait::whenIdle(this, [this]() { updateLocalDevices(); });
    });
    connect(notifier, &Solid::DeviceNotifier::deviceRemoved, this, [this](const QString &udi) {
        if (udi.contains(DrivePrefix))
            OvraWait::whenIdle(this, [this]() { updateLocalDevices(); });
    });

    connect(&m_server, &UsbIpServer::error, this, &MainWindow::showError);
    connect(m_ui->m_updateLocalPushButton, &QPushButton::clicked, this,
            &MainWindow::updateLocalDevices);
    connect(m_ui->m_shareSessionAction, &QAction::triggered, this,
            [this]() { shareDevice(false); });
    connect(m_ui->m_shareConstAction, &QAction::triggered, this, [this]() { shareDevice(true); });
    connect(m_ui->m_unshareAction, &QAction::triggered, this, &MainWindow::unshareDevice);
    connect(m_ui->m_unsharePushButton, &QPushButton::clicked, this, &MainWindow::unshareDevice);

    connect(selection, &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::currentLocalDeviceChanged);
    connect(view, &QTreeView::doubleClicked, this, &MainWindow::localDoubleClicked);
    connect(view, &QTreeView::customContextMenuRequested, this,
            &MainWindow::localContextMenuRequested);
}

void MainWindow::initRemoteTab()
{
    QTreeView *view = m_ui->m_remoteDevicesTreeView;
    view->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    auto *connectMenu = new QMenu(this);
    connectMenu->addAction(m_ui->m_connectSessionAction);
    connectMenu->addAction(m_ui->m_connectConstAction);
    m_ui->m_connectPushButton->setMenu(connectMenu);

    m_client.moveToThread(&m_thread);
    m_thread.start(QThread::InheritPriority);

    m_remoteModel.reset(new RemoteUsbDevicesModel(m_client));
    view->setModel(m_remoteModel.get());
    QItemSelectionModel *selection = view->selectionModel();

    if (m_ui->m_tabWidget->currentIndex() == RemoteTab)
        updateRemoteDevices();

    connect(&m_client, &UsbIpClient::error, this, &MainWindow::showError);
    connect(Solid::DeviceNotifier::instance(), &Solid::DeviceNotifier::deviceRemoved, this,
            [this](const QString &udi) {
                if (!udi.contains(DrivePrefix))
                    return;
                OvraWait::whenIdle(this, [this]() {
                    BusyCursor busy;
                    m_remoteModel->checkConnections();
                });
            });

    connect(m_ui->m_updateRemotePushButton, &QPushButton::clicked, this,
            &MainWindow::updateRemoteDevices);
    connect(m_ui->m_connectSessionAction, &QAction::triggered, this,
            [this]() { connectDevice(false); });
    connect(m_ui->m_connectConstAction, &QAction::triggered, this,
            [this]() { connectDevice(true); });
    connect(m_ui->m_disconnectAction, &QAction::triggered, this, &MainWindow::disconnectDevice);
    connect(m_ui->m_disconnectPushButton, &QPushButton::clicked, this,
            &MainWindow::disconnectDevice);

    connect(selection, &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::currentRemoteDeviceChanged);
    connect(view, &QTreeView::doubleClicked, this, &MainWindow::remoteDoubleClicked);
    connect(view, &QTreeView::customContextMenuRequested, this,
            &MainWindow::remoteContextMenuRequested);
}

QModelIndex MainWindow::currentLocalIndex() const
{
    return m_ui->m_localDevicesTreeView->selectionModel()->currentIndex();
}

QModelIndex MainWindow::currentRemoteIndex() const
{
    return m_ui->m_remoteDevicesTreeView->selectionModel()->currentIndex();
}

void MainWindow::selectRow(QTreeView *view, const QModelIndex &index)
{
    if (index.isValid()) {
        view->selectionModel()->setCurrentIndex(
            index,
            QItemSelectionModel::Select | QItemSelectionModel::Current | QItemSelectionModel::Rows);
    }
}

void MainWindow::updateLocalDevices()
{
    const QString busid = m_localModel->busidAt(currentLocalIndex());
    BusyCursor busy;
    // A drive that has just come or gone needs a moment before the tool
    // lists it; a direct call (the start) does not wait.
    if (sender())
        OvraWait::pause(SignalledUpdatePauseMs);
    if (m_server.update() && !busid.isEmpty())
        selectRow(m_ui->m_localDevicesTreeView, m_localModel->indexOf(busid));
    updateLocalButtons();
}

void MainWindow::shareDevice(bool isConst)
{
    const QModelIndex index = currentLocalIndex();
    if (index.isValid()) {
        BusyCursor busy;
        m_server.share(m_localModel->deviceAt(index), isConst);
    }
    updateLocalButtons();
}

void MainWindow::unshareDevice()
{
    const QModelIndex index = currentLocalIndex();
    if (index.isValid()) {
        BusyCursor busy;
        m_server.unshare(m_localModel->deviceAt(index));
    }
    updateLocalButtons();
}

void MainWindow::updateRemoteDevices()
{
    const QString usbipId = m_remoteModel->usbipIdAt(currentRemoteIndex());
    BusyCursor busy;
    m_client.setHost(m_ui->m_hostLineEdit->text());
    if (m_client.update() && !usbipId.isEmpty())
        selectRow(m_ui->m_remoteDevicesTreeView, m_remoteModel->indexOf(usbipId));
    updateRemoteButtons();
}

void MainWindow::connectDevice(bool isConst)
{
    const QModelIndex index = currentRemoteIndex();
    if (index.isValid()) {
        BusyCursor busy;
        m_client.connectDevice(m_remoteModel->usbipIdAt(index), isConst);
    }
    updateRemoteButtons();
}

void MainWindow::disconnectDevice()
{
    const QModelIndex index = currentRemoteIndex();
    if (index.isValid()) {
        BusyCursor busy;
        m_client.disconnectDevice(m_remoteModel->keysAt(index), m_remoteModel->portAt(index));
    }
    updateRemoteButtons();
}

void MainWindow::updateLocalButtons()
{
    const QModelIndex index = currentLocalIndex();
    const bool valid = index.isValid();
    const bool shared = valid && m_localModel->isShared(index);
    m_ui->m_sharePushButton->setEnabled(valid && !shared);
    m_ui->m_unsharePushButton->setEnabled(valid && shared);
}

void MainWindow::updateRemoteButtons()
{
    const QModelIndex index = currentRemoteIndex();
    const bool valid = index.isValid();
    const bool attached = valid && m_remoteModel->isAttached(index);
    m_ui->m_connectPushButton->setEnabled(valid && !attached);
    m_ui->m_disconnectPushButton->setEnabled(valid && attached);
}

void MainWindow::currentLocalDeviceChanged(const QModelIndex &, const QModelIndex &)
{
    updateLocalButtons();
}

void MainWindow::currentRemoteDeviceChanged(const QModelIndex &, const QModelIndex &)
{
    updateRemoteButtons();
}

void MainWindow::hostChanged(const QString &host)
{
    m_ui->m_updateRemotePushButton->setEnabled(!host.isEmpty());
}

void MainWindow::localDoubleClicked(const QModelIndex &index)
{
    if (m_localModel->isShared(index))
        unshareDevice();
}

void MainWindow::remoteDoubleClicked(const QModelIndex &index)
{
    if (m_remoteModel->isAttached(index))
        disconnectDevice();
}

void MainWindow::scanNetwork()
{
    ScanNetworkDialog dialog(&m_client, this);
    dialog.exec();
}

void MainWindow::localContextMenuRequested(const QPoint &pos)
{
    const QModelIndex index = currentLocalIndex();
    if (!index.isValid())
        return;
    QMenu menu(this);
    if (m_localModel->isShared(index)) {
        menu.addAction(m_ui->m_unshareAction);
    } else {
        menu.addAction(m_ui->m_shareSessionAction);
        menu.addAction(m_ui->m_shareConstAction);
    }
    menu.exec(m_ui->m_localDevicesTreeView->viewport()->mapToGlobal(pos));
}

void MainWindow::remoteContextMenuRequested(const QPoint &pos)
{
    const QModelIndex index = currentRemoteIndex();
    if (!index.isValid())
        return;
    QMenu menu(this);
    if (m_remoteModel->isAttached(index)) {
        menu.addAction(m_ui->m_disconnectAction);
    } else {
        menu.addAction(m_ui->m_connectSessionAction);
        menu.addAction(m_ui->m_connectConstAction);
    }
    menu.exec(m_ui->m_remoteDevicesTreeView->viewport()->mapToGlobal(pos));
}

void MainWindow::showError(const QString &error, const QString &detailed)
{
    // A box runs an event loop of its own: never in the middle of a call.
    OvraWait::whenIdle(this, [this, error, detailed]() { showErrorBox(error, detailed); });
}

void MainWindow::showErrorBox(const QString &error, const QString &detailed)
{
    // One box at a time. A failure that is showing already, or waiting for
    // its turn, adds nothing (a check that keeps failing while its box is
    // open); another failure gets its box when the ones before it are closed.
    const QPair<QString, QString> failure(error, detailed);
    if (m_errorBoxes.contains(failure))
        return;
    m_errorBoxes.append(failure);
    if (m_errorBoxes.size() > 1)
        return;
    while (!m_errorBoxes.isEmpty()) {
        QMessageBox box;
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(tr("Error"));
        box.setText(m_errorBoxes.first().first);
        if (!m_errorBoxes.first().second.isEmpty())
            box.setDetailedText(m_errorBoxes.first().second);
        // The box must not show the busy cursor of the call that failed.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        box.exec();
        QApplication::restoreOverrideCursor();
        m_errorBoxes.removeFirst();
    }
}
