// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>
#include <QStringList>

// Read access to a line-per-entry configuration file (the constant-sharing
// file and the constant-connections file have this form), with the window's
// rules (UsbIpGrammar::WindowListRules): a file that cannot be opened reads
// as empty; empty lines are dropped, lines are not trimmed.
class SharedDevicesFile
{
public:
    // Defaults to the constant-sharing file of the configuration folder.
    SharedDevicesFile();
    explicit SharedDevicesFile(const QString &path);

    QStringList entries() const;

private:
    friend class TestSharedDevicesFile;

    QString m_path;
};

// The lines of the constant-connections file (device ids), read the same way.
QStringList constantConnections();
