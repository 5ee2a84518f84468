// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QList>
#include <QString>

class QTextStream;

// The USB/IP platform the program needs, looked at without changing anything:
// what `ovra-admin-usbip --check` reports. Where it looks can be moved for
// tests and the sandbox: OVRA_SYSFS_ROOT (/sys), OVRA_MODULES_ROOT
// (/lib/modules), OVRA_PROC_ROOT (/proc), OVRA_POLKIT_ACTIONS_DIR
// (/usr/share/polkit-1/actions), DPKG_ADMINDIR and the system bus address.
namespace PlatformCheck {

struct Requirement
{
    bool met = false;
    QString name; // e.g. "kernel module vhci-hcd"
    QString finding; // what was found and, when not met, what to do
};

QList<Requirement> requirements();

// One line per requirement, "OK       <name>: <finding>" or
// "MISSING  <name>: <finding>". Returns the exit status of --check: 0 when
// every requirement is met, 1 otherwise.
int print(const QList<Requirement> &requirements, QTextStream &out);

// The addresses something listens on for TCP `port`, from the kernel's
// socket tables in the format of /proc/net/tcp or /proc/net/tcp6.
QStringList listeningAddresses(const QByteArray &table, quint16 port);

} // namespace PlatformCheck

// Programs the platform installs under /usr/sbin or /sbin (usbip on Debian)
// are found by name even where the user's PATH lacks those folders, as a
// desktop user's does on Debian. They come last, after the user's own.
void addSystemToolFolders();
