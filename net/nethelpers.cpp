// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// A /31 or /32 leaves no offset between the network and its last address.
constexpr int MinimumLastHostOffset = 2;

QMutex hostsFileMutex;
QString hostsFile;

// Answers a look-up from a hosts-format file alone.
QString addressInHostsFile(const QString &path, const QString &name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    while (!file.atEnd()) {
        QString line = QString::fromLocal8Bit(file.readLine());
        const int comment = line.indexOf(QLatin1Char('#'));
        if (comment >= 0)
            line.truncate(comment);
        const QStringList fields = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 2)
            continue;
        const QHostAddress address(fields.first());
        if (!address.isNull() && QStringList(fields.mid(1)).contains(name, Qt::CaseInsensitive))
            return address.toString();
    }
    return QString();
}

QString resolve(const QString &name)
{
    QString path;
    {
        QMutexLocker locker(&hostsFileMutex);
        path = hostsFile;
    }
    if (!path.isEmpty())
        return addressInHostsFile(path, name);
    const QHostInfo info = QHostInfo::fromName(name);
    return info.addresses().isEmpty() ? QString() : info.addresses().constFirst().toString();
}

// One look-up in a helper thread. Shared between the caller and the helper,
// so a caller that gave up may go away while the helper finishes.
struct Lookup
{
    QString name;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    QString address;
};

// Helper threads still at work, and whether the application may still be
// woken. Never destroyed: a helper may finish after the statics are gone.
struct Helpers
{
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
    bool applicationGone = false;
};

Helpers *helpers()
{
    static Helpers *const instance = new Helpers;
    return instance;
}

// Run from the application object's destructor: an abandoned look-up still in
// the resolver gets a last chance to finish before the resolver's own globals
// are torn down at exit, and none wakes the application after this.
void waitForHelpers()
{
    Helpers *h = helpers();
    std::unique_lock<std::mutex> locker(h->mutex);
    h->idle.wait_for(locker, std::chrono::milliseconds(HostLookupTimeoutMs), [h]() {
        return h->running == 0;
    });
    h->applicationGone = true;
}

std::shared_ptr<Lookup> startLookup(const QString &name, bool wakeApplication)
{
    static std::once_flag registered;
    std::call_once(registered, []() {
        qAddPostRoutine(waitForHelpers);
    });

    Helpers *h = helpers();
    {
        std::lock_guard<std::mutex> locker(h->mutex);
        ++h->running;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->name = name;
    std::thread([lookup, h, wakeApplication]() {
        const QString address = resolve(lookup->name);
        {
            std::lock_guard<std::mutex> locker(lookup->mutex);
            lookup->address = address;
            lookup->done = true;
            lookup->finished.notify_all();
        }
        std::lock_guard<std::mutex> locker(h->mutex);
        // An event for the waiting event loop: it looks at its condition again.
        if (wakeApplication && !h->applicationGone && QCoreApplication::instance())
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                []() {
                },
                Qt::QueuedConnection);
        --h->running;
        h->idle.notify_all();
    }).detach();
    return lookup;
}

bool isDone(const std::shared_ptr<Lookup> &lookup)
{
    std::lock_guard<std::mutex> locker(lookup->mutex);
    return lookup->done;
}

// Resolver answers by host text.
struct CacheEntry
{
    QString address;
    QDeadlineTimer expiry;
};

QMutex cacheMutex;
QHash<QString, CacheEntry> cache;

bool cached(const QString &host, QString *address)
{
    QMutexLocker locker(&cacheMutex);
    const auto it = cache.constFind(host);
    if (it == cache.constEnd() || it->expiry.hasExpired())
        return false;
    *address = it->address;
    return true;
}

void store(const QString &host, const QString &address)
{
    QMutexLocker locker(&cacheMutex);
    cache[host] = CacheEntry{address, QDeadlineTimer(HostCacheLifetimeMs)};
}

// The address a host text stands for without a look-up; false for a name.
bool literalAddress(const QString &host, QString *address)
{
    if (host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        *address = host.isEmpty() ? QString() : QStringLiteral("127.0.0.1");
        return true;
    }
    const QHostAddress parsed(host);
    if (parsed.isNull())
        return false;
    *address = parsed.toString();
    return true;
}

int lastHostOffset(int prefixLength)
{
    const quint32 power = quint32(1) << (quint32(32 - prefixLength) % 32);
    return int(power - 1);
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
        // An entry without a usable netmask names no network; one without an
        // address between its first and last names none worth scanning.
        if (subnet.first.isNull() || subnet.second < 0)
            continue;
        const int last = lastHostOffset(subnet.second);
        if (last < MinimumLastHostOffset || subnet.second == 0)
            continue;
        subnets.insert(subnet.first.toString(), last);
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

void setHostsFile(const QString &path)
{
    QMutexLocker locker(&hostsFileMutex);
    hostsFile = path;
}

QHash<QString, QString> hostAddresses(const QStringList &hosts, const Wait &wait)
{
    QHash<QString, QString> result;
    QList<std::shared_ptr<Lookup>> lookups;
    for (const QString &host : hosts) {
        if (result.contains(host))
            continue;
        QString address;
        if (literalAddress(host, &address) || cached(host, &address)) {
            result.insert(host, address);
            continue;
        }
        result.insert(host, QString());
        lookups.append(startLookup(host, bool(wait)));
    }
    if (lookups.isEmpty())
        return result;

    const auto allDone = [&lookups]() {
        return std::all_of(lookups.cbegin(), lookups.cend(), isDone);
    };
    if (wait) {
        wait(allDone, HostLookupTimeoutMs);
    } else {
        const QDeadlineTimer deadline(HostLookupTimeoutMs);
        for (const std::shared_ptr<Lookup> &lookup : qAsConst(lookups)) {
            std::unique_lock<std::mutex> locker(lookup->mutex);
            lookup->finished.wait_for(locker,
                                      std::chrono::milliseconds(
                                          qMax<qint64>(0, deadline.remainingTime())),
                                      [&lookup]() {
                                          return lookup->done;
                                      });
        }
    }
    // A look-up unanswered in time counts as one without an address, and is
    // kept as such: a dead name server costs its time once, not at every
    // refresh.
    for (const std::shared_ptr<Lookup> &lookup : qAsConst(lookups)) {
        std::lock_guard<std::mutex> locker(lookup->mutex);
        const QString address = lookup->done ? lookup->address : QString();
        result.insert(lookup->name, address);
        store(lookup->name, address);
    }
    return result;
}
