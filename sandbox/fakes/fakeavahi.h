// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakebusserver.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

class FakeAvahiObject;

// A test double of avahi-daemon's bus interface (org.freedesktop.Avahi on
// the private system bus), for the side that announces and the side that
// browses. It serves from a thread of its own (see FakeBusServer), with the
// method signatures, object paths, signals and errors of avahi-daemon 0.8
// (its org.freedesktop.Avahi.*.xml):
//
//   Server (and Server2) at "/": GetVersionString, GetAPIVersion,
//     GetHostName, GetHostNameFqdn, GetDomainName, GetState,
//     GetAlternativeServiceName, EntryGroupNew, ServiceBrowserNew,
//     ServiceBrowserPrepare, ResolveService; the signal StateChanged(i, s).
//   EntryGroup at "/ClientN/EntryGroupM": AddService, UpdateServiceTxt,
//     Commit, Reset, Free, GetState, IsEmpty; the signal StateChanged(i, s).
//   ServiceBrowser at "/ClientN/ServiceBrowserM": Start, Free; the signals
//     ItemNew, ItemRemove, AllForNow (and Failure, never sent).
//
// What it does as the daemon does: a committed group is "registering", then
// (after the commit delay) "established", and its services appear to every
// browser of their type; a name that another service of this machine has is
// refused at AddService (CollisionError); a name that a service on the
// network has makes the committed group end in "collision" (also when that
// service appears later). Reset, Free and the client's leaving the bus
// withdraw a group's services. ServiceBrowserNew answers with the browser's
// path, then sends ItemNew for each service already known and AllForNow;
// ServiceBrowserPrepare waits for Start. Signals to a client's objects are
// sent to that client only, Server.StateChanged to everyone. Calls with
// other argument types fail with InvalidArgumentError. The daemon never
// starts by bus activation.
//
// Start the private bus first. Every call is recorded as text (see calls()).
class FakeAvahi
{
public:
    // avahi-common/defs.h
    enum ServerState { ServerRegistering = 1, ServerRunning = 2, ServerCollision = 3 };
    enum GroupState {
        GroupUncommitted = 0,
        GroupRegistering = 1,
        GroupEstablished = 2,
        GroupCollision = 3,
        GroupFailure = 4
    };
    enum Protocol { IPv4 = 0, IPv6 = 1 };
    // Lookup result flags of ItemNew and ResolveService.
    static constexpr uint ResultMulticast = 4;
    static constexpr uint ResultLocal = 8;

    struct Service
    {
        QString name;
        QString type = QStringLiteral("_usbip._tcp");
        QString domain = QStringLiteral("local");
        // The host it runs on, as ResolveService answers it ("peer.local").
        QString host;
        // What the host name resolves to; empty: it does not resolve, and
        // ResolveService fails with TimeoutError after the resolve delay.
        QString address;
        quint16 port = 3240;
        QList<QByteArray> txt;
        // Where it was seen: an interface index and IPv4 or IPv6.
        int interface = 2;
        int protocol = IPv4;
        // Announced by this machine (through an entry group of this daemon,
        // or by addService with local set): its name is taken for AddService.
        bool local = false;

        // A _usbip._tcp service another host announces: `name` on
        // "<name>.local" at `address` (empty: it does not resolve), seen over
        // `protocol`.
        static Service remote(const QString &name, const QString &address, int protocol = IPv4)
        {
            Service service;
            service.name = name;
            service.host = name + QStringLiteral(".local");
            service.address = address;
            service.protocol = protocol;
            return service;
        }
    };

    FakeAvahi();
    ~FakeAvahi();

    // Owns org.freedesktop.Avahi; the server is running.
    bool start(QString *error = nullptr);
    // Leaves the bus as a stopped daemon does: every entry group and browser
    // is gone. stop() and start() again: a restart.
    void stop();
    bool isRunning() const;

    // The host name (default "ovra-fake"); services of entry groups run on
    // "<host name>.local" at the own address (default 127.0.0.1).
    void setHostName(const QString &name);
    QString hostName() const;
    void setOwnAddress(const QString &address);
    // Sends Server.StateChanged; while the server is not running, EntryGroupNew
    // still works, as in the daemon.
    void setServerState(ServerState state);
    // How long a committed group probes before it is established (default 0).
    void setCommitDelay(int ms);
    // How long ResolveService takes (default 0).
    void setResolveDelay(int ms);

    // A service another host announces on the network (or, with `local`,
    // another program of this machine): browsers of its type see it at once.
    void addService(const Service &service);
    // Withdraws what addService added; browsers see ItemRemove.
    void removeService(const QString &name, const QString &type = QStringLiteral("_usbip._tcp"));
    // Withdraws everything addService added.
    void clearServices();
    // What browsers of `type` (empty: every type) see now: the added services
    // and those of established entry groups.
    QList<Service> services(const QString &type = QString()) const;
    // Only the services of established entry groups: what clients announce.
    QList<Service> announced(const QString &type = QString()) const;
    // How many entry groups and browsers exist (of clients still on the bus).
    int groupCount() const;
    int browserCount() const;

    // Every call, oldest first, as "Method arg1 arg2 ...", e.g.
    // "EntryGroupNew", "AddService ovra-fake _usbip._tcp 3240 version=1.1.1 devices=1",
    // "UpdateServiceTxt ovra-fake _usbip._tcp version=1.1.1 devices=2", "Commit",
    // "Free", "GetAlternativeServiceName ovra-fake", "ServiceBrowserNew _usbip._tcp",
    // "ServiceBrowser.Start", "ServiceBrowser.Free", "ResolveService peer _usbip._tcp",
    // and the Server methods that only read ("GetState", "GetHostName", ...).
    QStringList calls() const;
    void clearCalls();

    // Avahi's next name after a collision: "name #2" after "name", "name #3"
    // after "name #2".
    static QString alternativeName(const QString &name);

private:
    friend class FakeAvahiObject;

    struct Group
    {
        QString owner;
        int state = GroupUncommitted;
        int commits = 0; // tells a late end of probing from the current one
        QList<Service> services;
    };
    struct Browser
    {
        QString owner;
        QString type;
        QString domain;
        int interface = -1;
        int protocol = -1;
        bool started = false;
    };

    // Call with m_mutex held.
    QList<Service> visible(const QString &type) const;
    // Whether a service of this machine (of any group, or added as local)
    // has the name; AddService of it is a collision.
    bool nameTakenHere(const QString &name, const QString &type, const QString &domain) const;
    Service ownService(const Service &entry) const;
    void announceToBrowsers(const Service &service, bool appears);
    void sendItem(const QString &path, const Browser &browser, const Service &service,
                  bool appears);
    void setGroupState(const QString &path, int state);
    void dropClient(const QString &owner);

    mutable QMutex m_mutex;
    QString m_hostName = QStringLiteral("ovra-fake");
    QString m_ownAddress = QStringLiteral("127.0.0.1");
    int m_serverState = ServerRunning;
    int m_commitDelayMs = 0;
    int m_resolveDelayMs = 0;
    QList<Service> m_others;
    QMap<QString, Group> m_groups;
    QMap<QString, Browser> m_browsers;
    QMap<QString, int> m_clients; // unique bus name -> client number
    int m_nextClient = 1;
    int m_nextObject = 1;
    QStringList m_calls;

    // Last: it stops serving before the state its object reads goes.
    FakeBusServer m_server;
};
