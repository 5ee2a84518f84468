// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Prints what the Remote tab offers of the hosts that announce shared
// devices, each time it changes, with the time in milliseconds since the
// epoch: "1767225600123 nas (192.0.2.1); studio (192.0.2.7)", or "... -"
// for none. The DNS-SD test in network namespaces (managerd-avahi) times
// announcements with it.

#include "hostbrowser.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    HostBrowser browser;
    QObject::connect(&browser, &HostBrowser::hostsChanged, [&browser]() {
        QStringList offered;
        const QList<AnnouncedHost> hosts = browser.hosts();
        for (const AnnouncedHost &host : hosts)
            offered << host.label();
        std::printf("%lld %s\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()),
                    offered.isEmpty() ? "-" : qPrintable(offered.join(QStringLiteral("; "))));
        std::fflush(stdout);
    });
    return app.exec();
}
