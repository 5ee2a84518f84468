// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

// The running kernel's release as `uname -r` prints it, without line feeds;
// empty when nothing could be read.
QString kernelRelease();

// True when the USB/IP tools package of the running kernel is installed.
// Otherwise offers to install it through the package manager and returns
// false, whatever the user chose.
bool checkToolsPackage();

// True when the usbipd service is active at the end of the check. An
// inactive service is enabled (when it is not) and started if the user
// agrees.
bool checkUsbipdService();

// The program: single-instance guard, desktop set-up, the two checks, the
// main window and the event loop. Returns the exit status: -1 when another
// instance runs, 0 when a check fails, else the event loop's value.
int runApplication(int argc, char **argv);
