// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QAbstractTableModel>
#include <QStringList>

// What both device tables share: a flat table of rows whose cells a subclass
// formats from the snapshot its service hands it. A model does no work of
// its own (no tool, no file, no Manager call): it only formats.
class DeviceTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    // A table: cells have no children (a view asking for them gets none).
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

protected:
    // One header per column, in column order.
    DeviceTableModel(const QStringList &headers, QObject *parent);

    virtual int rows() const = 0;
    // The data of a cell inside the table.
    virtual QVariant cell(int row, int column, int role) const = 0;

    // A cell of this model inside the table.
    bool isRow(const QModelIndex &index) const;
    // Tells the views that every cell of `row` may have changed.
    void rowChanged(int row);

private:
    QStringList m_headers;
};
