// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "shareannouncer.h"

#include "avahibus.h"
#include "ovrausbipmanager.h"

#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcAnnounce, "ovra.managerd.announce", QtInfoMsg)

namespace {

// Avahi answers in milliseconds; a hung daemon holds the chain this long.
constexpr int CallTimeoutMs = 10000;
// New names tried for one announcement before giving up ("host #2", ...).
constexpr int MaxRenames = 12;

} // namespace

ShareAnnouncer::ShareAnnouncer(const QDBusConnection &bus, const Sysfs &sysfs, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
    , m_sysfs(sysfs)
    , m_watcher(new QDBusServiceWatcher(QLatin1String(AvahiBus::Service), bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this))
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    m_recount.setSingleShot(true);
    m_recount.setInterval(0);
    connect(&m_recount, &QTimer::timeout, this, &ShareAnnouncer::countNow);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &oldOwner, const QString &newOwner) {
                if (!oldOwner.isEmpty()) {
                    qCInfo(lcAnnounce) << "Avahi left the system bus";
                    // Avahi dropped our entry group with its connection.
                    m_avahiUp = false;
                    m_name.clear();
                    dropGroup(false);
                }
                if (!newOwner.isEmpty())
                    askServerState();
            });
    m_bus.connect(QLatin1String(AvahiBus::Service), QLatin1String(AvahiBus::ServerPath),
                  QLatin1String(AvahiBus::ServerInterface), QStringLiteral("StateChanged"), this,
                  SLOT(onServerStateChanged(int, QString)));
    // The group's path is known only once it exists: any path, checked there.
    m_bus.connect(QLatin1String(AvahiBus::Service), QString(),
                  QLatin1String(AvahiBus::GroupInterface), QStringLiteral("StateChanged"), this,
                  SLOT(onGroupStateChanged(int, QString, QDBusMessage)));
    m_shared = m_sysfs.sharedDeviceCount();
    askServerState();
}

void ShareAnnouncer::recount()
{
    m_recount.start();
}

void ShareAnnouncer::countNow()
{
    const int shared = m_sysfs.sharedDeviceCount();
    if (shared == m_shared)
        return;
    m_shared = shared;
    m_failed = false;
    m_renames = 0;
    sync();
}

void ShareAnnouncer::askServerState()
{
    call(QLatin1String(AvahiBus::ServerPath), AvahiBus::ServerInterface, QStringLiteral("GetState"),
         {}, [this](const QDBusMessage &reply) {
             if (reply.type() != QDBusMessage::ErrorMessage) {
                 setAvahiUp(reply.arguments().value(0).toInt() == AvahiBus::ServerRunning);
                 return;
             }
             if (!m_toldMissing)
                 qCInfo(lcAnnounce).noquote()
                     << "Avahi is not running (" + reply.errorName()
                            + "): shared devices are announced once it starts";
             m_toldMissing = true;
         });
}

void ShareAnnouncer::onServerStateChanged(int state, const QString &)
{
    if (state == AvahiBus::ServerRunning) {
        setAvahiUp(true);
    } else if (m_avahiUp) {
        // Avahi is settling its host name: an announcement waits until it
        // runs again, under the name it then has.
        m_avahiUp = false;
        m_name.clear();
        dropGroup(true);
    }
}

void ShareAnnouncer::setAvahiUp(bool up)
{
    if (up == m_avahiUp)
        return;
    m_avahiUp = up;
    if (!up)
        return;
    m_failed = false;
    sync();
}

void ShareAnnouncer::onGroupStateChanged(int state, const QString &error,
                                         const QDBusMessage &message)
{
    if (m_group.path().isEmpty() || message.path() != m_group.path())
        return;
    if (state == AvahiBus::GroupEstablished) {
        m_renames = 0;
        qCInfo(lcAnnounce).noquote()
            << QStringLiteral("announced as \"%1\" (%2 on port %3)")
                   .arg(m_name, QLatin1String(OvraUsbIp::AnnouncedServiceType))
                   .arg(OvraUsbIp::UsbIpPort);
    } else if (state == AvahiBus::GroupCollision) {
        // Another host on the network announces this name: Avahi expects a
        // new name and a new try.
        qCInfo(lcAnnounce).noquote() << "another host announces the name" << m_name;
        dropGroup(true);
        m_renameFirst = true;
        sync();
    } else if (state == AvahiBus::GroupFailure) {
        qCWarning(lcAnnounce).noquote() << "Avahi failed to announce" << m_name << ":" << error;
        dropGroup(true);
        m_failed = true;
    }
}

void ShareAnnouncer::sync()
{
    if (m_busy) {
        m_again = true;
        return;
    }
    if (!m_avahiUp || m_failed)
        return;
    if (m_shared > 0 && m_group.path().isEmpty()) {
        announce(m_generation);
    } else if (m_shared > 0 && m_announced != m_shared) {
        m_busy = true;
        const int devices = m_shared;
        const quint64 generation = m_generation;
        call(m_group.path(), AvahiBus::GroupInterface, QStringLiteral("UpdateServiceTxt"),
             {AvahiBus::AnyInterface, AvahiBus::AnyProtocol, 0u, m_name,
              QLatin1String(OvraUsbIp::AnnouncedServiceType), QString(), txt(devices)},
             [this, devices, generation](const QDBusMessage &reply) {
                 if (isStale(generation))
                     return finish();
                 if (reply.type() == QDBusMessage::ErrorMessage)
                     return fail(QStringLiteral("cannot update the announcement"), reply);
                 m_announced = devices;
                 finish();
             });
    } else if (m_shared == 0 && !m_group.path().isEmpty()) {
        qCInfo(lcAnnounce) << "withdrawing the announcement: nothing is shared";
        dropGroup(true);
    }
}

