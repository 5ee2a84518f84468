// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbipgrammar.h"

#include <QList>
#include <QString>

class UsbIpProcess;

// Listing what a host exports, for every part of the program that needs it:
// the remote side for the host the user names, the local side for what this
// machine's own daemon exports ("localhost").
namespace UsbIpListing {

// How long one `usbip list -r HOST` may take: a working host meets it also
// over a slow link on a loaded machine (the tool alone needs up to 0.4 s to
// start there).
constexpr int RemoteListTimeoutMs = 5000;

// Runs `usbip list -r HOST` through `runner` and reads the devices it lists
// with a bus id of `form` and a name, in output order. False, with no
// devices, when the tool failed or ran out of time; its texts stay readable
// on the runner.
bool exportedDevices(UsbIpProcess &runner, const QString &host,
                     QList<UsbIpGrammar::ExportedDevice> *devices,
                     UsbIpGrammar::BusIdForm form = UsbIpGrammar::WindowBusIds);

// Why the last listing through `runner` failed: the tool's own message, as
// it wrote it (clean it before a box shows it); or, when it said nothing,
// that it could not be started or got no answer in time.
QString failureText(UsbIpProcess &runner);

} // namespace UsbIpListing
