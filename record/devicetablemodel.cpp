// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "devicetablemodel.h"

DeviceTableModel::DeviceTableModel(const QStringList &headers, QObject *parent)
    : QAbstractTableModel(parent)
    , m_headers(headers)
{
}

int DeviceTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows();
}

int DeviceTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_headers.size();
}

bool DeviceTableModel::isRow(const QModelIndex &index) const
{
    return index.isValid() && index.model() == this && index.row() >= 0 && index.row() < rows()
        && index.column() >= 0 && index.column() < m_headers.size();
}

QVariant DeviceTableModel::data(const QModelIndex &index, int role) const
{
    return isRow(index) ? cell(index.row(), index.column(), role) : QVariant();
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_headers.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void DeviceTableModel::rowChanged(int row)
{
    if (row >= 0 && row < rows())
        Q_EMIT dataChanged(index(row, 0), index(row, m_headers.size() - 1));
}
