// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "packagemanager.h"
#include "platform.h"

#include <QString>

// The running kernel's release as `uname -r` prints it, without line feeds;
// empty when nothing could be read.
QString kernelRelease();

// The whole number the kernel release starts with ("10.1.0" gives 10); 0
// when it starts with no digit.
int kernelMajorVersion(const QString &release = kernelRelease());

// The package database of `platform`, asked without blocking the window.
OvraAdmin::PackageManager packageManager(const Platform &platform);

// True when the package that brings the USB/IP tools on this distribution
// (see OvraAdmin::PackageManager::usbipToolsPackage) is installed.
// Otherwise offers to install it through the package manager and returns
// false, whatever the user chose.
bool checkToolsPackage(const Platform &platform);

// True when the usbipd service is active at the end of the check. An
// inactive service is enabled (when it is not) and started if the user
// agrees.
bool checkUsbipdService();

// The program. --help and --version print and return 0, --check prints the
// platform check and returns 0 or 1, a wrong command line returns 2 after a
// one-line message; none of them needs a display. Otherwise: single-instance
// guard (a second start raises the running window and returns -1), desktop
// set-up, the two checks (0 when one fails), the main window and the event
// loop, returning its value.
int runApplication(int argc, char **argv);
