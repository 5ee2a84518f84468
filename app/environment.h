// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "platform.h"

// The only place where the program takes settings from its environment (the
// child-process runner passes the environment on to the tools it starts).

// The platform the program runs on. Tests and the sandbox move it with
// OVRA_USBIP_CONFIG_DIR (/etc/usbip), OVRA_SYSFS_ROOT (/sys), OVRA_PROC_ROOT
// (/proc), OVRA_MODULES_ROOT (/lib/modules), OVRA_POLKIT_ACTIONS_DIR
// (/usr/share/polkit-1/actions), OVRA_DATA_DIR (a data folder searched
// first), OVRA_OS_RELEASE_FILE (os-release) and OVRA_RESOLVER_HOSTS_FILE (a
// hosts file that answers every look-up). "TESTMODE" set to a non-zero number
// lists every local device, storage drive or not; unset, zero or not a
// number keeps the normal rule.
Platform platformFromEnvironment();

// Programs the platform installs under /usr/sbin or /sbin (usbip on Debian)
// are found by name even where the user's PATH lacks those folders, as a
// desktop user's does on Debian. They come last, after the user's own.
void addSystemToolFolders();
