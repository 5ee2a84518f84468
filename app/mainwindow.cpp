// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "hostoffer.h"
#include "localdevicesmodel.h"
#include "ovraintegration.h"
#include "ovranotification.h"
#include "ovrawait.h"
#include "remotedevicesmodel.h"
#include "scannetworkdialog.h"
#include "shareaccessdialog.h"
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
const int ListingPauseMs = 100;
// The events of data/desktop/ovra-admin-usbip.notifyrc.
const char ConnectionLostEvent[] = "connectionLost";
const char ConnectionBackEvent[] = "connectionBack";

} // namespace

MainWindow::MainWindow(const Platform &platform, QWidget *parent)
    : QMainWindow(parent)
    , m_ui(new Ui::MainWindow)
    , m_local(platform)
    , m_remote(platform, kernelMajorVersion())
{
    // Every blocking call of the window shows the busy cursor while it waits.
    OvraWait::setBusyIndicator([](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
    m_ui->setupUi(this);

    loadSettings();
    initLocalTab();
    initRemoteTab();

    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    help->setContext(Qt::WindowShortcut);
    connect(help, &QShortcut::activated, this, []() {
        ovraHelpShow(QString());
    });

    connect(m_ui->m_hostLineEdit, &QLineEdit::textChanged, this, &MainWindow::hostChanged);
    connect(m_ui->m_scanPushButton, &QPushButton::clicked, this, &MainWindow::scanNetwork);
    // Boxes of the first listing wait until the window is shown.
    m_constructed = true;
}

MainWindow::~MainWindow()
{
    OvraWait::setBusyIndicator({});
    saveSettings();
    // The models go first, while the form that their views' signals reach is
    // still there; the services follow as members (the remote one stops a
    // running scan).
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

    m_localModel.reset(new LocalDevicesModel);
    view->setModel(m_localModel.get());
    QItemSelectionModel *selection = view->selectionModel();
    connect(&m_local, &LocalSharing::updated, m_localModel.get(), &LocalDevicesModel::setRows);
    connect(&m_local, &LocalSharing::rowChanged, m_localModel.get(), &LocalDevicesModel::setRow);
    connect(&m_local, &LocalSharing::error, this, &MainWindow::showError);
    connect(&m_local, &LocalSharing::accessChanged, this, [this](const AccessState &access) {
        m_ui->m_accessLabel->setText(ShareAccessDialog::stateText(access));
        m_ui->m_accessLabel->setToolTip(access.problem);
    });

    if (m_ui->m_tabWidget->currentIndex() == LocalTab)
        updateLocalDevices();

    // A drive that comes or goes while a call waits is looked at after it.
    Solid::DeviceNotifier *notifier = Solid::DeviceNotifier::instance();
    const auto driveChanged = [this](const QString &udi) {
        if (udi.contains(DrivePrefix))
            OvraWait::whenIdle(this, [this]() {
                updateLocalDevices(PauseFirst);
            });
    };
    connect(notifier, &Solid::DeviceNotifier::deviceAdded, this, driveChanged);
    connect(notifier, &Solid::DeviceNotifier::deviceRemoved, this, driveChanged);

    connect(m_ui->m_updateLocalPushButton, &QPushButton::clicked, this, [this]() {
        updateLocalDevices(PauseFirst);
    });
    connect(m_ui->m_shareSessionAction, &QAction::triggered, this, [this]() {
        shareDevice(false);
    });
    connect(m_ui->m_shareConstAction, &QAction::triggered, this, [this]() {
        shareDevice(true);
    });
    connect(m_ui->m_unshareAction, &QAction::triggered, this, &MainWindow::unshareDevice);
    connect(m_ui->m_unsharePushButton, &QPushButton::clicked, this, &MainWindow::unshareDevice);
    connect(m_ui->m_accessPushButton, &QPushButton::clicked, this, &MainWindow::editShareAccess);

    connect(selection, &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::updateLocalButtons);
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

    m_remoteModel.reset(new RemoteDevicesModel);
    view->setModel(m_remoteModel.get());
    QItemSelectionModel *selection = view->selectionModel();
    // The model takes the rows first, the buttons follow: a scan's result
    // too, which arrives on its own.
    connect(&m_remote, &RemoteDevices::updated, m_remoteModel.get(), &RemoteDevicesModel::setRows);
    connect(&m_remote, &RemoteDevices::updated, this, &MainWindow::updateRemoteButtons);
    connect(&m_remote, &RemoteDevices::rowChanged, m_remoteModel.get(),
            &RemoteDevicesModel::setRow);
    connect(&m_remote, &RemoteDevices::rowChanged, this, &MainWindow::updateRemoteButtons);
    connect(&m_remote, &RemoteDevices::error, this, &MainWindow::showError);
    connect(&m_remote, &RemoteDevices::connectionChanged, this,
            &MainWindow::notifyConnectionChange);

    if (m_ui->m_tabWidget->currentIndex() == RemoteTab)
        updateRemoteDevices();

    connect(Solid::DeviceNotifier::instance(), &Solid::DeviceNotifier::deviceRemoved, this,
            [this](const QString &udi) {
                if (!udi.contains(DrivePrefix))
                    return;
                OvraWait::whenIdle(this, [this]() {
                    m_remote.checkConnections();
                });
            });

    connect(m_ui->m_updateRemotePushButton, &QPushButton::clicked, this,
            &MainWindow::updateRemoteDevices);
    connect(new HostOffer(&m_announcedHosts, m_ui->m_hostLineEdit), &HostOffer::chosen, this,
            &MainWindow::listHost);
    connect(m_ui->m_connectSessionAction, &QAction::triggered, this, [this]() {
        connectDevice(false);
    });
    connect(m_ui->m_connectConstAction, &QAction::triggered, this, [this]() {
        connectDevice(true);
    });
    connect(m_ui->m_disconnectAction, &QAction::triggered, this, &MainWindow::disconnectDevice);
    connect(m_ui->m_disconnectPushButton, &QPushButton::clicked, this,
            &MainWindow::disconnectDevice);

    connect(selection, &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::updateRemoteButtons);
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
        view->selectionModel()->setCurrentIndex(index, QItemSelectionModel::Select
                                                           | QItemSelectionModel::Current
                                                           | QItemSelectionModel::Rows);
    }
}

void MainWindow::updateLocalDevices(Pause pause)
{
    const QString busId = m_localModel->rowAt(currentLocalIndex()).device.busId();
    if (pause == PauseFirst)
        OvraWait::pause(ListingPauseMs);
    if (m_local.update() && !busId.isEmpty())
        selectRow(m_ui->m_localDevicesTreeView, m_localModel->indexOf(busId));
    if (!m_accessAsked) {
        m_accessAsked = true;
        m_local.readAccess();
    }
    updateLocalButtons();
}

void MainWindow::shareDevice(bool isConst)
{
    const QModelIndex index = currentLocalIndex();
    if (index.isValid())
        m_local.share(m_localModel->rowAt(index).device, isConst);
    updateLocalButtons();
}

void MainWindow::unshareDevice()
{
    const QModelIndex index = currentLocalIndex();
    if (index.isValid())
        m_local.unshare(m_localModel->rowAt(index).device);
    updateLocalButtons();
}

void MainWindow::editShareAccess()
{
    const AccessState access = m_local.readAccess();
    if (access.kind == AccessState::Kind::Unknown) {
        showError(tr("Error reading who may attach!"), access.problem);
        return;
    }
    // A broken list lets only this machine attach: that is where to start.
    ShareAccessDialog dialog(access.kind != AccessState::Kind::AnyHost, access.hosts, this);
    dialog.setApply([this](bool restricted, const QStringList &hosts) {
        return m_local.setAccess(restricted, hosts);
    });
    dialog.exec();
}

void MainWindow::updateRemoteDevices()
{
    const UsbDevice current = m_remoteModel->rowAt(currentRemoteIndex()).device;
    m_remote.setHost(m_ui->m_hostLineEdit->text());
    if (m_remote.update() && current.isValid())
        selectRow(m_ui->m_remoteDevicesTreeView, m_remoteModel->indexOf(current.deviceId()));
    updateRemoteButtons();
}

void MainWindow::listHost(const QString &host)
{
    m_ui->m_hostLineEdit->setText(host);
    updateRemoteDevices();
}

void MainWindow::notifyConnectionChange(const ConnectionChange &change)
{
    // Not one of the constant connections (any more): nothing is being healed.
    if (!change.constant)
        return;
    if (change.attached) {
        ovraNotify(QLatin1String(ConnectionBackEvent),
                   tr("Connected again to %1 on %2").arg(change.name, change.host), QString());
    } else {
        ovraNotify(QLatin1String(ConnectionLostEvent),
                   tr("Lost connection to %1 on %2").arg(change.name, change.host),
                   tr("It is connected again as soon as the host exports it."));
    }
}

void MainWindow::connectDevice(bool isConst)
{
    const QModelIndex index = currentRemoteIndex();
    if (index.isValid())
        m_remote.connectDevice(m_remoteModel->rowAt(index), isConst);
    updateRemoteButtons();
}

void MainWindow::disconnectDevice()
{
    const QModelIndex index = currentRemoteIndex();
    if (index.isValid())
        m_remote.disconnectDevice(m_remoteModel->rowAt(index));
    updateRemoteButtons();
}

void MainWindow::updateLocalButtons()
{
    const LocalRow row = m_localModel->rowAt(currentLocalIndex());
    const bool valid = row.device.isValid();
    m_ui->m_sharePushButton->setEnabled(valid && !row.isShared());
    m_ui->m_unsharePushButton->setEnabled(valid && row.isShared());
}

void MainWindow::updateRemoteButtons()
{
    const RemoteRow row = m_remoteModel->rowAt(currentRemoteIndex());
    const bool valid = row.device.isValid();
    // The Manager is healing a lost constant connection: it can be forgotten,
    // not connected.
    m_ui->m_connectPushButton->setEnabled(valid && !row.attached() && !row.isHealing());
    m_ui->m_disconnectPushButton->setEnabled(valid && row.canDisconnect());
}

void MainWindow::hostChanged(const QString &host)
{
    m_ui->m_updateRemotePushButton->setEnabled(!host.isEmpty());
}

void MainWindow::localDoubleClicked(const QModelIndex &index)
{
    if (m_localModel->rowAt(index).isShared())
        unshareDevice();
}

void MainWindow::remoteDoubleClicked(const QModelIndex &index)
{
    if (m_remoteModel->rowAt(index).attached())
        disconnectDevice();
}

void MainWindow::scanNetwork()
{
    ScanNetworkDialog dialog(&m_remote, &m_announcedHosts, this);
    if (dialog.exec() == QDialog::Accepted && !dialog.chosenHost().isEmpty())
        listHost(dialog.chosenHost());
}

void MainWindow::localContextMenuRequested(const QPoint &pos)
{
    const QModelIndex index = currentLocalIndex();
    if (!index.isValid())
        return;
    QMenu menu(this);
    if (m_localModel->rowAt(index).isShared()) {
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
    if (m_remoteModel->rowAt(index).canDisconnect()) {
        menu.addAction(m_ui->m_disconnectAction);
    } else {
        menu.addAction(m_ui->m_connectSessionAction);
        menu.addAction(m_ui->m_connectConstAction);
    }
    menu.exec(m_ui->m_remoteDevicesTreeView->viewport()->mapToGlobal(pos));
}

void MainWindow::showError(const QString &error, const QString &detailed)
{
    // One box at a time. A failure that is showing already, or waiting for
    // its turn, adds nothing (a check that keeps failing while its box is
    // open); another failure gets its box when the ones before it are closed.
    const QPair<QString, QString> failure(error, detailed);
    if (m_errorBoxes.contains(failure))
        return;
    m_errorBoxes.append(failure);
    // Failures of the first listing wait for the window (showEvent).
    if (m_constructed)
        postErrorBoxes();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Boxes of failures at start come once the window is there to be seen,
    // after it has painted, rather than alone on the screen before it.
    if (!m_errorBoxes.isEmpty())
        postErrorBoxes();
}

void MainWindow::postErrorBoxes()
{
    // A box runs an event loop of its own. Posted, it never opens inside the
    // caller that reported the failure (a service going through its rows);
    // held, never in the middle of a call.
    QMetaObject::invokeMethod(
        this,
        [this]() {
            OvraWait::whenIdle(this, [this]() {
                showErrorBoxes();
            });
        },
        Qt::QueuedConnection);
}

void MainWindow::showErrorBoxes()
{
    if (m_showingBox)
        return;
    m_showingBox = true;
    while (!m_errorBoxes.isEmpty()) {
        QMessageBox box;
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(tr("Error"));
        box.setText(m_errorBoxes.first().first);
        if (!m_errorBoxes.first().second.isEmpty())
            box.setDetailedText(m_errorBoxes.first().second);
        box.exec();
        m_errorBoxes.removeFirst();
    }
    m_showingBox = false;
}
