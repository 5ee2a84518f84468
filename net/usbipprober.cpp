// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipprober.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The device-list request and the header of its reply (big-endian version,
// code and status): version 1.1.1, OP_REQ_DEVLIST / OP_REP_DEVLIST, status 0.
const unsigned char Request[8] = {0x01, 0x11, 0x80, 0x05, 0x00, 0x00, 0x00, 0x00};
const unsigned char ReplyHeader[8] = {0x01, 0x11, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00};

// Errors that say this machine ran short of sockets or local ports for a
// moment, not that the host does not answer.
bool isShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM
        || error == EADDRNOTAVAIL || error == EAGAIN;
}

bool isTransient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

} // namespace

UsbIpProber::UsbIpProber(int timeoutMs)
    : m_timeoutMs(timeoutMs)
{
}

UsbIpProber::~UsbIpProber()
{
    abandon();
}

bool UsbIpProber::start(quint32 address, quint32 tag)
{
    Probe probe;
    probe.tag = tag;
    if (m_timeoutMs >= 0)
        probe.deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);

    probe.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe.fd < 0) {
        // With nothing open, waiting would not help: the host goes unanswered.
        if (!m_probes.empty() && isShortage(errno))
            return false;
        m_ended.append({tag, false});
        return true;
    }

    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(Port);
    peer.sin_addr.s_addr = htonl(address);
    if (::connect(probe.fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0) {
        probe.stage = Stage::Sending;
    } else if (errno != EINPROGRESS && errno != EINTR) {
        const int error = errno;
        ::close(probe.fd);
        if (!m_probes.empty() && isShortage(error))
            return false;
        m_ended.append({tag, false}); // refused or unreachable at once
        return true;
    }
    m_probes.push_back(probe);
    return true;
}

QVector<UsbIpProber::Result> UsbIpProber::poll(int waitMs)
{
    if (!m_ended.isEmpty() || waitMs < 0)
        waitMs = 0;
    const Clock::time_point now = Clock::now();
    std::vector<pollfd> fds;
    fds.reserve(m_probes.size());
    for (const Probe &probe : m_probes) {
        if (m_timeoutMs >= 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(probe.deadline - now).count();
            waitMs = int(std::clamp<qint64>(left, 0, waitMs));
        }
        fds.push_back({probe.fd, short(probe.stage == Stage::Receiving ? POLLIN : POLLOUT), 0});
    }

    // Without open probes this only sleeps, which callers use as their pause.
    const int ready = ::poll(fds.data(), nfds_t(fds.size()), waitMs);
    if (ready > 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents != 0)
                advance(m_probes[i], fds[i].revents);
        }
    }

    // Answers that came in count before the time-outs that passed meanwhile.
    if (m_timeoutMs >= 0) {
        const Clock::time_point after = Clock::now();
        for (Probe &probe : m_probes) {
            if (probe.fd >= 0 && after >= probe.deadline)
                finish(probe, false);
        }
    }
    m_probes.erase(std::remove_if(m_probes.begin(), m_probes.end(),
                                  [](const Probe &probe) {
                                      return probe.fd < 0;
                                  }),
                   m_probes.end());
    return std::exchange(m_ended, QVector<Result>());
}

void UsbIpProber::advance(Probe &probe, short revents)
{
    if (probe.stage == Stage::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(probe.fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error != 0) {
            finish(probe, false);
            return;
        }
        if (!(revents & POLLOUT))
            return;
        probe.stage = Stage::Sending;
    }

    if (probe.stage == Stage::Sending) {
        const ssize_t sent =
            ::send(probe.fd, Request + probe.sent, sizeof Request - probe.sent, MSG_NOSIGNAL);
        if (sent < 0) {
            if (isTransient(errno))
                return;
            finish(probe, false);
            return;
        }
        probe.sent += int(sent);
        if (probe.sent == int(sizeof Request))
            probe.stage = Stage::Receiving;
        return;
    }

    const ssize_t received =
        ::recv(probe.fd, probe.reply + probe.received, sizeof probe.reply - probe.received, 0);
    if (received < 0 && isTransient(errno))
        return;
    if (received <= 0) { // closed or reset without a reply
        finish(probe, false);
        return;
    }
    probe.received += int(received);
    if (probe.received < int(sizeof probe.reply))
        return;
    finish(probe, std::memcmp(probe.reply, ReplyHeader, sizeof ReplyHeader) == 0);
}

void UsbIpProber::finish(Probe &probe, bool answered)
{
    ::close(probe.fd);
    probe.fd = -1;
    m_ended.append({probe.tag, answered});
}

void UsbIpProber::abandon()
{
    for (Probe &probe : m_probes) {
        if (probe.fd >= 0)
            ::close(probe.fd);
    }
    m_probes.clear();
    m_ended.clear();
}
