// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "platform.h"

#include <QList>
#include <QString>

class QTextStream;

// The USB/IP platform the program needs, looked at without changing anything:
// what `ovra-admin-usbip --check` reports, where `platform` says.
namespace PlatformCheck {

struct Requirement
{
    bool met = false;
    QString name; // e.g. "kernel module vhci-hcd"
    QString finding; // what was found and, when not met, what to do
    // Everything else works without it; unmet, it does not fail the check.
    bool optional = false;
};

QList<Requirement> requirements(const Platform &platform);

// One line per requirement, "OK       <name>: <finding>",
// "MISSING  <name>: <finding>" or, for an optional one not met,
// "OPTIONAL <name>: <finding>". Returns the exit status of --check: 0 when
// every requirement that is not optional is met, 1 otherwise.
int print(const QList<Requirement> &requirements, QTextStream &out);

// The addresses something listens on for TCP `port`, from the kernel's
// socket tables in the format of /proc/net/tcp or /proc/net/tcp6.
QStringList listeningAddresses(const QByteArray &table, quint16 port);

} // namespace PlatformCheck
