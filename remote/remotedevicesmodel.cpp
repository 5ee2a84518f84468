// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "remotedevicesmodel.h"

#include "ovraicon.h"

#include <QIcon>

RemoteDevicesModel::RemoteDevicesModel(QObject *parent)
    : DeviceRowsModel({tr("IP address"), QStringLiteral("BUSID"), QStringLiteral("VID:PID"),
                       tr("Status"), tr("Name")},
                      parent)
{
    static_assert(ColumnCount == 5, "one header per column");
}

QModelIndex RemoteDevicesModel::indexOf(const QString &deviceId) const
{
    return firstIndex([&deviceId](const RemoteRow &row) {
        return row.device.deviceId() == deviceId;
    });
}

QString RemoteDevicesModel::statusText(const RemoteRow &row) const
{
    if (row.isHealing())
        return tr("lost connection (connecting again)");
    if (row.lost)
        return tr("lost connection");
    if (row.attached())
        return tr("connected (%1)").arg(row.isConstant() ? tr("constantly") : tr("session"));
    return tr("disconnected");
}

QVariant RemoteDevicesModel::cell(int row, int column, int role) const
{
    const RemoteRow &entry = rowData(row);
    const UsbDevice &device = entry.device;
    switch (role) {
    case Qt::DisplayRole:
        switch (Column(column)) {
        case HostColumn:
            return device.host();
        case BusIdColumn:
            return device.busId();
        case VidPidColumn:
            if (device.vendorId().isEmpty() || device.productId().isEmpty())
                return QString();
            return device.vidPid().toUpper();
        case StatusColumn:
            return statusText(entry);
        case NameColumn:
            return device.name();
        case ColumnCount:
            break;
        }
        return QString();
    case Qt::DecorationRole:
        if (column != HostColumn)
            return QVariant();
        if (entry.lost) {
            return OvraIcon::withOverlay(QIcon::fromTheme(QStringLiteral("rud-device")),
                                         Qt::BottomRightCorner,
                                         QIcon::fromTheme(QStringLiteral("rud-off")), [](int size) {
                                             return size / 2;
                                         });
        }
        return QIcon::fromTheme(entry.attached() ? QStringLiteral("rud-device")
                                                 : QStringLiteral("device-device"));
    case Qt::ToolTipRole:
        if (column == NameColumn)
            return device.name();
        if (column == StatusColumn && entry.isHealing())
            return tr("The device is attached again as soon as its host exports it. Disconnect "
                      "forgets the constant connection.");
        return QVariant();
    default:
        return QVariant();
    }
}
