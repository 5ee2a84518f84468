// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakeavahi.h"

#include "avahibus.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTimer>

namespace {

// avahi-daemon 0.8 answers GetAPIVersion so.
constexpr uint ApiVersion = 516;

QString normalDomain(const QString &domain)
{
    QString result = domain.toLower();
    if (result.endsWith(QLatin1Char('.')))
        result.chop(1);
    return result.isEmpty() ? QStringLiteral("local") : result;
}

bool sameService(const FakeAvahi::Service &a, const QString &name, const QString &type,
                 const QString &domain)
{
    return a.name == name && a.type == type && normalDomain(a.domain) == normalDomain(domain);
}

QString txtText(const QList<QByteArray> &txt)
{
    QStringList records;
    for (const QByteArray &record : txt)
        records << QString::fromUtf8(record);
    return records.join(QLatin1Char(' '));
}

bool isServiceType(const QString &type)
{
    static const QRegularExpression pattern(
        QStringLiteral("\\A_[A-Za-z0-9][A-Za-z0-9-]{0,14}\\._(tcp|udp)\\z"));
    return pattern.match(type).hasMatch();
}

QDBusMessage avahiError(const QDBusMessage &message, const char *name, const char *text)
{
    return message.createErrorReply(QLatin1String(AvahiBus::ErrorPrefix) + QLatin1String(name),
                                    QLatin1String(text));
}

} // namespace