void ShareAnnouncer::finish()
{
    m_busy = false;
    if (m_again) {
        m_again = false;
        sync();
    }
}

void ShareAnnouncer::fail(const QString &what, const QDBusMessage &reply)
{
    qCWarning(lcAnnounce).noquote()
        << what + QStringLiteral(":") << reply.errorName() << reply.errorMessage();
    dropGroup(true);
    m_failed = true;
    finish();
}

void ShareAnnouncer::dropGroup(bool freeIt)
{
    ++m_generation;
    if (freeIt && !m_group.path().isEmpty())
        call(m_group.path(), AvahiBus::GroupInterface, QStringLiteral("Free"), {},
             [](const QDBusMessage &) {
             });
    m_group = QDBusObjectPath();
    m_announced = 0;
}

void ShareAnnouncer::announce(quint64 generation)
{
    m_busy = true;
    if (m_name.isEmpty()) {
        call(QLatin1String(AvahiBus::ServerPath), AvahiBus::ServerInterface,
             QStringLiteral("GetHostName"), {}, [this, generation](const QDBusMessage &reply) {
                 if (isStale(generation))
                     return finish();
                 m_name = reply.arguments().value(0).toString();
                 if (reply.type() == QDBusMessage::ErrorMessage || m_name.isEmpty())
                     return fail(QStringLiteral("cannot learn Avahi's host name"), reply);
                 announce(generation);
             });
        return;
    }
    if (m_renameFirst) {
        m_renameFirst = false;
        rename(generation, [this, generation]() {
            announce(generation);
        });
        return;
    }
    call(QLatin1String(AvahiBus::ServerPath), AvahiBus::ServerInterface,
         QStringLiteral("EntryGroupNew"), {}, [this, generation](const QDBusMessage &reply) {
             const QDBusObjectPath group = reply.arguments().value(0).value<QDBusObjectPath>();
             if (isStale(generation)) {
                 if (!group.path().isEmpty())
                     call(group.path(), AvahiBus::GroupInterface, QStringLiteral("Free"), {},
                          [](const QDBusMessage &) {
                          });
                 return finish();
             }
             if (reply.type() == QDBusMessage::ErrorMessage || group.path().isEmpty())
                 return fail(QStringLiteral("cannot make an entry group"), reply);
             m_group = group;
             addService(generation);
         });
}

void ShareAnnouncer::addService(quint64 generation)
{
    const int devices = m_shared;
    call(m_group.path(), AvahiBus::GroupInterface, QStringLiteral("AddService"),
         {AvahiBus::AnyInterface, AvahiBus::AnyProtocol, 0u, m_name,
          QLatin1String(OvraUsbIp::AnnouncedServiceType), QString(), QString(),
          QVariant::fromValue(OvraUsbIp::UsbIpPort), txt(devices)},
         [this, generation, devices](const QDBusMessage &reply) {
             if (isStale(generation))
                 return finish();
             if (reply.errorName() == QLatin1String(AvahiBus::CollisionError)) {
                 // Another service of this machine has the name.
                 rename(generation, [this, generation]() {
                     addService(generation);
                 });
                 return;
             }
             if (reply.type() == QDBusMessage::ErrorMessage)
                 return fail(QStringLiteral("cannot announce the shared devices"), reply);
             call(m_group.path(), AvahiBus::GroupInterface, QStringLiteral("Commit"), {},
                  [this, generation, devices](const QDBusMessage &reply) {
                      if (isStale(generation))
                          return finish();
                      if (reply.type() == QDBusMessage::ErrorMessage)
                          return fail(QStringLiteral("cannot announce the shared devices"), reply);
                      m_announced = devices;
                      finish();
                  });
         });
}

void ShareAnnouncer::rename(quint64 generation, const std::function<void()> &then)
{
    if (++m_renames > MaxRenames) {
        qCWarning(lcAnnounce).noquote()
            << "gave up announcing: every name up to" << m_name << "is taken";
        dropGroup(true);
        m_failed = true;
        return finish();
    }
    call(QLatin1String(AvahiBus::ServerPath), AvahiBus::ServerInterface,
         QStringLiteral("GetAlternativeServiceName"), {m_name},
         [this, generation, then](const QDBusMessage &reply) {
             if (isStale(generation))
                 return finish();
             const QString alternative = reply.arguments().value(0).toString();
             if (reply.type() == QDBusMessage::ErrorMessage || alternative.isEmpty())
                 return fail(QStringLiteral("cannot find another name"), reply);
             qCInfo(lcAnnounce).noquote()
                 << "the name" << m_name << "is taken, trying" << alternative;
             m_name = alternative;
             then();
         });
}

void ShareAnnouncer::call(const QString &path, const char *interface, const QString &method,
                          const QVariantList &arguments, const Next &next)
{
    const QDBusMessage message =
        AvahiBus::methodCall(QLatin1String(interface), path, method, arguments);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, next]() {
        watcher->deleteLater();
        next(watcher->reply());
    });
}

QVariant ShareAnnouncer::txt(int devices)
{
    const QList<QByteArray> records{QByteArray(OvraUsbIp::AnnouncedVersionKey) + '='
                                        + OvraUsbIp::AnnouncedProtocolVersion,
                                    QByteArray(OvraUsbIp::AnnouncedDevicesKey) + '='
                                        + QByteArray::number(devices)};
    return QVariant::fromValue(records);
}
