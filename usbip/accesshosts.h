// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>
#include <QStringList>

// The hosts that may attach this machine's shared devices, as the window
// edits them and the Manager service keeps and enforces them: one grammar
// for both. The reasons are short texts for the user, translated where a
// translator is installed (the window) and English elsewhere (the Manager).
namespace AccessHosts {

// A list holds at most this many entries (the Manager's SetShareAccess
// refuses more).
constexpr int MaxHosts = 256;
// Longest entry accepted at all (a full IPv4-mapped form with a prefix has
// 49 characters).
constexpr int MaxHostLength = 64;

struct Host
{
    QString canonical; // empty when the entry is none
    QString reason; // why not, as a clause: "it is empty"

    bool isValid() const { return !canonical.isEmpty(); }
};

// An entry in its canonical form: an IPv4 address in dotted decimal
// ("192.168.1.20"), an IPv6 address as Qt prints it (lower case, the longest
// run of zero groups shortened: "fd00::1"), or either followed by "/" and a
// prefix length (0-32, 0-128) with the bits past the prefix cleared
// ("192.168.1.5/24" becomes "192.168.1.0/24"). A prefix of the full length is
// the plain address; an IPv4-mapped IPv6 address ("::ffff:192.0.2.1",
// prefixes of 96 and more) is its IPv4 address, as the kernel sees such a
// peer. Anything else is none, with its reason: blanks, zones
// ("fe80::1%eth0"), names, leading zeros ("010.0.0.1"), bad prefixes.
Host canonicalHost(const QString &text);

struct List
{
    QStringList canonical; // in the order given, every duplicate after the first dropped
    QString reason; // empty when every entry is valid and there are not too many

    bool isValid() const { return reason.isEmpty(); }
};

// A whole list in canonical form; on failure its reason names the entry
// ("Invalid host "10.0.0.%2" (entry 2 of the list): ...") or the count, and
// the canonical list is empty.
List canonicalHosts(const QStringList &hosts);

} // namespace AccessHosts
