// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "remoteusbdevicesmodel.h"

#include "ovraicon.h"
#include "ovrawait.h"
#include "shareddevicesfile.h"
#include "usbipclient.h"

#include <QIcon>
#include <QThread>

#include <memory>

RemoteUsbDevicesModel::RemoteUsbDevicesModel(UsbIpClient &client, QObject *parent)
    : QAbstractTableModel(parent)
    , m_client(client)
{
    m_headers.insert(HostColumn, tr("IP address"));
    m_headers.insert(BusIdColumn, QStringLiteral("BUSID"));
    m_headers.insert(VidPidColumn, QStringLiteral("VID:PID"));
    m_headers.insert(StatusColumn, tr("Status"));
    m_headers.insert(NameColumn, tr("Name"));

    m_timer.setInterval(LostCheckIntervalMs);

    // A scan's result and the lost-connection check arrive on their own; when
    // the window is waiting for a call they wait until it is over.
    connect(&m_client, &UsbIpClient::updated, this,
            [this]() { OvraWait::whenIdle(this, [this]() { updated(); }); });
    connect(&m_client, &UsbIpClient::attached, this, &RemoteUsbDevicesModel::attached);
    connect(&m_client, &UsbIpClient::detached, this, &RemoteUsbDevicesModel::detached);
    connect(&m_timer, &QTimer::timeout, this,
            [this]() { OvraWait::whenIdle(this, [this]() { checkConnections(); }); });
}

// A table: cells have no children (a view asking for them gets none).
int RemoteUsbDevicesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_devices.size();
}

int RemoteUsbDevicesModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_headers.size();
}

bool RemoteUsbDevicesModel::isRow(const QModelIndex &index) const
{
    return index.isValid() && index.model() == this && index.row() >= 0
        && index.row() < m_devices.size() && index.column() >= 0;
}

bool RemoteUsbDevicesModel::anyKeyAttached(const QStringList &keys) const
{
    for (const QString &key : keys) {
        if (m_ports.contains(key))
            return true;
    }
    return false;
}

bool RemoteUsbDevicesModel::anyKeyConstant(const QStringList &keys) const
{
    for (const QString &key : keys) {
        if (m_constant.contains(key))
            return true;
    }
    return false;
}

bool RemoteUsbDevicesModel::isAttached(const QModelIndex &index) const
{
    return isRow(index) && anyKeyAttached(m_devices.at(index.row()).keys());
}

bool RemoteUsbDevicesModel::isConstant(const QModelIndex &index) const
{
    return isRow(index) && anyKeyConstant(m_devices.at(index.row()).keys());
}

bool RemoteUsbDevicesModel::isLost(const QModelIndex &index) const
{
    return isRow(index) && m_lost.contains(m_ids.value(index.row()));
}

QString RemoteUsbDevicesModel::statusText(int row) const
{
    const QModelIndex cell = index(row, HostColumn);
    if (isLost(cell))
        return tr("lost connection");
    if (isAttached(cell))
        return tr("connected (%1)").arg(isConstant(cell) ? tr("constantly") : tr("session"));
    return tr("disconnected");
}

