// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "devicetablemodel.h"
#include "localsharing.h"

// The table of the "Local USB storages" tab: the rows of the local sharing
// service, formatted.
class LocalDevicesModel : public DeviceRowsModel<LocalRow>
{
    Q_OBJECT
public:
    enum Column { BusIdColumn, VidPidColumn, StatusColumn, NameColumn, ColumnCount };

    explicit LocalDevicesModel(QObject *parent = nullptr);

    QModelIndex indexOf(const QString &busId) const;

protected:
    QVariant cell(int row, int column, int role) const override;

private:
    QString statusText(const LocalRow &row) const;
};
