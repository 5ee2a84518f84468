// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

// Where the program and the Manager service find the system's files. The
// defaults are the real places. The window builds one description at start
// from its test seams (app/), the Manager from its command line, and each
// hands down what a part needs; no other part takes a setting from the
// environment (the child-process runner passes it on to the tools it starts).
struct Platform
{
    // The lists of constant shares and connections and the blacklist.
    QString configDir = QStringLiteral("/etc/usbip");
    QString sysfsRoot = QStringLiteral("/sys");
    QString procRoot = QStringLiteral("/proc");
    QString modulesRoot = QStringLiteral("/lib/modules");
    QString polkitActionsDir = QStringLiteral("/usr/share/polkit-1/actions");
    // Searched first for the help page and the translations; empty: none.
    QString dataDir;
    // Empty: /etc/os-release, or /usr/lib/os-release where that is missing.
    QString osReleaseFile;
    // Empty: the system's resolver. Otherwise host names are looked up in
    // this hosts-format file alone, and no name server is ever asked.
    QString hostsFile;
    // nftables' tool, with which the platform check looks at the Manager's
    // table (the Manager has its own, from its command line).
    QString nftProgram = QStringLiteral("/usr/sbin/nft");
    // Every local device is listed, storage drive or not.
    bool testMode = false;

    QString blacklistPath() const { return configDir + QStringLiteral("/blacklist"); }
    QString sharedDevicesPath() const { return configDir + QStringLiteral("/shared-usb-devices"); }
    QString remoteDevicesPath() const { return configDir + QStringLiteral("/remote-usb-devices"); }
    // Who may attach to this machine's shared devices.
    QString shareAccessPath() const { return configDir + QStringLiteral("/share-access"); }
};
