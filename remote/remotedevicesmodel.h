// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "devicetablemodel.h"
#include "remotedevices.h"

// The table of the "Remote USB storages" tab: the rows of the remote
// service, formatted.
class RemoteDevicesModel : public DeviceRowsModel<RemoteRow>
{
    Q_OBJECT
public:
    enum Column { HostColumn, BusIdColumn, VidPidColumn, StatusColumn, NameColumn, ColumnCount };

    explicit RemoteDevicesModel(QObject *parent = nullptr);

    // The first row of a device id.
    QModelIndex indexOf(const QString &deviceId) const;

protected:
    QVariant cell(int row, int column, int role) const override;

private:
    QString statusText(const RemoteRow &row) const;
};
