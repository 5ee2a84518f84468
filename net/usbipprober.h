// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QVector>
#include <QtGlobal>

#include <chrono>
#include <vector>

// Asks many IPv4 hosts at once whether a USB/IP server answers on them. A
// host answers when, within the time-out, it accepts a TCP connection on port
// 3240 and replies to the device-list request with a valid reply header; a
// host that accepts and then stays silent has not answered.
//
// Plain non-blocking sockets driven by poll() from the calling thread, which
// therefore needs no event loop (and runs no other events meanwhile). One
// thread drives an object; the caller bounds how many probes are open.
//
//     UsbIpProber prober(150);
//     prober.start(address, tag);
//     for (const UsbIpProber::Result &result : prober.poll(10)) ...
class UsbIpProber
{
public:
    static constexpr quint16 Port = 3240;

    struct Result
    {
        quint32 tag = 0; // as given to start()
        bool answered = false;
    };

    // timeoutMs < 0 waits without limit.
    explicit UsbIpProber(int timeoutMs);
    ~UsbIpProber();
    UsbIpProber(const UsbIpProber &) = delete;
    UsbIpProber &operator=(const UsbIpProber &) = delete;

    // Opens a probe of `address` (IPv4, host byte order). A probe that ends
    // at once (refused, unreachable) is handed back by the next poll(). False
    // when the system has no socket or port to spare just now while other
    // probes are open: try again once some have ended.
    bool start(quint32 address, quint32 tag);

    // Probes started and not yet handed back by poll().
    int pending() const { return int(m_probes.size() + m_ended.size()); }

    // Waits at most waitMs (0: only looks) until some probes end, and hands
    // back those that ended, in no particular order. Without open probes it
    // simply sleeps for waitMs.
    QVector<Result> poll(int waitMs);

    // Closes every open probe; nothing of them is handed back.
    void abandon();

private:
    using Clock = std::chrono::steady_clock;
    enum class Stage { Connecting, Sending, Receiving };

    struct Probe
    {
        int fd = -1;
        quint32 tag = 0;
        Stage stage = Stage::Connecting;
        Clock::time_point deadline;
        int sent = 0;
        int received = 0;
        unsigned char reply[8] = {};
    };

    // Moves a probe a step on after poll() saw it ready.
    void advance(Probe &probe, short revents);
    void finish(Probe &probe, bool answered);

    int m_timeoutMs;
    std::vector<Probe> m_probes;
    QVector<Result> m_ended;
};
