// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "shareddevicesfile.h"

#include "ovrausbipmanager.h"
#include "usbipgrammar.h"

namespace {

// An unreadable file has no entries, silently.
QStringList readEntries(const QString &path)
{
    QStringList entries;
    UsbIpGrammar::readListFile(path, UsbIpGrammar::WindowListRules, &entries);
    return entries;
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
