// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QHostInfo>
#include <QList>
#include <QMap>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// Address, host and subnet helpers. They keep no state (but for the look-up
// counter and the key cache below) and may be called from any thread.

// The dotted-decimal text of the IPv4 address `offset` steps after `base`;
// a base that is not IPv4 counts from 0.0.0.0, the sum wraps in 32 bits.
QString addressAt(const QString &base, quint32 offset);

// Every address of every interface that is up, in QNetworkInterface's order.
QStringList localAddresses();

// Network address text -> last host offset (2^(32-prefix) - 1), for the IPv4
// entries of the Ethernet and Wi-Fi interfaces.
QMap<QString, int> localSubnets();

// The subnet map of a list of interfaces, each given by its type and its
// address entries (what localSubnets() builds from the machine's interfaces).
using InterfaceEntries = QPair<QNetworkInterface::InterfaceType, QList<QNetworkAddressEntry>>;
QMap<QString, int> subnetsOf(const QList<InterfaceEntries> &interfaces);

// The last host offset of a prefix length (0 for prefix 0).
int lastHostOffset(int prefixLength);

// "localhost" gives 127.0.0.1, an address its normalised text, a name the
// first address the resolver gives (null string when none), "" stays "".
QString hostAddress(const QString &host);

// The name a reverse look-up of hostAddress(host) gives; the address text
// when there is no reverse entry; empty when there is no address.
QString hostName(const QString &host);

// How long one blocking look-up may take before it counts as unanswered.
constexpr int HostLookupTimeoutMs = 2000;

// Number of resolver round-trips made since the start of the process.
int hostLookupCount();

// Cached variants used by the device keys: answers are kept for a short time
// (HostKeyCacheLifetimeMs) so that a list of N devices of one host costs a
// constant number of look-ups, while changed DNS records are still noticed.
constexpr int HostKeyCacheLifetimeMs = 30000;
QString cachedHostAddress(const QString &host);
QString cachedHostName(const QString &host);
void clearHostCache();

// The resolver the look-ups go through: QHostInfo::fromName unless replaced
// (tests stand in a slow or scripted resolver). An empty function restores it.
// The function runs in a helper thread and must be thread-safe.
using HostLookupFunction = std::function<QHostInfo(const QString &name)>;
void setHostLookupFunction(const HostLookupFunction &function);
