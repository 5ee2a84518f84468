// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The USB/IP daemons of the sandbox's remote hosts. For every host of the
// world (OVRA_SIM_STATE) that is an IPv4 address, not this machine and not
// marked "real" (a test peer serves those), it listens on the address's port
// 3240 and answers the device-list request with what the world says the host
// exports at that moment: after the host's "delayMs", or never when it
// "hang"s. The listings themselves come from the simulated tool; this is what
// the network scan's probe finds. It serves the hosts of the world as it was
// at start and prints one line, "listening on <hosts>", when it listens on
// every one; when it cannot listen on one, it says why and exits with status 1.
// With --best-effort it serves the hosts it can and names them in that line
// (parallel test suites may hold the others).
//
//   ovra-sandbox-usbipd [--best-effort]

#include "simworld.h"
#include "usbippeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

SimUsbIp::World readWorld()
{
    SimUsbIp::World world;
    QFile file(QString::fromLocal8Bit(qgetenv("OVRA_SIM_STATE")));
    QString error;
    if (!file.open(QIODevice::ReadOnly) || !world.fromJson(file.readAll(), &error))
        std::fprintf(stderr, "ovra-sandbox-usbipd: cannot read the world %s %s\n",
                     qPrintable(file.fileName()), qPrintable(error));
    return world;
}

// The class, subclass and protocol of a class text ending in "(cc/ss/pp)".
void readClass(const QString &text, quint8 *theClass, quint8 *subClass, quint8 *protocol)
{
    static const QRegularExpression pattern(
        QStringLiteral("[(]([0-9a-fA-F]{2})/([0-9a-fA-F]{2})/([0-9a-fA-F]{2})[)]$"));
    const QRegularExpressionMatch match = pattern.match(text);
    *theClass = quint8(match.captured(1).toUInt(nullptr, 16));
    *subClass = quint8(match.captured(2).toUInt(nullptr, 16));
    *protocol = quint8(match.captured(3).toUInt(nullptr, 16));
}

UsbIpPeer::Device peerDevice(const SimUsbIp::Device &device)
{
    UsbIpPeer::Device peer;
    peer.busid = device.busid;
    peer.path = device.path;
    peer.busnum = quint32(device.busnum);
    peer.devnum = quint32(device.devnum);
    peer.speed = quint32(device.speed);
    peer.idVendor = quint16(device.vendorId.toUInt(nullptr, 16));
    peer.idProduct = quint16(device.productId.toUInt(nullptr, 16));
    readClass(device.deviceClass, &peer.deviceClass, &peer.deviceSubClass, &peer.deviceProtocol);
    peer.interfaces.clear();
    for (const QString &text : device.interfaces) {
        UsbIpPeer::Interface interface;
        readClass(text, &interface.interfaceClass, &interface.interfaceSubClass,
                  &interface.interfaceProtocol);
        peer.interfaces << interface;
    }
    return peer;
}

// What the world says of `host` now: its devices, its delay, whether it hangs.
UsbIpPeer::Reply answer(const QString &host)
{
    const SimUsbIp::World world = readWorld();
    const auto it = world.hosts.constFind(host);
    UsbIpPeer::Reply reply;
    if (it == world.hosts.constEnd()) {
        reply.mode = UsbIpPeer::Drop;
        return reply;
    }
    reply.mode = it->hang ? UsbIpPeer::Hang : UsbIpPeer::Answer;
    reply.delayMs = it->delayMs;
    for (const SimUsbIp::Device &device : it->devices)
        reply.devices << peerDevice(device);
    return reply;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    const bool bestEffort = arguments == QStringList{QStringLiteral("--best-effort")};
    if (!arguments.isEmpty() && !bestEffort) {
        std::fprintf(stderr, "usage: %s [--best-effort]\n", argv[0]);
        return 2;
    }
    const SimUsbIp::World world = readWorld();
    std::vector<std::unique_ptr<UsbIpPeer>> peers;
    QStringList listening;
    for (auto it = world.hosts.constBegin(); it != world.hosts.constEnd(); ++it) {
        const QString host = it.key();
        if (it->real || SimUsbIp::World::isLocalHost(host)
            || QHostAddress(host).protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        auto peer = std::make_unique<UsbIpPeer>();
        peer->setSource([host] {
            return answer(host);
        });
        if (!peer->listen(host)) {
            std::fprintf(stderr, "ovra-sandbox-usbipd: %s\n", qPrintable(peer->errorString()));
            if (!bestEffort)
                return 1;
            continue;
        }
        peers.push_back(std::move(peer));
        listening << host;
    }
    std::printf("listening on %s\n", qPrintable(listening.join(QLatin1Char(' '))));
    std::fflush(stdout);
    return app.exec();
}
