// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "hostbrowser.h"

#include "avahibus.h"
#include "outsidetext.h"
#include "ovrausbipmanager.h"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QRegularExpression>

#include <algorithm>

Q_LOGGING_CATEGORY(lcHosts, "ovra.remote.hosts", QtInfoMsg)

namespace {

constexpr int CallTimeoutMs = 10000;
// Avahi gives up a resolution on its own after a few seconds.
constexpr int ResolveTimeoutMs = 20000;
// DNS-SD names have at most 63 bytes.
constexpr int MaxNameChars = 64;

// Lower is better: IPv4, then IPv6, then a link-local IPv6 address, then none.
int rankOf(const QString &address)
{
    if (address.isEmpty())
        return 3;
    const QHostAddress host(address);
    if (host.protocol() == QAbstractSocket::IPv4Protocol)
        return 0;
    return host.isLinkLocal() ? 2 : 1;
}

} // namespace

QString AnnouncedHost::host() const
{
    if (!address.isEmpty())
        return address;
    static const QRegularExpression label(
        QStringLiteral("\\A[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?\\z"));
    if (label.match(name).hasMatch())
        return name + QLatin1Char('.') + domain;
    return name;
}

QString AnnouncedHost::label() const
{
    return address.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, address);
}

HostBrowser::HostBrowser(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
    , m_watcher(new QDBusServiceWatcher(QLatin1String(AvahiBus::Service), bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this))
{
    qRegisterMetaType<AnnouncedHost>();
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &HostBrowser::retryUnresolved);
    // Avahi starting, stopping or restarting: what the old one said is void.
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                forget();
                if (!newOwner.isEmpty())
                    startBrowsing();
            });
    // The browser's path is known only with the answer to its creation: any
    // path, checked there.
    const auto listen = [this](const char *signal, const char *slot) {
        m_bus.connect(QLatin1String(AvahiBus::Service), QString(),
                      QLatin1String(AvahiBus::BrowserInterface), QLatin1String(signal), this, slot);
    };
    listen("ItemNew", SLOT(onItemNew(int, int, QString, QString, QString, uint, QDBusMessage)));
    listen("ItemRemove",
           SLOT(onItemRemove(int, int, QString, QString, QString, uint, QDBusMessage)));
    listen("Failure", SLOT(onFailure(QString, QDBusMessage)));
    startBrowsing();
}

void HostBrowser::startBrowsing()
{
    if (m_creating || !m_browser.isEmpty())
        return;
    m_creating = true;
    const quint64 generation = m_generation;
    // Prepared, then started once its path is known: no item comes before.
    const QDBusMessage call =
        AvahiBus::methodCall(QLatin1String(AvahiBus::Server2Interface),
                             QLatin1String(AvahiBus::ServerPath),
                             QStringLiteral("ServiceBrowserPrepare"),
                             {AvahiBus::AnyInterface, AvahiBus::AnyProtocol,
                              QLatin1String(OvraUsbIp::AnnouncedServiceType), QString(), 0u});
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation]() {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
        const bool made = reply.type() == QDBusMessage::ReplyMessage && !path.isEmpty();
        if (generation != m_generation) {
            // An Avahi that has gone since, or a browser no longer wanted.
            if (made)
                m_bus.asyncCall(AvahiBus::methodCall(QLatin1String(AvahiBus::BrowserInterface),
                                                     path, QStringLiteral("Free"), {}));
            return;
        }
        m_creating = false;
        if (!made) {
            qCDebug(lcHosts).noquote()
                << "no DNS-SD browsing: Avahi does not answer:" << reply.errorName()
                << reply.errorMessage();
            return;
        }
        m_browser = path;
        auto *start = new QDBusPendingCallWatcher(
            m_bus.asyncCall(AvahiBus::methodCall(QLatin1String(AvahiBus::BrowserInterface), path,
                                                 QStringLiteral("Start"), {}),
                            CallTimeoutMs),
            this);
        connect(start, &QDBusPendingCallWatcher::finished, this, [this, start, generation]() {
            start->deleteLater();
            if (generation == m_generation && start->isError()) {
                qCWarning(lcHosts).noquote()
                    << "Avahi's browser does not start:" << start->error().name()
                    << start->error().message();
                forget();
            }
        });
    });
}

void HostBrowser::forget()
{
    ++m_generation;
    m_browser.clear();
    m_creating = false;
    m_items.clear();
    m_resolving = 0;
    m_retry.stop();
    publish();
}

void HostBrowser::onItemNew(int, int, const QString &, const QString &, const QString &, uint,
                            const QDBusMessage &message)
{
    takeItem(message, true);
}

void HostBrowser::onItemRemove(int, int, const QString &, const QString &, const QString &, uint,
                               const QDBusMessage &message)
{
    takeItem(message, false);
}

void HostBrowser::onFailure(const QString &error, const QDBusMessage &message)
{
    if (m_browser.isEmpty() || message.path() != m_browser)
        return;
    qCWarning(lcHosts).noquote() << "Avahi's browser of shared devices failed:"
                                 << OutsideText::cleaned(error);
    // Until Avahi restarts.
    forget();
}

