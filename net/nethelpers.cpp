// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QMutex>
#include <QMutexLocker>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

QAtomicInt lookupCounter;

QMutex resolverMutex;
HostLookupFunction resolver;

// Answers a look-up from a hosts-format file alone ("address name..." per
// line, '#' starts a comment), never asking a name server. Used when
// OVRA_RESOLVER_HOSTS_FILE names such a file, so that test runs and the
// sandbox resolve their loopback hosts without any traffic leaving the host.
QHostInfo lookUpInHostsFile(const QString &path, const QString &name)
{
    QHostInfo info;
    info.setHostName(name);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        info.setError(QHostInfo::HostNotFound);
        return info;
    }
    const QHostAddress asAddress(name);
    QList<QHostAddress> addresses;
    while (!file.atEnd()) {
        QString line = QString::fromLocal8Bit(file.readLine());
        line.truncate(line.indexOf(QLatin1Char('#')) < 0 ? line.size()
                                                         : line.indexOf(QLatin1Char('#')));
        const QStringList fields = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 2)
            continue;
        const QHostAddress address(fields.first());
        if (address.isNull())
            continue;
        if (!asAddress.isNull()) {
            if (address.isEqual(asAddress)) { // reverse look-up: the first name wins
                info.setHostName(fields.at(1));
                info.setAddresses({asAddress});
                return info;
            }
        } else if (QStringList(fields.mid(1)).contains(name, Qt::CaseInsensitive)) {
            addresses.append(address);
        }
    }
    if (!asAddress.isNull()) { // no reverse entry: the address stands for itself
        info.setAddresses({asAddress});
        return info;
    }
    if (addresses.isEmpty())
        info.setError(QHostInfo::HostNotFound);
    info.setAddresses(addresses);
    return info;
}

HostLookupFunction currentResolver()
{
    QMutexLocker locker(&resolverMutex);
    if (resolver)
        return resolver;
    const QString hostsFile = QString::fromLocal8Bit(qgetenv("OVRA_RESOLVER_HOSTS_FILE"));
    if (!hostsFile.isEmpty())
        return [hostsFile](const QString &name) { return lookUpInHostsFile(hostsFile, name); };
    return [](const QString &name) { return QHostInfo::fromName(name); };
}

// What one look-up leaves behind. Shared between the caller and the helper
// thread, so a caller that gave up may go away while the helper finishes.
struct Lookup
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    QHostInfo info;
};

// Helper threads still at work. Never destroyed: a helper may finish after
// the statics of the process are gone.
struct Helpers
{
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
};

Helpers *helpers()
{
    static Helpers *const instance = new Helpers;
    return instance;
}

// Run from the application object's destructor: an abandoned look-up still in
// the resolver gets a last chance to finish before the resolver's own globals
// are torn down at exit.
void waitForHelpers()
{
    Helpers *h = helpers();
    std::unique_lock<std::mutex> locker(h->mutex);
    h->idle.wait_for(locker, std::chrono::milliseconds(HostLookupTimeoutMs),
                     [h]() { return h->running == 0; });
}

// QHostInfo::fromName in a helper thread, waited for HostLookupTimeoutMs at
// most. False when the resolver did not answer in time.
bool lookUp(const QString &name, QHostInfo *info)
{
    static std::once_flag registered;
    std::call_once(registered, []() { qAddPostRoutine(waitForHelpers); });

    lookupCounter.fetchAndAddRelaxed(1);
    Helpers *h = helpers();
    {
        std::lock_guard<std::mutex> locker(h->mutex);
        ++h->running;
    }
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name, h, resolve = currentResolver()]() {
        QHostInfo answer = resolve(name);
        {
            std::lock_guard<std::mutex> locker(lookup->mutex);
            lookup->info = answer;
            lookup->done = true;
            lookup->finished.notify_all();
        }
        std::lock_guard<std::mutex> locker(h->mutex);
        --h->running;
        h->idle.notify_all();
    }).detach();

    std::unique_lock<std::mutex> locker(lookup->mutex);
    const bool answered =
        lookup->finished.wait_for(locker, std::chrono::milliseconds(HostLookupTimeoutMs),
                                  [&lookup]() { return lookup->done; });
    if (answered)
        *info = lookup->info;
    return answered;
}

