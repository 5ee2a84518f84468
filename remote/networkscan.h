// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbdevice.h"

#include <QList>
#include <QObject>
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

    // A time-out below zero waits without limit; one under 10 ms counts as
    // 10 ms. The listing limit is in milliseconds too.
    NetworkScan(const QString &subnet, int count, int timeoutMs, int listLimitMs);

    // Addresses never probed (this machine's own); other than IPv4 ones are
    // ignored.
    void setSkippedAddresses(const QStringList &addresses);

    // Runs the scan; false when `stop` became true (checked after every
    // reported offset and at least every few milliseconds).
    bool run(const std::atomic<bool> &stop, const Progress &progress);

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

// The network scan as a worker object: it lives on a thread of its own,
// where the scan blocks, and reports back through queued signals.
class NetworkScanner : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Ends the running scan, and one asked for before this call that has not
    // started yet, within milliseconds. Safe from any thread.
    void stop();

public Q_SLOTS:
    // Every report of the scan carries `serial`, so that the receiver can
    // tell it from the reports of scans before and after it.
    void scan(const QString &subnet, int count, int timeoutMs, quint64 serial);

Q_SIGNALS:
    void progress(int offset, quint64 serial);
    // A scan that ran to its end: the devices of the hosts that answered,
    // ordered by address, and whether any host's listing succeeded.
    void finished(const QList<UsbDevice> &devices, bool anyListed, quint64 serial);

private:
    std::atomic<bool> m_stop{false};
};