// Lives in the double's thread and answers every object of the daemon.
class FakeAvahiObject : public QDBusVirtualObject
{
public:
    explicit FakeAvahiObject(FakeAvahi *owner)
        : m_owner(owner)
    {
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        watchClients(connection);
        const QString interface = message.interface();
        const QString path = message.path();
        if (path == QLatin1String("/")
            && (interface == QLatin1String(AvahiBus::ServerInterface)
                || interface == QLatin1String(AvahiBus::Server2Interface)))
            return server(message, connection);
        if (interface == QLatin1String(AvahiBus::GroupInterface))
            return group(message, connection);
        if (interface == QLatin1String(AvahiBus::BrowserInterface))
            return browser(message, connection);
        return false;
    }

private:
    // Avahi frees the objects of a client that leaves the bus.
    void watchClients(const QDBusConnection &connection)
    {
        if (m_watcher)
            return;
        m_watcher = new QDBusServiceWatcher(this);
        m_watcher->setConnection(connection);
        m_watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
                         [this](const QString &name) {
                             m_watcher->removeWatchedService(name);
                             m_owner->dropClient(name);
                         });
    }

    // The path of a new object of the caller ("/Client1/EntryGroup2").
    QString newPath(const QDBusMessage &message, const char *kind)
    {
        const QString client = message.service();
        if (!m_owner->m_clients.contains(client)) {
            m_owner->m_clients.insert(client, m_owner->m_nextClient++);
            m_watcher->addWatchedService(client);
        }
        return QStringLiteral("/Client%1/%2%3")
            .arg(m_owner->m_clients.value(client))
            .arg(QLatin1String(kind))
            .arg(m_owner->m_nextObject++);
    }

    static bool send(const QDBusConnection &connection, const QDBusMessage &message)
    {
        QDBusConnection(connection).send(message);
        return true;
    }

    bool server(const QDBusMessage &message, const QDBusConnection &connection)
    {
        const QString method = message.member();
        const QVariantList args = message.arguments();
        const QString signature = message.signature();
        QMutexLocker lock(&m_owner->m_mutex);
        QStringList &calls = m_owner->m_calls;
        const QString host = m_owner->m_hostName;

        static const QStringList plain{QStringLiteral("GetVersionString"),
                                       QStringLiteral("GetAPIVersion"),
                                       QStringLiteral("GetHostName"),
                                       QStringLiteral("GetHostNameFqdn"),
                                       QStringLiteral("GetDomainName"),
                                       QStringLiteral("GetState"),
                                       QStringLiteral("EntryGroupNew")};
        if (signature.isEmpty() && plain.contains(method)) {
            calls << method;
            if (method == QLatin1String("GetVersionString"))
                return send(connection, message.createReply(QStringLiteral("avahi 0.8")));
            if (method == QLatin1String("GetAPIVersion"))
                return send(connection, message.createReply(ApiVersion));
            if (method == QLatin1String("GetHostName"))
                return send(connection, message.createReply(host));
            if (method == QLatin1String("GetHostNameFqdn"))
                return send(connection, message.createReply(host + QStringLiteral(".local")));
            if (method == QLatin1String("GetDomainName"))
                return send(connection, message.createReply(QStringLiteral("local")));
            if (method == QLatin1String("GetState"))
                return send(connection, message.createReply(m_owner->m_serverState));
            if (method == QLatin1String("EntryGroupNew")) {
                const QString path = newPath(message, "EntryGroup");
                FakeAvahi::Group group;
                group.owner = message.service();
                m_owner->m_groups.insert(path, group);
                return send(connection,
                            message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
            }
        }
        if (method == QLatin1String("GetAlternativeServiceName")
            && signature == QLatin1String("s")) {
            calls << method + QLatin1Char(' ') + args.at(0).toString();
            return send(connection,
                        message.createReply(FakeAvahi::alternativeName(args.at(0).toString())));
        }
        const bool browse = method == QLatin1String("ServiceBrowserNew")
                         || method == QLatin1String("ServiceBrowserPrepare");
        if (browse && signature == QLatin1String("iissu")) {
            const QString type = args.at(2).toString();
            calls << method + QLatin1Char(' ') + type;
            if (!isServiceType(type))
                return send(connection,
                            avahiError(message, "InvalidServiceTypeError", "Invalid service type"));
            const QString path = newPath(message, "ServiceBrowser");
            FakeAvahi::Browser browser;
            browser.owner = message.service();
            browser.interface = args.at(0).toInt();
            browser.protocol = args.at(1).toInt();
            browser.type = type;
            browser.domain = args.at(3).toString();
            browser.started = method == QLatin1String("ServiceBrowserNew");
            m_owner->m_browsers.insert(path, browser);
            send(connection, message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
            if (browser.started)
                sendKnown(path);
            return true;
        }
        if (method == QLatin1String("ResolveService") && signature == QLatin1String("iisssiu"))
            return resolve(message, connection);
        static const QStringList withArguments{QStringLiteral("GetAlternativeServiceName"),
                                               QStringLiteral("ServiceBrowserNew"),
                                               QStringLiteral("ServiceBrowserPrepare"),
                                               QStringLiteral("ResolveService")};
        if (withArguments.contains(method)) {
            calls << method + QStringLiteral(" (wrong arguments: ") + signature + QLatin1Char(')');
            return send(connection,
                        avahiError(message, "InvalidArgumentError", "Invalid argument"));
        }
        calls << QStringLiteral("unknown ") + method;
        return send(connection, message.createErrorReply(
                                    QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                    QStringLiteral("The fake Avahi does not know %1").arg(method)));
    }

    // ItemNew for every service a new browser finds at once, then AllForNow.
    void sendKnown(const QString &path)
    {
        const FakeAvahi::Browser browser = m_owner->m_browsers.value(path);
        const QList<FakeAvahi::Service> known = m_owner->visible(browser.type);
        for (const FakeAvahi::Service &service : known)
            m_owner->sendItem(path, browser, service, true);
        m_owner->m_server.connection().send(
            QDBusMessage::createTargetedSignal(browser.owner, path,
                                               QLatin1String(AvahiBus::BrowserInterface),
                                               QStringLiteral("AllForNow")));
    }

    bool resolve(const QDBusMessage &message, const QDBusConnection &connection)
    {
        const QVariantList args = message.arguments();
        const int interface = args.at(0).toInt();
        const int protocol = args.at(1).toInt();
        const QString name = args.at(2).toString();
        const QString type = args.at(3).toString();
        const QString domain = args.at(4).toString();
        m_owner->m_calls << QStringLiteral("ResolveService ") + name + QLatin1Char(' ') + type;
        QDBusMessage reply =
            avahiError(message, "TimeoutError", "Timeout reached"); // what an unresolved name gets
        const QList<FakeAvahi::Service> known = m_owner->visible(type);
        for (const FakeAvahi::Service &service : known) {
            if (!sameService(service, name, type, domain) || service.address.isEmpty()
                || (interface >= 0 && interface != service.interface)
                || (protocol >= 0 && protocol != service.protocol))
                continue;
            const int addressProtocol =
                service.address.contains(QLatin1Char(':')) ? FakeAvahi::IPv6 : FakeAvahi::IPv4;
            reply = message.createReply(QVariantList{
                service.interface, service.protocol, service.name, service.type,
                normalDomain(service.domain), service.host, addressProtocol, service.address,
                QVariant::fromValue(service.port), QVariant::fromValue(service.txt),
                FakeAvahi::ResultMulticast | (service.local ? FakeAvahi::ResultLocal : 0u)});
            break;
        }
        QTimer::singleShot(m_owner->m_resolveDelayMs, this, [connection, reply]() {
            send(connection, reply);
        });
        return true;
    }

    bool group(const QDBusMessage &message, const QDBusConnection &connection)
    {
        const QString method = message.member();
        const QString path = message.path();
        const QString signature = message.signature();
        const QVariantList args = message.arguments();
        QMutexLocker lock(&m_owner->m_mutex);
        QStringList &calls = m_owner->m_calls;
        auto found = m_owner->m_groups.find(path);
        if (found == m_owner->m_groups.end() || found->owner != message.service()) {
            calls << method + QStringLiteral(" (no such group)");
            return send(connection,
                        message.createErrorReply(QStringLiteral(
                                                     "org.freedesktop.DBus.Error.UnknownObject"),
                                                 QStringLiteral("No such object %1").arg(path)));
        }
        FakeAvahi::Group &group = found.value();

        if (method == QLatin1String("AddService") && signature == QLatin1String("iiussssqaay")) {
            FakeAvahi::Service service;
            service.interface = args.at(0).toInt() < 0 ? 2 : args.at(0).toInt();
            service.protocol = args.at(1).toInt() < 0 ? FakeAvahi::IPv4 : args.at(1).toInt();
            service.name = args.at(3).toString();
            service.type = args.at(4).toString();
            service.domain = normalDomain(args.at(5).toString());
            service.host = args.at(6).toString().isEmpty()
                             ? m_owner->m_hostName + QStringLiteral(".local")
                             : args.at(6).toString();
            service.address = m_owner->m_ownAddress;
            service.port = quint16(args.at(7).toUInt());
            service.txt = qdbus_cast<QList<QByteArray>>(args.at(8));
            service.local = true;
            calls << QStringLiteral("AddService %1 %2 %3 %4")
                         .arg(service.name, service.type)
                         .arg(service.port)
                         .arg(txtText(service.txt));
            if (service.name.isEmpty() || service.name.toUtf8().size() > 63)
                return send(connection,
                            avahiError(message, "InvalidServiceNameError", "Invalid service name"));
            if (!isServiceType(service.type))
                return send(connection,
                            avahiError(message, "InvalidServiceTypeError", "Invalid service type"));
            if (group.state == FakeAvahi::GroupRegistering
                || group.state == FakeAvahi::GroupEstablished)
                return send(connection, avahiError(message, "BadStateError", "Bad state"));
            if (m_owner->nameTakenHere(service.name, service.type, service.domain))
                return send(connection,
                            avahiError(message, "CollisionError", "Local name collision"));
            group.services << service;
            return send(connection, message.createReply());
        }
        if (method == QLatin1String("UpdateServiceTxt")
            && signature == QLatin1String("iiusssaay")) {
            const QList<QByteArray> txt = qdbus_cast<QList<QByteArray>>(args.at(6));
            calls << QStringLiteral("UpdateServiceTxt %1 %2 %3")
                         .arg(args.at(3).toString(), args.at(4).toString(), txtText(txt));
            for (FakeAvahi::Service &service : group.services) {
                if (sameService(service, args.at(3).toString(), args.at(4).toString(),
                                args.at(5).toString())) {
                    service.txt = txt;
                    return send(connection, message.createReply());
                }
            }
            return send(connection, avahiError(message, "NotFoundError", "Not found"));
        }
        if (!signature.isEmpty()) {
            calls << method + QStringLiteral(" (wrong arguments: ") + signature + QLatin1Char(')');
            return send(connection,
                        avahiError(message, "InvalidArgumentError", "Invalid argument"));
        }
        calls << method;
        if (method == QLatin1String("GetState"))
            return send(connection, message.createReply(group.state));
        if (method == QLatin1String("IsEmpty"))
            return send(connection, message.createReply(group.services.isEmpty()));
        if (method == QLatin1String("Commit")) {
            if (group.state != FakeAvahi::GroupUncommitted
                && group.state != FakeAvahi::GroupCollision)
                return send(connection, avahiError(message, "BadStateError", "Bad state"));
            if (group.services.isEmpty())
                return send(connection, avahiError(message, "IsEmptyError", "Is empty"));
            const int commit = ++group.commits;
            send(connection, message.createReply());
            m_owner->setGroupState(path, FakeAvahi::GroupRegistering);
            QTimer::singleShot(m_owner->m_commitDelayMs, this, [this, path, commit]() {
                endProbing(path, commit);
            });
            return true;
        }
        if (method == QLatin1String("Reset") || method == QLatin1String("Free")) {
            const bool established = group.state == FakeAvahi::GroupEstablished;
            const QList<FakeAvahi::Service> withdrawn = group.services;
            if (method == QLatin1String("Free")) {
                m_owner->m_groups.erase(found);
            } else {
                group.services.clear();
                ++group.commits;
                m_owner->setGroupState(path, FakeAvahi::GroupUncommitted);
            }
            send(connection, message.createReply());
            for (const FakeAvahi::Service &service : withdrawn) {
                if (established)
                    m_owner->announceToBrowsers(service, false);
            }
            return true;
        }
        calls.last() = QStringLiteral("unknown ") + method;
        return send(connection, message.createErrorReply(
                                    QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                    QStringLiteral("The fake Avahi does not know %1").arg(method)));
    }

    // The probe of a committed group is over: a name another host announces
    // is a collision; otherwise the group's services are out.
    void endProbing(const QString &path, int commit)
    {
        QMutexLocker lock(&m_owner->m_mutex);
        auto found = m_owner->m_groups.find(path);
        if (found == m_owner->m_groups.end() || found->commits != commit
            || found->state != FakeAvahi::GroupRegistering)
            return;
        for (const FakeAvahi::Service &service : qAsConst(found->services)) {
            for (const FakeAvahi::Service &other : qAsConst(m_owner->m_others)) {
                if (!other.local
                    && sameService(other, service.name, service.type, service.domain)) {
                    m_owner->setGroupState(path, FakeAvahi::GroupCollision);
                    return;
                }
            }
        }
        m_owner->setGroupState(path, FakeAvahi::GroupEstablished);
        for (const FakeAvahi::Service &service : qAsConst(found->services))
            m_owner->announceToBrowsers(service, true);
    }

    bool browser(const QDBusMessage &message, const QDBusConnection &connection)
    {
        const QString method = message.member();
        const QString path = message.path();
        QMutexLocker lock(&m_owner->m_mutex);
        m_owner->m_calls << QStringLiteral("ServiceBrowser.") + method;
        auto found = m_owner->m_browsers.find(path);
        if (found == m_owner->m_browsers.end() || found->owner != message.service())
            return send(connection,
                        message.createErrorReply(QStringLiteral(
                                                     "org.freedesktop.DBus.Error.UnknownObject"),
                                                 QStringLiteral("No such object %1").arg(path)));
        if (method == QLatin1String("Free") && message.signature().isEmpty()) {
            m_owner->m_browsers.erase(found);
            return send(connection, message.createReply());
        }
        if (method == QLatin1String("Start") && message.signature().isEmpty()) {
            if (found->started)
                return send(connection, avahiError(message, "BadStateError", "Bad state"));
            found->started = true;
            send(connection, message.createReply());
            sendKnown(path);
            return true;
        }
        return send(connection, message.createErrorReply(
                                    QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                    QStringLiteral("The fake Avahi does not know %1").arg(method)));
    }

    FakeAvahi *m_owner;
    QDBusServiceWatcher *m_watcher = nullptr;
};

FakeAvahi::FakeAvahi()
    : m_server(QLatin1String(AvahiBus::Service), QStringLiteral("fake-avahi"))
{
}

FakeAvahi::~FakeAvahi()
{
    stop();
}

bool FakeAvahi::start(QString *error)
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    {
        QMutexLocker lock(&m_mutex);
        m_serverState = ServerRunning;
    }
    const bool started =
        m_server.start(new FakeAvahiObject(this), {QStringLiteral("/")}, QDBusConnection::SubPath);
    if (!started && error)
        *error = m_server.errorString();
    return started;
}