// Resolver answers of the cached variants, by kind and host text.
struct CacheEntry
{
    QString value;
    QDeadlineTimer expiry;
};

QMutex cacheMutex;
QHash<QString, CacheEntry> addressCache;
QHash<QString, CacheEntry> nameCache;

bool cached(const QHash<QString, CacheEntry> &cache, const QString &key, QString *value)
{
    QMutexLocker locker(&cacheMutex);
    const auto it = cache.constFind(key);
    if (it == cache.constEnd() || it->expiry.hasExpired())
        return false;
    *value = it->value;
    return true;
}

void store(QHash<QString, CacheEntry> *cache, const QString &key, const QString &value)
{
    QMutexLocker locker(&cacheMutex);
    (*cache)[key] = CacheEntry{value, QDeadlineTimer(HostKeyCacheLifetimeMs)};
}

// The reverse half of hostName(), for an address text that is not empty.
QString nameOfAddress(const QString &address)
{
    QHostInfo info;
    if (!lookUp(address, &info))
        return address; // unanswered: as if there were no reverse entry
    return info.hostName();
}

} // namespace

QString addressAt(const QString &base, quint32 offset)
{
    const quint32 start = QHostAddress(base).toIPv4Address();
    return QHostAddress(quint32(start + offset)).toString();
}

QStringList localAddresses()
{
    QStringList result;
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses)
        result.append(address.toString());
    return result;
}

int lastHostOffset(int prefixLength)
{
    const quint32 power = quint32(1) << (quint32(32 - prefixLength) % 32);
    return int(power - 1);
}

QMap<QString, int> subnetsOf(const QList<InterfaceEntries> &interfaces)
{
    QList<QNetworkAddressEntry> entries;
    for (const InterfaceEntries &interface : interfaces) {
        if (interface.first == QNetworkInterface::Ethernet
            || interface.first == QNetworkInterface::Wifi)
            entries += interface.second;
    }

    QMap<QString, int> subnets;
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        const QString text = entry.ip().toString() + QLatin1Char('/') + entry.netmask().toString();
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(text);
        // An entry without a usable netmask names no network.
        if (subnet.first.isNull() || subnet.second < 0)
            continue;
        subnets.insert(subnet.first.toString(), lastHostOffset(subnet.second));
    }
    return subnets;
}

QMap<QString, int> localSubnets()
{
    QList<InterfaceEntries> interfaces;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : all)
        interfaces.append(qMakePair(interface.type(), interface.addressEntries()));
    return subnetsOf(interfaces);
}

QString hostAddress(const QString &host)
{
    if (host.isEmpty())
        return host;
    if (host == QLatin1String("localhost"))
        return QStringLiteral("127.0.0.1");
    const QHostAddress address(host);
    if (!address.isNull())
        return address.toString();

    QHostInfo info;
    if (!lookUp(host, &info) || info.addresses().isEmpty())
        return QString();
    return info.addresses().constFirst().toString();
}

QString hostName(const QString &host)
{
    const QString address = hostAddress(host);
    if (address.isEmpty())
        return QString();
    return nameOfAddress(address);
}

int hostLookupCount()
{
    return lookupCounter.loadRelaxed();
}

QString cachedHostAddress(const QString &host)
{
    QString value;
    if (cached(addressCache, host, &value))
        return value;
    value = hostAddress(host);
    store(&addressCache, host, value);
    return value;
}

QString cachedHostName(const QString &host)
{
    const QString address = cachedHostAddress(host);
    if (address.isEmpty())
        return QString();
    QString value;
    if (cached(nameCache, address, &value))
        return value;
    value = nameOfAddress(address);
    store(&nameCache, address, value);
    return value;
}

void clearHostCache()
{
    QMutexLocker locker(&cacheMutex);
    addressCache.clear();
    nameCache.clear();
}

void setHostLookupFunction(const HostLookupFunction &function)
{
    QMutexLocker locker(&resolverMutex);
    resolver = function;
}
