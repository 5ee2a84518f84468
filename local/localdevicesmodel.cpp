// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "localdevicesmodel.h"

#include <QIcon>

LocalDevicesModel::LocalDevicesModel(QObject *parent)
    : DeviceRowsModel({QStringLiteral("BUSID"), QStringLiteral("VID:PID"), tr("Status"),
                       tr("Name")},
                      parent)
{
    static_assert(ColumnCount == 4, "one header per column");
}

QModelIndex LocalDevicesModel::indexOf(const QString &busId) const
{
    return firstIndex([&busId](const LocalRow &row) {
        return row.device.busId() == busId;
    });
}

QString LocalDevicesModel::statusText(const LocalRow &row) const
{
    switch (row.share) {
    case LocalRow::Share::None:
        break;
    case LocalRow::Share::Session:
        return tr("shared (%1)").arg(tr("session"));
    case LocalRow::Share::Constant:
        return tr("shared (%1)").arg(tr("constantly"));
    }
    return tr("unshared");
}

QVariant LocalDevicesModel::cell(int row, int column, int role) const
{
    const LocalRow &entry = rowData(row);
    const UsbDevice &device = entry.device;
    switch (role) {
    case Qt::DisplayRole:
        switch (Column(column)) {
        case BusIdColumn:
            return device.busId();
        case VidPidColumn:
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
        if (column == BusIdColumn)
            return QIcon::fromTheme(entry.isShared() ? QStringLiteral("rud-device")
                                                     : QStringLiteral("device-device"));
        return QVariant();
    case Qt::ToolTipRole:
        if (column == NameColumn)
            return device.name();
        return QVariant();
    default:
        return QVariant();
    }
}
