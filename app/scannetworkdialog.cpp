// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "scannetworkdialog.h"
#include "ui_scannetworkdialog.h"

#include "hostbrowser.h"
#include "nethelpers.h"
#include "remotedevices.h"

#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QStyle>

namespace {

const char SettingsGroup[] = "ScanNetwork";
const char TimeoutKey[] = "Timeout";
const char SubnetKey[] = "Subnet";
const int DefaultTimeoutMs = 150;

// The role of an announced host's item that holds what the host field takes.
constexpr int HostRole = Qt::UserRole;

} // namespace

ScanNetworkDialog::ScanNetworkDialog(RemoteDevices *remote, const HostBrowser *announced,
                                     QWidget *parent)
    : ScanNetworkDialog(remote, localSubnets(), announced, parent)
{
}

ScanNetworkDialog::ScanNetworkDialog(RemoteDevices *remote, const QMap<QString, int> &subnets,
                                     const HostBrowser *announced, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::ScanNetworkDialog)
    , m_remote(remote)
    , m_announced(announced)
{
    m_ui->setupUi(this);
    // The two buttons have neither text nor frame: without the theme's icons
    // they would be invisible, so the style's media icons stand in.
    if (!QIcon::hasThemeIcon(QStringLiteral("system-search")))
        m_ui->m_scanPushButton->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    if (!QIcon::hasThemeIcon(QStringLiteral("media-playback-stop")))
        m_ui->m_stopPushButton->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    m_ui->m_progressBar->hide();
    m_ui->m_stopPushButton->hide();

    m_subnets = subnets;

    m_ui->m_subnetAddrComboBox->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("([0-9]{1,3}[\\.]){3}[0-9]{1,3}")),
        m_ui->m_subnetAddrComboBox));
    m_ui->m_subnetAddrComboBox->addItems(m_subnets.keys());
    m_ui->m_subnetAddrComboBox->setCurrentIndex(0);

    loadSettings();

    // Only a network offered here, with an address to scan, can be scanned.
    const auto allowScan = [this](const QString &subnet) {
        m_ui->m_scanPushButton->setEnabled(m_subnets.value(subnet, 0) >= 2);
    };
    connect(m_ui->m_subnetAddrComboBox, &QComboBox::currentTextChanged, this, allowScan);
    allowScan(m_ui->m_subnetAddrComboBox->currentText());

    connect(m_ui->m_scanPushButton, &QPushButton::clicked, this, &ScanNetworkDialog::scan);
    connect(m_ui->m_stopPushButton, &QPushButton::clicked, this, &ScanNetworkDialog::stop);
    // A few hosts fit; more scroll.
    m_ui->m_announcedListWidget->setMaximumHeight(fontMetrics().height() * 5);
    connect(m_ui->m_announcedListWidget, &QListWidget::itemActivated, this,
            &ScanNetworkDialog::chooseHost);
    if (m_announced)
        connect(m_announced, &HostBrowser::hostsChanged, this,
                &ScanNetworkDialog::showAnnouncedHosts);
    showAnnouncedHosts();

    if (m_remote) {
        connect(this, &ScanNetworkDialog::scanNetwork, m_remote, &RemoteDevices::scanNetwork);
        connect(m_remote, &RemoteDevices::scanProgress, this,
                &ScanNetworkDialog::scanNetworkProgress);
    }
}

ScanNetworkDialog::~ScanNetworkDialog()
{
    saveSettings();
    delete m_ui;
}

void ScanNetworkDialog::loadSettings()
{
    QSettings settings;
    settings.beginGroup(QLatin1String(SettingsGroup));
    m_ui->m_timeoutSpinBox->setValue(
        settings.value(QLatin1String(TimeoutKey), DefaultTimeoutMs).toInt());
    const QString subnet = settings.value(QLatin1String(SubnetKey), QString()).toString();
    if (!subnet.isEmpty())
        m_ui->m_subnetAddrComboBox->setCurrentText(subnet);
    settings.endGroup();
}

void ScanNetworkDialog::saveSettings()
{
    QSettings settings;
    settings.beginGroup(QLatin1String(SettingsGroup));
    settings.setValue(QLatin1String(TimeoutKey), m_ui->m_timeoutSpinBox->value());
    settings.setValue(QLatin1String(SubnetKey), m_ui->m_subnetAddrComboBox->currentText());
    settings.endGroup();
}

void ScanNetworkDialog::scan()
{
    const QString subnet = m_ui->m_subnetAddrComboBox->currentText();
    const int count = m_subnets.value(subnet, 0);
    // A network with no address between its first and last one (a /31, a
    // /32) or not offered has nothing to scan (Scan is off): no progress
    // would ever come, and the dialog stays as it is.
    if (count < 2)
        return;
    m_ui->m_scanPushButton->hide();
    m_ui->m_stopPushButton->show();
    m_ui->m_progressBar->show();
    m_ui->m_progressBar->setFocus(Qt::OtherFocusReason);
    m_ui->m_progressBar->setRange(1, count - 1);
    const int timeout = m_ui->m_timeoutSpinBox->value();
    Q_EMIT scanNetwork(subnet, count, timeout);
}

void ScanNetworkDialog::scanNetworkProgress(int value)
{
    // Reports of a scan stopped here that were still on their way: the
    // dialog stays as Stop left it.
    if (m_ui->m_stopPushButton->isHidden())
        return;
    m_ui->m_progressBar->setValue(value);
    if (value == m_ui->m_progressBar->maximum())
        accept();
}

void ScanNetworkDialog::stop()
{
    m_ui->m_stopPushButton->hide();
    m_ui->m_scanPushButton->show();
    m_ui->m_progressBar->setFocus(Qt::OtherFocusReason);
    m_ui->m_progressBar->hide();
    if (m_remote)
        m_remote->stopScan();
}

void ScanNetworkDialog::showAnnouncedHosts()
{
    QListWidget *list = m_ui->m_announcedListWidget;
    const QString current =
        list->currentItem() ? list->currentItem()->data(HostRole).toString() : QString();
    list->clear();
    const QList<AnnouncedHost> hosts = m_announced ? m_announced->hosts() : QList<AnnouncedHost>();
    for (const AnnouncedHost &host : hosts) {
        auto *item = new QListWidgetItem(host.label(), list);
        item->setData(HostRole, host.host());
        if (host.host() == current)
            list->setCurrentItem(item);
    }
    if (hosts.isEmpty()) {
        // Says there are none, and cannot be chosen.
        auto *none = new QListWidgetItem(tr("(none)"), list);
        none->setFlags(Qt::NoItemFlags);
    }
}

void ScanNetworkDialog::chooseHost(QListWidgetItem *item)
{
    m_chosenHost = item ? item->data(HostRole).toString() : QString();
    if (m_chosenHost.isEmpty())
        return;
    // The scan's rows would replace the host's.
    stop();
    accept();
}

void ScanNetworkDialog::reject()
{
    stop();
    QDialog::reject();
}
