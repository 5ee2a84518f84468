// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// Address, host and subnet helpers. They may be called from any thread.

// The dotted-decimal text of the IPv4 address `offset` steps after `base`;
// a base that is not IPv4 counts from 0.0.0.0, the sum wraps in 32 bits.
QString addressAt(const QString &base, quint32 offset);

// Every address of every interface that is up, in QNetworkInterface's order.
QStringList localAddresses();

// Network address text -> last host offset (2^(32-prefix) - 1), for the IPv4
// entries of the Ethernet and Wi-Fi interfaces that have an address to scan:
// a /31 or /32 (a point-to-point link, a tunnel) has none and is left out.
QMap<QString, int> localSubnets();

// The subnet map of a list of interfaces, each given by its type and its
// address entries (what localSubnets() builds from the machine's interfaces).
using InterfaceEntries = QPair<QNetworkInterface::InterfaceType, QList<QNetworkAddressEntry>>;
QMap<QString, int> subnetsOf(const QList<InterfaceEntries> &interfaces);

// How long one look-up may take before it counts as unanswered.
constexpr int HostLookupTimeoutMs = 2000;
// Answers are kept this long, so that a list of many devices of one host
// costs one look-up, while changed DNS records are still noticed.
constexpr int HostCacheLifetimeMs = 30000;

// Where look-ups are answered: the system's resolver (an empty path), or a
// hosts-format file alone ("address name..." per line, '#' starts a
// comment), which never asks a name server. Set once at start.
void setHostsFile(const QString &path);

// Waits until `done` holds or `timeoutMs` has passed; on the GUI thread the
// window keeps running meanwhile.
using Wait = std::function<bool(const std::function<bool()> &done, int timeoutMs)>;

// The address of each host: "localhost" gives 127.0.0.1, an address its
// normalised text, a name the first address the resolver gives (empty when
// none, also when it does not answer in time). The names are looked up at
// once, in parallel, each at most HostLookupTimeoutMs. Without `wait` the
// calling thread blocks for them; with it, the wait goes through `wait` and
// a finished look-up wakes the application's event loop.
QHash<QString, QString> hostAddresses(const QStringList &hosts, const Wait &wait = Wait());
