// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbdevice.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <map>

// One scan of the addresses subnet + 1 ... subnet + count - 1 for hosts that
// export USB devices. Every address is probed natively, many at once; only
// the hosts that answer are listed with `usbip list -r`, a few at once, each
// within the listing limit. Everything runs in the calling thread, which
// needs no event loop; the caller's stop flag ends the scan within
// milliseconds (open probes abandoned, running listings killed).
class NetworkScan
{
public:
    // The progress of an offset once it and every offset before it are done.
    using Progress = std::function<void(int offset)>;
    // The records of one host's listing.
    using Parser = std::function<QList<UsbDevice>(const QString &text, const QString &host)>;

    // A time-out below zero waits without limit; one under 10 ms counts as
    // 10 ms. The listing limit is in milliseconds too (below zero: none).
    NetworkScan(const QString &subnet, int count, int timeoutMs, int listLimitMs);

    // Addresses never probed (this machine's own); other than IPv4 ones are
    // ignored.
    void setSkippedAddresses(const QStringList &addresses);

    // Runs the scan; false when `stop` became true (checked after every
    // reported offset and at least every few milliseconds).
    bool run(const std::atomic<bool> &stop, const Progress &progress, const Parser &parse);

    // The records found, ordered by address.
    QList<UsbDevice> devices() const;
    // Whether any host's listing succeeded.
    bool anyListed() const { return m_anyListed; }

private:
    QString m_subnet;
    quint32 m_base;
    quint32 m_last; // the last offset probed
    int m_timeoutMs;
    int m_listLimitMs;
    QSet<quint32> m_skipped;
    std::map<quint32, QList<UsbDevice>> m_found; // by offset
    bool m_anyListed = false;
};
