// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QString>

// What the real `usbip` tool prints, recorded once per layout in
// tests/data/tool-output: "list-local-*.txt" (`usbip list -l`),
// "list-remote-*.txt" (`usbip list -r HOST`), "port-*.txt" (`usbip port`),
// and "lsblk-*.json", layouts of block devices as `lsblk --json --inverse
// --output NAME,PATH,TYPE,FSTYPE,UUID,MOUNTPOINTS` prints them.
namespace ToolOutput {

// The recorded output `name`; empty, with a warning, when there is none.
QByteArray read(const QString &name);
// The same, decoded as the tool's UTF-8.
QString text(const QString &name);

// The same formats for any number of devices, for tests that need lists of
// their own. `description` is "VENDOR : PRODUCT (vvvv:pppp)".
QByteArray localBlock(const QByteArray &busid, const QByteArray &ids, const QByteArray &names);
QByteArray remoteHeader(const QByteArray &host);
QByteArray remoteBlock(const QByteArray &busid, const QByteArray &description);
QByteArray portHeader();
// `remote` is "HOST:PORT/BUSID".
QByteArray portBlock(const QByteArray &number, const QByteArray &description,
                     const QByteArray &remote);

} // namespace ToolOutput
