// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "localusbdevicesmodel.h"

#include "ovrausbipmanager.h"
#include "shareddevicesfile.h"
#include "usbiplisting.h"
#include "usbipprocess.h"
#include "usbipserver.h"

#include <QIcon>

namespace {

// "TESTMODE" set to a non-zero number shows every listed device, storage
// drive or not; unset, zero or not a number keeps the normal rule.
bool testModeFromEnvironment()
{
    QByteArray value = qgetenv("TESTMODE");
    if (value.isNull())
        value = QByteArrayLiteral("0");
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok && number != 0;
}

} // namespace

LocalUsbDevicesModel::LocalUsbDevicesModel(UsbIpServer &server, QObject *parent)
    : QAbstractTableModel(parent)
    , m_server(server)
    , m_testMode(testModeFromEnvironment())
{
    m_headers.insert(BusIdColumn, QStringLiteral("BUSID"));
    m_headers.insert(VidPidColumn, QStringLiteral("VID:PID"));
    m_headers.insert(StatusColumn, tr("Status"));
    m_headers.insert(NameColumn, tr("Name"));

    connect(&m_server, &UsbIpServer::updated, this, &LocalUsbDevicesModel::updated);
    connect(&m_server, &UsbIpServer::shared, this, &LocalUsbDevicesModel::shared);
    connect(&m_server, &UsbIpServer::unshared, this, &LocalUsbDevicesModel::unshared);
}

// A table: cells have no children (a view asking for them gets none).
int LocalUsbDevicesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_devices.size();
}

int LocalUsbDevicesModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_headers.size();
}

bool LocalUsbDevicesModel::isRow(const QModelIndex &index) const
{
    return index.isValid() && index.model() == this && index.row() >= 0
        && index.row() < m_devices.size() && index.column() >= 0;
}

QString LocalUsbDevicesModel::statusText(int row) const
{
    const auto it = m_shared.constFind(m_busids.at(row));
    if (it == m_shared.constEnd())
        return tr("unshared");
    return tr("shared (%1)").arg(it.value() ? tr("constantly") : tr("session"));
}

QVariant LocalUsbDevicesModel::data(const QModelIndex &index, int role) const
{
    if (!isRow(index))
        return QVariant();

    const UsbDevice &device = m_devices.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case BusIdColumn:
            return device.busid();
        case VidPidColumn:
            return device.vidPid().toUpper();
        case StatusColumn:
            return statusText(index.row());
        case NameColumn:
            return device.name();
        default:
            return QString();
        }
    case Qt::DecorationRole:
        if (index.column() == BusIdColumn) {
            return m_shared.contains(m_busids.at(index.row()))
                ? QIcon::fromTheme(QStringLiteral("rud-device"))
                : QIcon::fromTheme(QStringLiteral("device-device"));
        }
        return QVariant();
    case Qt::ToolTipRole:
        if (index.column() == NameColumn)
            return device.name();
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant LocalUsbDevicesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_headers.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

QModelIndex LocalUsbDevicesModel::indexOf(const QString &busid) const
{
    const int row = m_busids.indexOf(busid);
    return row < 0 ? QModelIndex() : index(row, BusIdColumn);
}

QString LocalUsbDevicesModel::busidAt(const QModelIndex &index) const
{
    return isRow(index) ? m_busids.at(index.row()) : QString();
}

UsbDevice LocalUsbDevicesModel::deviceAt(const QModelIndex &index) const
{
    return isRow(index) ? m_devices.at(index.row()) : UsbDevice();
}

bool LocalUsbDevicesModel::isShared(const QModelIndex &index) const
{
    return isRow(index) && m_shared.contains(m_busids.at(index.row()));
}

void LocalUsbDevicesModel::updated()
{
    // Everything is read before the reset begins: the window keeps painting
    // while the tool runs, and must not see a half-reset model.
    QStringList candidates = m_server.storageBusIds();
    const QList<UsbDevice> devices = m_server.devices();

    // What the local usbip daemon exports right now: it is shared already.
    // With no local device (or `usbip list -l` failed, which the service
    // reported) there is no row to mark: no wait and no second box.
    QList<UsbIpGrammar::ExportedDevice> exported;
    QString exportsFailure;
    bool exportsListed = true;
    if (!devices.isEmpty()) {
        UsbIpProcess runner;
        exportsListed =
            UsbIpListing::exportedDevices(runner, QStringLiteral("localhost"), &exported);
        if (!exportsListed)
            exportsFailure = OvraUsbIp::printableMessage(UsbIpListing::failureText(runner));
    }

    const QStringList constant = SharedDevicesFile().entries();

    beginResetModel();
    m_shared.clear();
    m_devices.clear();
    m_busids.clear();
    for (const UsbIpGrammar::ExportedDevice &device : qAsConst(exported)) {
        m_shared.insert(
            device.busId,
            constant.contains(UsbIpGrammar::vidPidText(device.vendorId, device.productId)));
        candidates.append(device.busId);
    }
    candidates.removeDuplicates();

    for (const UsbDevice &device : devices) {
        if (m_testMode || candidates.contains(device.busid())) {
            m_devices.append(device);
            m_busids.append(device.busid());
        }
    }
    endResetModel();

    // Without the exports every shared device shows as unshared: say so.
    if (!exportsListed)
        Q_EMIT error(tr("Error updating the list of shared devices!"), exportsFailure);
}

void LocalUsbDevicesModel::rowChanged(const QString &busid)
{
    const int row = m_busids.indexOf(busid);
    if (row >= 0)
        Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void LocalUsbDevicesModel::shared(const QString &busid, bool isConst)
{
    if (m_shared.contains(busid))
        return;
    m_shared.insert(busid, isConst);
    rowChanged(busid);
}

void LocalUsbDevicesModel::unshared(const QString &busid)
{
    if (!m_shared.remove(busid))
        return;
    rowChanged(busid);
}
