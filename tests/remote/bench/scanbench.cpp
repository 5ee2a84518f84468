// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Times a network scan of 127.0.1.0/24 against the real usbip client:
// three answering peers, two that accept and never answer, the rest refusing.
//
//     ovra-scan-bench [timeout-ms]     (default 150)

#include "fakeusbip.h"
#include "nethelpers.h"
#include "privatebus.h"
#include "usbipclient.h"
#include "usbippeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostInfo>
#include <QMap>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

struct Stats
{
    QList<qint64> times;
    QString text() const
    {
        if (times.isEmpty())
            return QStringLiteral("-");
        QList<qint64> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        qint64 sum = 0;
        for (qint64 t : sorted)
            sum += t;
        return QStringLiteral("n=%1 min=%2 median=%3 mean=%4 max=%5 ms")
            .arg(sorted.size())
            .arg(sorted.first())
            .arg(sorted.at(sorted.size() / 2))
            .arg(double(sum) / sorted.size(), 0, 'f', 1)
            .arg(sorted.last());
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int timeout = argc > 1 ? QByteArray(argv[1]).toInt() : 150;
    QTextStream out(stdout);

    const QString usbip = FakeUsbip::realUsbip();
    if (usbip.isEmpty()) {
        out << "usbip is not installed\n";
        return 1;
    }
    // The real tool first on PATH; a private bus for the (unused) proxy.
    qputenv("PATH", QFileInfo(usbip).absolutePath().toLocal8Bit() + ':' + qgetenv("PATH"));
    PrivateBus bus;
    bus.start();
    // No resolver traffic: the loopback peers have no names.
    setHostLookupFunction([](const QString &name) {
        QHostInfo info;
        info.setHostName(name);
        info.setError(QHostInfo::HostNotFound);
        return info;
    });

    const QMap<int, UsbIpPeer::Mode> roles{{10, UsbIpPeer::Answer},
                                           {20, UsbIpPeer::Answer},
                                           {30, UsbIpPeer::Answer},
                                           {40, UsbIpPeer::Hang},
                                           {50, UsbIpPeer::Hang}};
    QList<UsbIpPeer *> peers;
    for (auto it = roles.constBegin(); it != roles.constEnd(); ++it) {
        auto *peer = new UsbIpPeer;
        peer->setMode(it.value());
        peer->setDevices({UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567),
                          UsbIpPeer::storageDevice(QStringLiteral("1-2"), 0xdead, 0xbeef)});
        if (!peer->listen(QStringLiteral("127.0.1.%1").arg(it.key()))) {
            out << peer->errorString() << "\n";
            return 1;
        }
        peers.append(peer);
    }

    UsbIpClient client(QStringLiteral("localhost"));
    QElapsedTimer total;
    QElapsedTimer step;
    QMap<int, qint64> perAddress;
    QObject::connect(&client, &UsbIpClient::scanNetworkProgress, &client, [&](int value) {
        if (!perAddress.contains(value))
            perAddress.insert(value, step.restart());
    });

    total.start();
    step.start();
    client.scanNetwork(QStringLiteral("127.0.1.0"), 255, timeout); // the /24's offsets 1..254
    const qint64 totalMs = total.elapsed();

    Stats refusing, answering, hanging;
    for (auto it = perAddress.constBegin(); it != perAddress.constEnd(); ++it) {
        const UsbIpPeer::Mode *role = nullptr;
        const auto found = roles.constFind(it.key());
        if (found != roles.constEnd())
            role = &found.value();
        if (!role)
            refusing.times.append(it.value());
        else if (*role == UsbIpPeer::Answer)
            answering.times.append(it.value());
        else
            hanging.times.append(it.value());
    }

    out << "scan of 127.0.1.0/24 (254 addresses), per-host timeout " << timeout << " ms\n";
    out << "total: " << totalMs << " ms, devices found: " << client.devices().size() << "\n";
    out << "refusing:  " << refusing.text() << "\n";
    out << "answering: " << answering.text() << "\n";
    out << "hanging:   " << hanging.text() << "\n";
    for (auto it = roles.constBegin(); it != roles.constEnd(); ++it)
        out << "  127.0.1." << it.key() << ": " << perAddress.value(it.key()) << " ms\n";
    out.flush();
    qDeleteAll(peers);
    return 0;
}
