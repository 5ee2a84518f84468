// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakepolkit.h"
#include "fakeusbip.h"
#include "privatebus.h"
#include "testenvironment.h"
#include "tooloutput.h"

#include <cstdio>

// Where the Manager's benchmarks run the service: a private system bus, a
// temporary HOME and configuration folder, the fake usbip tool with no port
// in use, and an allowing fake polkit authority.
struct BenchWorld
{
    PrivateBus bus;
    TestEnvironment environment;
    FakeUsbip usbip;
    FakePolkit polkit;

    // Starts the bus and the authority; false, with the reason printed, when
    // one of them does not start.
    bool start()
    {
        if (!bus.start())
            return fail(bus.errorString());
        usbip.setResponse({QStringLiteral("port")},
                          ToolOutput::read(QStringLiteral("port-none.txt")));
        QString error;
        return polkit.start(&error) || fail(error);
    }

private:
    static bool fail(const QString &error)
    {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
};
