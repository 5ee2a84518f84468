// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakemanager.h"
#include "fakeusbip.h"
#include "privatebus.h"
#include "testenvironment.h"

#include <memory>

// The world the window side's suites run in: a temporary HOME and
// configuration folder, the fake usbip first on PATH, a private system bus
// and the fake Manager service on it. A suite derives from it (after
// QObject), calls startWorld() in initTestCase, before its first use of the
// system bus, and resetWorld() in init.
class TestWorld
{
protected:
    bool startWorld();
    // Forgets the tool's responses and calls and the Manager's replies and
    // calls, and brings back a Manager that a test stopped.
    bool resetWorld();
    QString worldError() const { return m_worldError; }

    std::unique_ptr<TestEnvironment> m_env;
    std::unique_ptr<FakeUsbip> m_usbip;
    PrivateBus m_bus;
    std::unique_ptr<FakeManager> m_manager;

private:
    QString m_worldError;
};