void FakeAvahi::stop()
{
    m_server.stop();
    QMutexLocker lock(&m_mutex);
    m_groups.clear();
    m_browsers.clear();
    m_clients.clear();
}

bool FakeAvahi::isRunning() const
{
    return m_server.isRunning();
}

void FakeAvahi::setHostName(const QString &name)
{
    QMutexLocker lock(&m_mutex);
    m_hostName = name;
}

QString FakeAvahi::hostName() const
{
    QMutexLocker lock(&m_mutex);
    return m_hostName;
}

void FakeAvahi::setOwnAddress(const QString &address)
{
    QMutexLocker lock(&m_mutex);
    m_ownAddress = address;
}

void FakeAvahi::setServerState(ServerState state)
{
    QMutexLocker lock(&m_mutex);
    m_serverState = state;
    if (!m_server.isRunning())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/"), QLatin1String(AvahiBus::ServerInterface),
                                   QStringLiteral("StateChanged"));
    signal << int(state) << QString();
    m_server.connection().send(signal);
}

void FakeAvahi::setCommitDelay(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_commitDelayMs = ms;
}

void FakeAvahi::setResolveDelay(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_resolveDelayMs = ms;
}

void FakeAvahi::addService(const Service &service)
{
    QMutexLocker lock(&m_mutex);
    m_others << service;
    // A host that starts announcing a name this machine has established wins
    // the conflict here: the group ends in collision, as the daemon's does.
    for (auto group = m_groups.begin(); group != m_groups.end(); ++group) {
        if (service.local || group->state != GroupEstablished)
            continue;
        bool clash = false;
        for (const Service &own : qAsConst(group->services))
            clash = clash || sameService(own, service.name, service.type, service.domain);
        if (!clash)
            continue;
        setGroupState(group.key(), GroupCollision);
        for (const Service &own : qAsConst(group->services))
            announceToBrowsers(own, false);
    }
    announceToBrowsers(service, true);
}

