// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "devicetablemodel.h"
#include "localsharing.h"

#include <QList>

// The table of the "Local USB storages" tab: the rows of the local sharing
// service, formatted.
class LocalDevicesModel : public DeviceTableModel
{
    Q_OBJECT
public:
    enum Column { BusIdColumn, VidPidColumn, StatusColumn, NameColumn, ColumnCount };

    explicit LocalDevicesModel(QObject *parent = nullptr);

    QModelIndex indexOf(const QString &busId) const;
    // The row of a cell; an empty row (invalid device) outside the table.
    LocalRow rowAt(const QModelIndex &index) const;

public Q_SLOTS:
    void setRows(const QList<LocalRow> &rows);
    void setRow(int row, const LocalRow &value);

protected:
    int rows() const override { return m_rows.size(); }
    QVariant cell(int row, int column, int role) const override;

private:
    QString statusText(const LocalRow &row) const;

    QList<LocalRow> m_rows;
};
