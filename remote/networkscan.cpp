// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "networkscan.h"

#include "nethelpers.h"
#include "usbipprober.h"
#include "usbipprocess.h"

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
constexpr int KillWaitMs = 1000;

struct Listing
{
    quint32 offset;
    QString host;
    std::unique_ptr<UsbIpProcess> process;
    QDeadlineTimer deadline;
};

void kill(UsbIpProcess &process)
{
    process.kill();
    process.waitForFinished(KillWaitMs);
}

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

bool NetworkScan::run(const std::atomic<bool> &stop, const Progress &progress, const Parser &parse)
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
        for (Listing &listing : listings)
            kill(*listing.process);
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
            Listing listing{offset, addressAt(m_subnet, offset), std::make_unique<UsbIpProcess>(),
                            QDeadlineTimer(m_listLimitMs)};
            listing.process->startListRemote(listing.host);
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
            UsbIpProcess &process = *it->process;
            process.waitForFinished(0);
            if (process.state() != QProcess::NotRunning) {
                if (!it->deadline.hasExpired()) {
                    ++it;
                    continue;
                }
                kill(process); // past the limit: the host contributes nothing
            } else if (process.succeeded()) {
                m_anyListed = true;
                m_found[it->offset] = parse(process.standardOutputText(), it->host);
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