QVariant RemoteUsbDevicesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.column() < 0)
        return QVariant();

    const bool inList = isRow(index);
    switch (role) {
    case Qt::DisplayRole: {
        if (!inList)
            return QString();
        const UsbDevice &device = m_devices.at(index.row());
        switch (index.column()) {
        case HostColumn:
            return device.host();
        case BusIdColumn:
            return device.busid();
        case VidPidColumn:
            if (device.vendorId().isEmpty() || device.productId().isEmpty())
                return QString();
            return device.vidPid().toUpper();
        case StatusColumn:
            return statusText(index.row());
        case NameColumn:
            return device.name();
        default:
            return QString();
        }
    }
    case Qt::DecorationRole:
        if (index.column() != HostColumn)
            return QVariant();
        if (!inList)
            return QIcon();
        if (isLost(index)) {
            return OvraIcon::withOverlay(
                QIcon::fromTheme(QStringLiteral("rud-device")), Qt::BottomRightCorner,
                QIcon::fromTheme(QStringLiteral("rud-off")), [](int size) { return size / 2; });
        }
        if (isAttached(index))
            return QIcon::fromTheme(QStringLiteral("rud-device"));
        return QIcon::fromTheme(QStringLiteral("device-device"));
    case Qt::ToolTipRole:
        if (index.column() == NameColumn && inList)
            return m_devices.at(index.row()).name();
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant RemoteUsbDevicesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_headers.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

QString RemoteUsbDevicesModel::usbipIdAt(const QModelIndex &index) const
{
    return isRow(index) ? m_devices.at(index.row()).key(UsbDevice::DeviceId) : QString();
}

QStringList RemoteUsbDevicesModel::keysAt(const QModelIndex &index) const
{
    return isRow(index) ? m_devices.at(index.row()).keys() : QStringList();
}

QString RemoteUsbDevicesModel::portAt(const QModelIndex &index) const
{
    if (!isRow(index))
        return QString();
    const QStringList keys = m_devices.at(index.row()).keys();
    for (const QString &key : keys) {
        const auto it = m_ports.constFind(key);
        if (it != m_ports.constEnd())
            return it.value();
    }
    return QString();
}

QModelIndex RemoteUsbDevicesModel::indexOf(const QString &usbipId) const
{
    const int row = m_ids.indexOf(usbipId);
    return row < 0 ? QModelIndex() : index(row, HostColumn);
}

void RemoteUsbDevicesModel::rowChanged(int row)
{
    if (row >= 0 && row < m_devices.size())
        Q_EMIT dataChanged(index(row, HostColumn), index(row, NameColumn));
}

void RemoteUsbDevicesModel::updated()
{
    // The port table is asked for before the reset begins: the window keeps
    // painting while the Manager answers, and must not see a half-reset model.
    const QHash<QString, QString> ports = m_client.ports();
    beginResetModel();
    m_devices = m_client.devices();
    m_ports = ports;
    m_ids.clear();
    m_lost.clear();
    m_constant = constantConnections();

    QStringList toRestore;
    for (const UsbDevice &device : qAsConst(m_devices)) {
        const QString id = device.key(UsbDevice::DeviceId);
        m_ids.append(id);
        if (anyKeyConstant(device.keys()) && !anyKeyAttached(device.keys()))
            toRestore.append(id);
    }
    endResetModel();

    // Constant attachments that are missing are made again, for the session
    // (the Manager keeps their entry). This runs after the reset has ended
    // so that the views never see a half-reset model while a Manager call or
    // an error box is pending; the rows already hold their ids, so the
    // attached slot finds them.
    for (const QString &id : qAsConst(toRestore))
        m_client.connectDevice(id, false);
}

void RemoteUsbDevicesModel::attached(const QString &busid)
{
    // The port may show up in the port table a little after the Manager's
    // answer. The port names the host as the tool was given it, which need
    // not be the device id's form, so the row counts as attached when any
    // of its keys is there. Look a bounded number of times; a port that
    // never appears (or a failing port query) leaves the row as the last
    // snapshot says.
    const int row = m_ids.indexOf(busid);
    QStringList wanted{busid};
    if (row >= 0)
        wanted += m_devices.at(row).keys();
    const auto found = [this, &wanted]() {
        for (const QString &key : qAsConst(wanted)) {
            if (m_ports.contains(key))
                return true;
        }
        return false;
    };

    // Only a failure of this thread's own port queries ends the look; the
    // scan's worker reports through the same signal. A direct connection
    // leaves no queued call behind to run after this function has returned.
    const auto failed = std::make_shared<bool>(false);
    const QMetaObject::Connection watch = connect(
        &m_client, &UsbIpClient::error, this,
        [this, failed]() {
            if (QThread::currentThread() == thread())
                *failed = true;
        },
        Qt::DirectConnection);
    for (int poll = 0; poll < AttachPollCount && !*failed && !found(); ++poll) {
        if (poll > 0)
            OvraWait::pause(AttachPollPauseMs);
        m_ports = m_client.ports();
    }
    disconnect(watch);

    m_constant = constantConnections();
    rowChanged(m_ids.indexOf(busid));
}

void RemoteUsbDevicesModel::detached(const QString &port)
{
    QString key;
    for (auto it = m_ports.constBegin(); it != m_ports.constEnd(); ++it) {
        if (it.value() == port) {
            key = it.key();
            break;
        }
    }
    if (key.isEmpty())
        return;
    m_ports.remove(key);
    for (int row = 0; row < m_devices.size(); ++row) {
        if (m_devices.at(row).keys().contains(key))
            rowChanged(row);
    }
}

void RemoteUsbDevicesModel::checkConnections()
{
    const QHash<QString, QString> fresh = m_client.ports();
    // A row is found in a port table under any of its keys: ports name the
    // host as the tool was given it, an address or the name as typed.
    const auto inTable = [](const QHash<QString, QString> &table, const QStringList &keys) {
        for (const QString &key : keys) {
            if (table.contains(key))
                return true;
        }
        return false;
    };

    for (int row = 0; row < m_ids.size(); ++row) {
        const QString &id = m_ids.at(row);
        const QStringList keys = m_devices.at(row).keys();
        if (m_lost.contains(id)) {
            if (inTable(fresh, keys)) {
                m_lost.removeOne(id);
                rowChanged(row);
            }
        } else if (!inTable(fresh, keys) && inTable(m_ports, keys)) {
            m_lost.append(id);
            rowChanged(row);
        }
    }

    if (m_lost.isEmpty())
        m_timer.stop();
    else if (!m_timer.isActive())
        m_timer.start();
}
