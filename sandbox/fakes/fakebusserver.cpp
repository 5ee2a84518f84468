// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakebusserver.h"

#include <QDBusError>
#include <QDBusVirtualObject>
#include <QMetaObject>

#include <atomic>

namespace {

std::atomic<int> serverCount{0};

} // namespace

FakeBusServer::FakeBusServer(const QString &serviceName, const QString &label,
                             QDBusConnection::BusType bus)
    : m_serviceName(serviceName)
    , m_connectionName(QStringLiteral("ovra-%1-%2").arg(label).arg(++serverCount))
    , m_bus(bus)
{
    m_thread.setObjectName(label);
    m_thread.start();
}

FakeBusServer::~FakeBusServer()
{
    stop();
    m_thread.quit();
    m_thread.wait();
}

QDBusConnection FakeBusServer::connection() const
{
    return QDBusConnection(m_connectionName);
}

bool FakeBusServer::start(QDBusVirtualObject *object, const QStringList &paths,
                          QDBusConnection::VirtualObjectRegisterOption option)
{
    if (m_object) {
        delete object;
        return true;
    }
    m_error.clear();
    QDBusConnection bus = QDBusConnection::connectToBus(m_bus, m_connectionName);
    if (!bus.isConnected()) {
        m_error = QStringLiteral("no %1 bus: %2")
                      .arg(m_bus == QDBusConnection::SystemBus ? QStringLiteral("system")
                                                               : QStringLiteral("session"),
                           bus.lastError().message());
        QDBusConnection::disconnectFromBus(m_connectionName);
        delete object;
        return false;
    }
    m_object = object;
    m_object->moveToThread(&m_thread);
    m_paths = paths;
    // Registered from the object's own thread, where its calls arrive.
    bool registered = true;
    QMetaObject::invokeMethod(
        m_object,
        [&]() {
            for (const QString &path : paths)
                registered = registered && bus.registerVirtualObject(path, m_object, option);
        },
        Qt::BlockingQueuedConnection);
    if (!registered) {
        m_error = QStringLiteral("cannot serve %1: %2")
                      .arg(paths.join(QLatin1Char(' ')), bus.lastError().message());
        stop();
        return false;
    }
    if (!bus.registerService(m_serviceName)) {
        m_error = QStringLiteral("cannot own %1: %2").arg(m_serviceName, bus.lastError().message());
        stop();
        return false;
    }
    return true;
}

void FakeBusServer::stop()
{
    if (!m_object)
        return;
    {
        QDBusConnection bus(m_connectionName);
        bus.unregisterService(m_serviceName);
        for (const QString &path : qAsConst(m_paths))
            bus.unregisterObject(path, QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(m_connectionName);
    QDBusVirtualObject *object = m_object;
    m_object = nullptr;
    QMetaObject::invokeMethod(
        object,
        [object]() {
            delete object;
        },
        Qt::BlockingQueuedConnection);
}
