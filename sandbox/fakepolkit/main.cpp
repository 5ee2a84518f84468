// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// A stand-in for the polkit authority on the sandbox's private system bus.
// It owns org.freedesktop.PolicyKit1 and answers every CheckAuthorization
// with "allowed", or with "denied" after --deny. The answer can be switched
// while it runs through its control interface:
//
//   org.ovra.sandbox.FakePolkit.SetAuthorized(b)   on /org/ovra/sandbox/FakePolkit
//   org.ovra.sandbox.FakePolkit.Checks() -> as     the action ids asked so far
//
//   ovra-sandbox-polkit [--deny] [--delay MS]

#include "fakepolkit.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    FakePolkit authority;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        bool ok = true;
        if (arguments.at(i) == QLatin1String("--deny")) {
            authority.setAllowed(false);
        } else if (arguments.at(i) == QLatin1String("--delay") && i + 1 < arguments.size()) {
            const int delayMs = arguments.at(++i).toInt(&ok);
            ok = ok && delayMs >= 0;
            authority.setDelay(delayMs);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "usage: %s [--deny] [--delay MS]\n", argv[0]);
            return 2;
        }
    }

    QString error;
    if (!authority.start(&error)) {
        std::fprintf(stderr, "ovra-sandbox-polkit: %s\n", qPrintable(error));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
