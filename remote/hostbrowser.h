// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

class QDBusServiceWatcher;

// A host that announces shared USB devices with DNS-SD, as Avahi saw it.
struct AnnouncedHost
{
    // The announcement's name (the Manager names it after the host), cleaned
    // as outside text.
    QString name;
    // What it resolved to: an IPv4 address when it has one, else an IPv6 one
    // (a link-local one with its interface, "fe80::1%eth0"); empty while it
    // is being resolved or when it does not resolve.
    QString address;
    // The mDNS domain it was seen in ("local").
    QString domain;

    // What the host field takes to list it: the address, or without one the
    // name as mDNS knows it ("studio.local") when the name can be a host
    // name, else the name itself.
    QString host() const;
    // How it is offered: "name (address)", or the name alone.
    QString label() const;
    bool operator==(const AnnouncedHost &other) const
    {
        return name == other.name && address == other.address && domain == other.domain;
    }
};

Q_DECLARE_METATYPE(AnnouncedHost)

// Follows the hosts that announce _usbip._tcp on this machine's networks,
// through avahi-daemon's bus interface on the system bus (no mDNS of its
// own): a service browser says which hosts come and go, and each is resolved
// to an address. Every call is asynchronous and none starts a stopped Avahi
// by bus activation. Without Avahi there are simply no hosts; when Avahi
// starts, or restarts, browsing starts again on its own.
class HostBrowser : public QObject
{
    Q_OBJECT
public:
    // Resolutions running at once; the others wait their turn.
    static constexpr int MaxResolving = 4;
    // An announcement that does not resolve is tried again this often, at
    // most MaxResolveTries times in all.
    static constexpr int RetryMs = 30000;
    static constexpr int MaxResolveTries = 3;
    // Announcements followed at most (a network may send any number).
    static constexpr int MaxItems = 256;

    explicit HostBrowser(const QDBusConnection &bus = QDBusConnection::systemBus(),
                         QObject *parent = nullptr);

    // The hosts announcing now, by name.
    QList<AnnouncedHost> hosts() const { return m_hosts; }
    // Avahi answers and its browser runs.
    bool isBrowsing() const { return !m_browser.isEmpty(); }

Q_SIGNALS:
    void hostsChanged();

private Q_SLOTS:
    void onItemNew(int interface, int protocol, const QString &name, const QString &type,
                   const QString &domain, uint flags, const QDBusMessage &message);
    void onItemRemove(int interface, int protocol, const QString &name, const QString &type,
                      const QString &domain, uint flags, const QDBusMessage &message);
    void onFailure(const QString &error, const QDBusMessage &message);

private:
    // One announcement as Avahi reports it: a service on one interface,
    // over one protocol; a host seen on two links or over IPv4 and IPv6 has
    // several.
    struct Item
    {
        int interface = -1;
        int protocol = -1;
        QString name;
        QString domain;
        enum State { Waiting, Resolving, Resolved, Unresolved } state = Waiting;
        int tries = 0;
        // A resolution has ended (the host shows from then on).
        bool answered = false;
        QString address;
    };

    void startBrowsing();
    // Forgets the browser and every host (Avahi left, or its browser failed).
    void forget();
    // An ItemNew (appears) or ItemRemove of the browser.
    void takeItem(const QDBusMessage &message, bool appears);
    int indexOf(int interface, int protocol, const QString &name, const QString &domain) const;
    void resolveNext();
    void retryUnresolved();
    // Makes the hosts from the items; tells when they differ from before.
    void publish();
    static QString addressOf(const QString &text, int interface);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher;
    QString m_browser; // the browser's object path; empty: none
    bool m_creating = false;
    QList<Item> m_items;
    QList<AnnouncedHost> m_hosts;
    int m_resolving = 0;
    QTimer m_retry;
    // Counts what makes a pending answer stale (Avahi gone, browser gone).
    quint64 m_generation = 0;
};
