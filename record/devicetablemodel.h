// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QAbstractTableModel>
#include <QList>
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

// A device table of one kind of row: the rows its service hands it, whole
// (setRows, a reset) or one by one (setRow).
template <typename Row>
class DeviceRowsModel : public DeviceTableModel
{
public:
    void setRows(const QList<Row> &rows)
    {
        beginResetModel();
        m_rows = rows;
        endResetModel();
    }

    void setRow(int row, const Row &value)
    {
        if (row < 0 || row >= m_rows.size())
            return;
        m_rows[row] = value;
        rowChanged(row);
    }

    // The row of a cell; an empty row (invalid device) outside the table.
    Row rowAt(const QModelIndex &index) const
    {
        return isRow(index) ? m_rows.at(index.row()) : Row();
    }

protected:
    using DeviceTableModel::DeviceTableModel;

    int rows() const override { return m_rows.size(); }
    const Row &rowData(int row) const { return m_rows.at(row); }

    // The first column of the first row that `matches`; invalid when none.
    template <typename Predicate>
    QModelIndex firstIndex(Predicate matches) const
    {
        for (int row = 0; row < m_rows.size(); ++row) {
            if (matches(m_rows.at(row)))
                return index(row, 0);
        }
        return QModelIndex();
    }

private:
    QList<Row> m_rows;
};
