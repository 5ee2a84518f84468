// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "testworld.h"

bool TestWorld::startWorld()
{
    m_env = std::make_unique<TestEnvironment>();
    m_usbip = std::make_unique<FakeUsbip>();
    if (!m_env->isValid() || !m_usbip->isValid()) {
        m_worldError = QStringLiteral("no temporary folder");
        return false;
    }
    if (!m_bus.start()) {
        m_worldError = QStringLiteral("no private bus: ") + m_bus.errorString();
        return false;
    }
    m_manager = std::make_unique<FakeManager>();
    if (!m_manager->start()) {
        m_worldError = m_manager->errorString();
        return false;
    }
    return true;
}

bool TestWorld::resetWorld()
{
    m_usbip->clearResponses();
    m_usbip->clearCalls();
    m_manager->resetReplies();
    m_manager->clearCalls();
    if (m_manager->isRunning() || m_manager->start())
        return true;
    m_worldError = m_manager->errorString();
    return false;
}
