// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "networkscan.h"

#include "childprocess.h"
#include "nethelpers.h"
#include "usbiplisting.h"
#include "usbipprober.h"

#include <QDeadlineTimer>
#include <QHostAddress>

#include <deque>
#include <memory>
#include <set>
#include <vector>

namespace {

// Probes open at once: a silent address costs one time-out, shared by many.
constexpr int MaxProbes = 64;
// Listings at once. Starting the tool is mostly processor time; on a busy
// machine the listings of a few hosts at once get a larger share of it than
// the same listings one processor's worth at a time (2 cores, two CPU-bound
// processes beside the scan, three answering hosts: 0.8-1.6 s instead of
// 1.0-2.5 s), and the listing limit (5 s) leaves room for them to share.
constexpr int MaxListings = 4;
// A time-out of 0 ms would let no host answer at all.
constexpr int MinimumProbeTimeoutMs = 10;
// The longest pause between two looks at the stop flag and the listings.
constexpr int PauseMs = 10;

struct Listing
{
    quint32 offset;
    QString host;
    // Killed when it outlives the listing limit, or when the scan is
    // abandoned (the listing goes).
    std::unique_ptr<ChildProcess> process;
};

} // namespace

NetworkScan::NetworkScan(const QString &subnet, int count, int timeoutMs, int listLimitMs)
    : m_subnet(subnet)
    , m_base(QHostAddress(subnet).toIPv4Address())
    , m_last(count > 1 ? quint32(count - 1) : 0)
    , m_timeoutMs(timeoutMs < 0 ? -1 : qMax(timeoutMs, MinimumProbeTimeoutMs))
    , m_listLimitMs(listLimitMs)
{
}

void NetworkScan::setSkippedAddresses(const QStringList &addresses)
{
    m_skipped.clear();
    for (const QString &text : addresses) {
        const QHostAddress address(text);
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            m_skipped.insert(address.toIPv4Address());
    }
}

bool NetworkScan::run(const std::atomic<bool> &stop, const Progress &progress)
{
    m_found.clear();
    m_anyListed = false;
    if (stop)
        return false;

    UsbIpProber prober(m_timeoutMs);
    std::set<quint32> unfinished; // probed and not yet done with (probe or listing)
    std::deque<quint32> answered; // waiting for a listing
    std::vector<Listing> listings;
    const size_t maxListings = size_t(MaxListings);
    quint32 next = 1; // the next offset to probe
    quint32 reported = 0;

    const auto abandon = [&]() {
        prober.abandon();
        listings.clear();
        return false;
    };

    for (;;) {
        while (next <= m_last && prober.pending() < MaxProbes) {
            if (!m_skipped.contains(m_base + next)) {
                if (!prober.start(m_base + next, next))
                    break;
                unfinished.insert(next);
            }
            ++next;
        }

        while (!answered.empty() && listings.size() < maxListings) {
            const quint32 offset = answered.front();
            answered.pop_front();
            Listing listing{offset, addressAt(m_subnet, offset), std::make_unique<ChildProcess>()};
            listing.process->start(QLatin1String(UsbIpListing::Tool),
                                   UsbIpListing::remoteArguments(listing.host), m_listLimitMs);
            listings.push_back(std::move(listing));
        }

        // Offsets are reported in order, once they and all before them are
        // done, so the progress never goes back.
        const quint32 done = unfinished.empty() ? next - 1 : *unfinished.begin() - 1;
        while (reported < done) {
            progress(int(++reported));
            // The last offset reported ends the scan: its result stands, as
            // the dialog that sees it closes as done.
            if (stop && reported != m_last)
                return abandon();
        }
        if (reported == m_last)
            return true;
        if (stop)
            return abandon();

        const QVector<UsbIpProber::Result> results = prober.poll(PauseMs);
        for (const UsbIpProber::Result &result : results) {
            if (result.answered)
                answered.push_back(result.tag);
            else
                unfinished.erase(result.tag);
        }

        for (auto it = listings.begin(); it != listings.end();) {
            // Past the limit the listing is killed: the host contributes nothing.
            if (!it->process->hasEnded()) {
                ++it;
                continue;
            }
            const ChildResult &result = it->process->result();
            if (result.succeeded()) {
                m_anyListed = true;
                m_found[it->offset] = exportedDevices(result.outputText(), it->host);
            }
            unfinished.erase(it->offset);
            it = listings.erase(it);
        }
    }
}

QList<UsbDevice> NetworkScan::devices() const
{
    QList<UsbDevice> result;
    for (const auto &host : m_found)
        result += host.second;
    return result;
}

void NetworkScanner::stop()
{
    m_stop = true;
    // The stop ends the scan running now and every scan asked for before it,
    // also one still waiting in the worker's queue; it is cleared only once
    // the worker has come to this point of its queue.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_stop = false;
        },
        Qt::QueuedConnection);
}

void NetworkScanner::scan(const QString &subnet, int count, int timeoutMs, quint64 serial)
{
    NetworkScan scan(subnet, count, timeoutMs, UsbIpListing::ListTimeoutMs);
    scan.setSkippedAddresses(localAddresses());
    if (!scan.run(m_stop, [this, serial](int offset) {
            Q_EMIT progress(offset, serial);
        })) {
        Q_EMIT progress(1, serial);
        return; // the rows stay as they were, and nothing is announced
    }
    Q_EMIT finished(scan.devices(), scan.anyListed(), serial);
}
