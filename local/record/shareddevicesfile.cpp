// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "shareddevicesfile.h"

#include "ovrausbipmanager.h"

#include <QFile>

namespace {

QStringList readEntries(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringList();
    return QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

SharedDevicesFile::SharedDevicesFile()
    : m_path(OvraUsbIp::sharedDevicesPath())
{
}

SharedDevicesFile::SharedDevicesFile(const QString &path)
    : m_path(path)
{
}

QStringList SharedDevicesFile::entries() const
{
    return readEntries(m_path);
}

QStringList constantConnections()
{
    return readEntries(OvraUsbIp::remoteDevicesPath());
}