void FakeAvahi::removeService(const QString &name, const QString &type)
{
    QMutexLocker lock(&m_mutex);
    for (int i = m_others.size() - 1; i >= 0; --i) {
        if (m_others.at(i).name == name && m_others.at(i).type == type)
            announceToBrowsers(m_others.takeAt(i), false);
    }
}

void FakeAvahi::clearServices()
{
    QMutexLocker lock(&m_mutex);
    while (!m_others.isEmpty())
        announceToBrowsers(m_others.takeLast(), false);
}

QList<FakeAvahi::Service> FakeAvahi::services(const QString &type) const
{
    QMutexLocker lock(&m_mutex);
    return visible(type);
}

QList<FakeAvahi::Service> FakeAvahi::announced(const QString &type) const
{
    QMutexLocker lock(&m_mutex);
    QList<Service> result;
    for (const Group &group : m_groups) {
        for (const Service &service : group.services) {
            if (group.state == GroupEstablished && (type.isEmpty() || service.type == type))
                result << service;
        }
    }
    return result;
}

int FakeAvahi::groupCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_groups.size();
}

int FakeAvahi::browserCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_browsers.size();
}

QStringList FakeAvahi::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

void FakeAvahi::clearCalls()
{
    QMutexLocker lock(&m_mutex);
    m_calls.clear();
}

