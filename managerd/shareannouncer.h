// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include <functional>

#include "sysfs.h"

class QDBusServiceWatcher;

// Announces this machine's USB/IP daemon with DNS-SD while at least one
// device is shared (bound to usbip-host, whoever bound it): a service of
// type _usbip._tcp on port 3240, named after Avahi's host name, whose TXT
// record says the protocol version and how many devices are shared. It is
// updated when the number changes and withdrawn when nothing is shared. It
// speaks to avahi-daemon over the system bus (no mDNS of its own), never
// waits for an answer in the event loop, and never starts a stopped Avahi:
// without Avahi it logs once and announces when Avahi's name appears; a
// restarted Avahi gets the announcement again. An announcement grants
// nothing: whoever may reach the port decides that, not the announcement.
class ShareAnnouncer : public QObject
{
    Q_OBJECT
public:
    ShareAnnouncer(const QDBusConnection &bus, const Sysfs &sysfs, QObject *parent = nullptr);

public Q_SLOTS:
    // Counts the shared devices again, once for a burst of calls, and brings
    // the announcement in line.
    void recount();

private Q_SLOTS:
    void onServerStateChanged(int state, const QString &error);
    void onGroupStateChanged(int state, const QString &error, const QDBusMessage &message);

private:
    using Next = std::function<void(const QDBusMessage &reply)>;

    void countNow();
    void askServerState();
    void setAvahiUp(bool up);
    // Starts the one chain of calls that brings Avahi in line, unless one runs.
    void sync();
    void finish();
    // Logs why a chain failed and drops the announcement until something changes.
    void fail(const QString &what, const QDBusMessage &reply);
    // Forgets the entry group (and frees it, when Avahi still has it), so a
    // running chain stops at its next answer.
    void dropGroup(bool freeIt);
    bool isStale(quint64 generation) const { return generation != m_generation; }

    void announce(quint64 generation);
    void addService(quint64 generation);
    // Asks Avahi for the next name to try ("host #2" after "host"), then `then`.
    void rename(quint64 generation, const std::function<void()> &then);

    void call(const QString &path, const char *interface, const QString &method,
              const QVariantList &arguments, const Next &next);
    static QVariant txt(int devices);

    QDBusConnection m_bus;
    Sysfs m_sysfs;
    QDBusServiceWatcher *m_watcher;
    QTimer m_recount;
    // Shared devices now, and how many the committed announcement says.
    int m_shared = 0;
    int m_announced = 0;
    // Avahi owns its name and its server runs (its host name is settled).
    bool m_avahiUp = false;
    bool m_toldMissing = false;
    // The name announced (or to announce); empty: Avahi's host name.
    QString m_name;
    // The name is taken on the network: the next announcement asks for another.
    bool m_renameFirst = false;
    // Names tried since the last announcement that Avahi established.
    int m_renames = 0;
    QDBusObjectPath m_group;
    // A chain of calls runs; another sync is due when it ends.
    bool m_busy = false;
    bool m_again = false;
    // A chain failed: no new try until the count or Avahi changes.
    bool m_failed = false;
    // Counts what invalidates a running chain (the group dropped, Avahi gone).
    quint64 m_generation = 0;
};
