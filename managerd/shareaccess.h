// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Who may attach this machine's shared devices: the setting, the file that
// keeps it and the packet-filter rules that enforce it.
//
// The file (/etc/usbip/share-access) is a list file read with the grammar's
// AccessListRules: "#" comment lines, then the mode ("restricted" or
// "unrestricted"), then one host per line in canonical form
// (AccessHosts::canonicalHost). A missing file is the default:
// unrestricted, as before the setting existed. A file that cannot be read,
// has no mode or holds anything but hosts after it is broken: only this
// machine may attach until the setting is made again (a hand edit that went
// wrong must not open the port to everyone).
//
// The rules are one table of the inet family, owned by the Manager and
// replaced as a whole with `nft -f -`; no other table is touched. Restricted,
// its input chain (priority -10, before the usual filter chains) accepts
// everything on loopback and drops TCP port 3240 from every source that is
// not in its IPv4 or IPv6 set; unrestricted, the table is gone.
namespace Access {

struct Setting
{
    bool restricted = false;
    QStringList hosts; // canonical, no duplicates

    bool operator==(const Setting &other) const
    {
        return restricted == other.restricted && hosts == other.hosts;
    }
};

// Reads the file at `path`. A missing file gives the default setting; on
// false `error` says what is wrong with the file (its path, and the entry).
bool read(const QString &path, Setting *setting, QString *error = nullptr);

// What is put in force for the file at `path`: its setting, or only this
// machine while the file is broken (`broken` then says what is wrong).
Setting inForce(const QString &path, QString *broken = nullptr);

// For the log: "only this machine and 2 listed hosts may attach".
QString describe(const Setting &setting);

// What the file holds for `setting`: a comment that explains it, the mode,
// the hosts.
QByteArray fileContent(const Setting &setting);

// The nftables script that puts `setting` in force, for `nft -f -`: it
// replaces the Manager's table in one transaction (created first, so that
// its deletion never fails; nft 1.0.6 has no "destroy"), and for an
// unrestricted setting leaves no table behind.
QByteArray nftScript(const Setting &setting);

} // namespace Access