QString FakeAvahi::alternativeName(const QString &name)
{
    static const QRegularExpression numbered(QStringLiteral("\\A(.*) #([0-9]+)\\z"));
    const QRegularExpressionMatch match = numbered.match(name);
    if (match.hasMatch())
        return QStringLiteral("%1 #%2").arg(match.captured(1)).arg(match.captured(2).toInt() + 1);
    return name + QStringLiteral(" #2");
}

QList<FakeAvahi::Service> FakeAvahi::visible(const QString &type) const
{
    QList<Service> result;
    for (const Service &service : m_others) {
        if (type.isEmpty() || service.type == type)
            result << service;
    }
    for (const Group &group : m_groups) {
        for (const Service &service : group.services) {
            if (group.state == GroupEstablished && (type.isEmpty() || service.type == type))
                result << service;
        }
    }
    return result;
}

bool FakeAvahi::nameTakenHere(const QString &name, const QString &type, const QString &domain) const
{
    for (const Service &service : m_others) {
        if (service.local && sameService(service, name, type, domain))
            return true;
    }
    for (const Group &group : m_groups) {
        for (const Service &service : group.services) {
            if (sameService(service, name, type, domain))
                return true;
        }
    }
    return false;
}

void FakeAvahi::announceToBrowsers(const Service &service, bool appears)
{
    for (auto browser = m_browsers.cbegin(); browser != m_browsers.cend(); ++browser) {
        const bool matches = browser->started && browser->type == service.type
                          && normalDomain(browser->domain) == normalDomain(service.domain)
                          && (browser->interface < 0 || browser->interface == service.interface)
                          && (browser->protocol < 0 || browser->protocol == service.protocol);
        if (matches)
            sendItem(browser.key(), browser.value(), service, appears);
    }
}

