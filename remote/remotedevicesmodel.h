// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "devicetablemodel.h"
#include "remotedevices.h"

#include <QList>

// The table of the "Remote USB storages" tab: the rows of the remote
// service, formatted.
class RemoteDevicesModel : public DeviceTableModel
{
    Q_OBJECT
public:
    enum Column { HostColumn, BusIdColumn, VidPidColumn, StatusColumn, NameColumn, ColumnCount };

    explicit RemoteDevicesModel(QObject *parent = nullptr);

    // The first row of a device id.
    QModelIndex indexOf(const QString &deviceId) const;
    // The row of a cell; an empty row (invalid device) outside the table.
    RemoteRow rowAt(const QModelIndex &index) const;

public Q_SLOTS:
    void setRows(const QList<RemoteRow> &rows);
    void setRow(int row, const RemoteRow &value);

protected:
    int rows() const override { return m_rows.size(); }
    QVariant cell(int row, int column, int role) const override;

private:
    QString statusText(const RemoteRow &row) const;

    QList<RemoteRow> m_rows;
};
