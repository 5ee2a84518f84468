// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusObjectPath>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantList>

#include <functional>

class QDBusMessage;
class TestSystemdService;

namespace OvraAdmin {

// One systemd unit, controlled through systemd's D-Bus interface on the
// system bus (org.freedesktop.systemd1). A unit name without a type suffix
// means a service: "usbipd" is "usbipd.service". Every call returns once
// systemd answered; privileged calls (enable, start) let polkit ask the
// user for authorisation. Meanwhile the waiter (setWaiter) keeps the
// calling thread's window alive; without one the call blocks.
class SystemdService : public QObject
{
    Q_OBJECT

public:
    explicit SystemdService(const QString &unit, QObject *parent = nullptr);
    ~SystemdService() override;

    // The unit's ActiveState is "active".
    bool isActive();
    // The unit file is enabled (states "enabled", "enabled-runtime", "static",
    // "indirect", "generated", "alias", as `systemctl is-enabled` counts them).
    bool isEnabled();
    // Enables the unit file and reloads systemd's configuration.
    bool enable();
    // Starts the unit (job mode "replace") and waits, at most startTimeout()
    // milliseconds, until the job has finished or the unit is active. True
    // when the unit is active afterwards.
    bool start();

    // The unit's ActiveState ("active", "inactive", "activating", "failed",
    // ...), empty when it cannot be read.
    QString activeState();
    // The unit file state from GetUnitFileState, empty when it cannot be read.
    QString unitFileState();
    // Whether a unit file state counts as enabled (see isEnabled()).
    static bool isEnabledState(const QString &unitFileState);

    // Waits until `finished` holds or `timeoutMs` has passed.
    using Waiter = std::function<bool(const std::function<bool()> &finished, int timeoutMs)>;
    void setWaiter(const Waiter &waiter) { m_waiter = waiter; }

    int startTimeout() const { return m_startTimeoutMs; }
    void setStartTimeout(int milliseconds) { m_startTimeoutMs = milliseconds; }

    // The text of the last failing bus call, empty after a success.
    QString lastError() const { return m_lastError; }

    static QString serviceName(); // org.freedesktop.systemd1
    static QString managerPath(); // /org/freedesktop/systemd1
    static QString managerInterface(); // org.freedesktop.systemd1.Manager

private Q_SLOTS:
    void onJobRemoved(uint id, const QDBusObjectPath &job, const QString &unit,
                      const QString &result);

private:
    friend class ::TestSystemdService;

    QDBusMessage callManager(const QString &method, const QVariantList &arguments,
                             bool interactive = false);
    // Sends `message` and waits for its answer, at most `timeoutMs`.
    QDBusMessage send(const QDBusMessage &message, int timeoutMs);
    // A pause that lets systemd's signals in.
    void pause(int ms);
    QString unitPath();

    QString m_unit; // the full unit name, e.g. "usbipd.service"
    QString m_lastError;
    QSet<QString> m_finishedJobs;
    int m_startTimeoutMs = 60000;
    Waiter m_waiter;
};

} // namespace OvraAdmin
