// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

// The running kernel's release as `uname -r` prints it, without line feeds;
// empty when nothing could be read.
QString kernelRelease();

// The whole number the kernel release starts with ("10.1.0" gives 10); 0
// when it starts with no digit.
int kernelMajorVersion(const QString &release = kernelRelease());

// True when the package that brings the USB/IP tools on this distribution
// (see OvraAdmin::PackageManager::usbipToolsPackage) is installed.
// Otherwise offers to install it through the package manager and returns
// false, whatever the user chose.
bool checkToolsPackage();

// True when the usbipd service is active at the end of the check. An
// inactive service is enabled (when it is not) and started if the user
// agrees.
bool checkUsbipdService();

// The program. --help and --version print and return 0, --check prints the
// platform check and returns 0 or 1, a wrong command line returns 2 after a
// one-line message; none of them needs a display. Otherwise: single-instance
// guard, desktop set-up, the two checks, the main window and the event loop,
// returning -1 when another instance runs, 0 when a check fails, else the
// event loop's value.
int runApplication(int argc, char **argv);
