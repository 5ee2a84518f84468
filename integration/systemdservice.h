// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusObjectPath>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantList>

class QDBusMessage;
class TestSystemdService;

namespace OvraAdmin {

// One systemd unit, controlled through systemd's D-Bus interface on the
// system bus (org.freedesktop.systemd1). A unit name without a type suffix
// means a service: "usbipd" is "usbipd.service". Every call blocks until
// systemd answered; privileged calls (enable, start) let polkit ask the
// user for authorisation.
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
    QString unitPath();

    QString m_unit; // the full unit name, e.g. "usbipd.service"
    QString m_lastError;
    QSet<QString> m_finishedJobs;
    int m_startTimeoutMs = 60000;
};

} // namespace OvraAdmin
