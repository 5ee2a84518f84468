// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// A stand-in for avahi-daemon on the sandbox's private system bus (the
// test double FakeAvahi): the Manager announces this machine's shares
// through it, and the program's Remote tab sees the hosts it announces for
// the sandbox's simulated network, each given as NAME=ADDRESS.
//
//   ovra-sandbox-avahi [--host-name NAME] [--service NAME=ADDRESS]...

#include "fakeavahi.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    FakeAvahi avahi;
    QList<FakeAvahi::Service> services;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString value = arguments.value(i + 1);
        if (arguments.at(i) == QLatin1String("--host-name") && !value.isEmpty()) {
            avahi.setHostName(value);
        } else if (arguments.at(i) == QLatin1String("--service")
                   && value.count(QLatin1Char('=')) == 1) {
            FakeAvahi::Service service =
                FakeAvahi::Service::remote(value.section(QLatin1Char('='), 0, 0),
                                           value.section(QLatin1Char('='), 1));
            service.txt = {"version=1.1.1", "devices=2"};
            services << service;
        } else {
            std::fprintf(stderr, "usage: %s [--host-name NAME] [--service NAME=ADDRESS]...\n",
                         argv[0]);
            return 2;
        }
        ++i;
    }

    QString error;
    if (!avahi.start(&error)) {
        std::fprintf(stderr, "ovra-sandbox-avahi: %s\n", qPrintable(error));
        return 1;
    }
    for (const FakeAvahi::Service &service : qAsConst(services))
        avahi.addService(service);
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
