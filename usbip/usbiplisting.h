// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "childprocess.h"
#include "usbipgrammar.h"

#include <QList>
#include <QString>
#include <QStringList>

// Running the `usbip` tool's listings, for every part of the window that
// needs them: this machine's devices (`list -l`) and what a host exports
// (`list -r HOST`: the remote side for the host the user names, the local
// side for what this machine's own daemon exports, "localhost").
namespace UsbIpListing {

// How long one listing may take: a working host meets it also over a slow
// link on a loaded machine (the tool alone needs up to 0.4 s to start there).
constexpr int ListTimeoutMs = 5000;

inline constexpr char Tool[] = "usbip";
QStringList remoteArguments(const QString &host);

// `usbip list -l`, waited for.
ChildResult listLocal();

struct Exports
{
    bool listed = false; // the tool ran and succeeded
    // The devices listed with a bus id and a name, in output order.
    QList<UsbIpGrammar::ExportedDevice> devices;
    // Why not: the tool's message or what happened to it (failureText).
    QString failure;
};
// `usbip list -r HOST`, waited for and read.
Exports listExports(const QString &host);
// The devices with a bus id and a name that a `list -r` output lists.
QList<UsbIpGrammar::ExportedDevice> exportedDevices(const QString &text);

// Why a listing failed: the tool's own message, as it wrote it (clean it
// before a box shows it); or, when it said nothing, that it could not be
// started or got no answer in time.
QString failureText(const ChildResult &run);

} // namespace UsbIpListing