void FakeAvahi::sendItem(const QString &path, const Browser &browser, const Service &service,
                         bool appears)
{
    QDBusMessage signal =
        QDBusMessage::createTargetedSignal(browser.owner, path,
                                           QLatin1String(AvahiBus::BrowserInterface),
                                           appears ? QStringLiteral("ItemNew")
                                                   : QStringLiteral("ItemRemove"));
    signal << service.interface << service.protocol << service.name << service.type
           << normalDomain(service.domain)
           << (ResultMulticast | (service.local ? ResultLocal : 0u));
    m_server.connection().send(signal);
}

void FakeAvahi::setGroupState(const QString &path, int state)
{
    auto group = m_groups.find(path);
    if (group == m_groups.end())
        return;
    group->state = state;
    QDBusMessage signal =
        QDBusMessage::createTargetedSignal(group->owner, path,
                                           QLatin1String(AvahiBus::GroupInterface),
                                           QStringLiteral("StateChanged"));
    signal << state << QString();
    m_server.connection().send(signal);
}

void FakeAvahi::dropClient(const QString &owner)
{
    QMutexLocker lock(&m_mutex);
    for (auto group = m_groups.begin(); group != m_groups.end();) {
        if (group->owner != owner) {
            ++group;
            continue;
        }
        const bool established = group->state == GroupEstablished;
        const QList<Service> withdrawn = group->services;
        group = m_groups.erase(group);
        for (const Service &service : withdrawn) {
            if (established)
                announceToBrowsers(service, false);
        }
    }
    for (auto browser = m_browsers.begin(); browser != m_browsers.end();) {
        if (browser->owner == owner)
            browser = m_browsers.erase(browser);
        else
            ++browser;
    }
    m_clients.remove(owner);
}