void HostBrowser::takeItem(const QDBusMessage &message, bool appears)
{
    if (m_browser.isEmpty() || message.path() != m_browser)
        return;
    const QVariantList arguments = message.arguments();
    const int interface = arguments.value(0).toInt();
    const int protocol = arguments.value(1).toInt();
    const QString name = arguments.value(2).toString();
    const QString domain = arguments.value(4).toString();
    if (arguments.value(3).toString() != QLatin1String(OvraUsbIp::AnnouncedServiceType))
        return;
    const int index = indexOf(interface, protocol, name, domain);
    if (appears && index < 0 && m_items.size() < MaxItems) {
        Item item;
        item.interface = interface;
        item.protocol = protocol;
        item.name = name;
        item.domain = domain;
        m_items << item;
        resolveNext();
    } else if (!appears && index >= 0) {
        m_items.removeAt(index);
        publish();
    }
}

int HostBrowser::indexOf(int interface, int protocol, const QString &name,
                         const QString &domain) const
{
    for (int i = 0; i < m_items.size(); ++i) {
        const Item &item = m_items.at(i);
        if (item.interface == interface && item.protocol == protocol && item.name == name
            && item.domain == domain)
            return i;
    }
    return -1;
}

void HostBrowser::resolveNext()
{
    for (Item &item : m_items) {
        if (m_resolving >= MaxResolving)
            return;
        if (item.state != Item::Waiting)
            continue;
        item.state = Item::Resolving;
        ++item.tries;
        ++m_resolving;
        const quint64 generation = m_generation;
        const int interface = item.interface;
        const int protocol = item.protocol;
        const QString name = item.name;
        const QString domain = item.domain;
        // The address of the protocol it was seen over.
        const QDBusMessage call =
            AvahiBus::methodCall(QLatin1String(AvahiBus::ServerInterface),
                                 QLatin1String(AvahiBus::ServerPath),
                                 QStringLiteral("ResolveService"),
                                 {interface, protocol, name,
                                  QLatin1String(OvraUsbIp::AnnouncedServiceType), domain, protocol,
                                  0u});
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, ResolveTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, watcher, generation, interface, protocol, name, domain]() {
                    watcher->deleteLater();
                    if (generation != m_generation)
                        return;
                    --m_resolving;
                    const QDBusMessage reply = watcher->reply();
                    const int index = indexOf(interface, protocol, name, domain);
                    if (index >= 0) {
                        Item &item = m_items[index];
                        item.address =
                            reply.type() == QDBusMessage::ReplyMessage
                                ? addressOf(reply.arguments().value(7).toString(), interface)
                                : QString();
                        item.state = item.address.isEmpty() ? Item::Unresolved : Item::Resolved;
                        item.answered = true;
                        if (item.state == Item::Unresolved && item.tries < MaxResolveTries
                            && !m_retry.isActive())
                            m_retry.start();
                    }
                    publish();
                    resolveNext();
                });
    }
}

void HostBrowser::retryUnresolved()
{
    for (Item &item : m_items) {
        if (item.state == Item::Unresolved && item.tries < MaxResolveTries)
            item.state = Item::Waiting;
    }
    resolveNext();
}

QString HostBrowser::addressOf(const QString &text, int interface)
{
    QHostAddress address;
    if (!address.setAddress(text))
        return QString();
    // A link-local address needs its link to be reached.
    if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal()
        && address.scopeId().isEmpty())
        address.setScopeId(QNetworkInterface::interfaceNameFromIndex(interface));
    return address.toString();
}

void HostBrowser::publish()
{
    struct Found
    {
        QString name;
        QString domain;
        QString address;
    };
    QList<Found> found;
    for (const Item &item : qAsConst(m_items)) {
        // A host shows once its first resolution has ended, with or without
        // an address.
        if (!item.answered)
            continue;
        auto same = std::find_if(found.begin(), found.end(), [&item](const Found &host) {
            return host.name == item.name && host.domain == item.domain;
        });
        if (same == found.end())
            found << Found{item.name, item.domain, item.address};
        else if (rankOf(item.address) < rankOf(same->address))
            same->address = item.address;
    }
    QList<AnnouncedHost> hosts;
    for (const Found &host : qAsConst(found)) {
        const QString domain = OutsideText::cleaned(host.domain, MaxNameChars);
        hosts << AnnouncedHost{OutsideText::cleaned(host.name, MaxNameChars), host.address,
                               domain.isEmpty() ? QStringLiteral("local") : domain};
    }
    std::sort(hosts.begin(), hosts.end(), [](const AnnouncedHost &a, const AnnouncedHost &b) {
        const int byName = a.name.localeAwareCompare(b.name);
        return byName != 0 ? byName < 0 : a.address < b.address;
    });
    if (hosts == m_hosts)
        return;
    m_hosts = hosts;
    Q_EMIT hostsChanged();
}
