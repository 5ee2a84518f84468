// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakebusserver.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

#include <functional>

class FakeSystemdObject;

// A fake systemd on the (private) system bus: owns org.freedesktop.systemd1
// and answers the calls that check, enable, start and stop service units
// (LoadUnit, GetUnit, GetUnitFileState, EnableUnitFiles, Reload, StartUnit,
// StopUnit, RestartUnit, Subscribe, Unsubscribe, and the units' properties
// Id, ActiveState, SubState, LoadState and UnitFileState). It serves from a
// thread of its own (see FakeBusServer).
//
// It knows one unit, given to the constructor, and those added later; other
// units are unknown unless setOtherUnitsExist(). A job (start, stop,
// restart) leaves its unit "activating" or "deactivating" until it finishes
// after the start delay, then announces itself with JobRemoved.
//
// Start the private bus first. Every call is recorded as text, e.g.
// "LoadUnit usbipd.service", "StartUnit usbipd.service replace",
// "EnableUnitFiles usbipd.service", "Get ActiveState".
class FakeSystemd
{
public:
    // Called in the fake's thread when a job leaves `unit` active (true) or
    // stopped (false), just before the unit shows its new state.
    using ActiveHandler = std::function<void(const QString &unit, bool active)>;

    explicit FakeSystemd(const QString &unit = QStringLiteral("usbipd.service"));
    ~FakeSystemd();

    bool start();
    void stop();
    QString errorString() const { return m_server.errorString(); }

    QString unit() const;
    // Adds another unit, or sets a known one's state.
    void addUnit(const QString &unit, bool active, bool enabled);
    // Whether every unit not added exists too, loaded, active and enabled,
    // as on a full system (default: such units are unknown).
    void setOtherUnitsExist(bool exist) { set(m_otherUnitsExist, exist); }
    void setActiveHandler(const ActiveHandler &handler) { set(m_activeHandler, handler); }

    // The state of the constructor's unit.
    void setActive(bool active);
    bool isActive() const;
    // The raw ActiveState ("active", "inactive", "activating", "failed").
    QString activeState() const;
    void setEnabled(bool enabled);
    bool isEnabled() const;
    // The unit file state GetUnitFileState answers ("enabled", "disabled",
    // "static", ...); setEnabled sets "enabled" or "disabled".
    void setUnitFileState(const QString &state);
    QString unitFileState() const;

    // Whether a start or restart job leaves the unit active (default) or
    // failed.
    void setStartSucceeds(bool succeeds) { set(m_startSucceeds, succeeds); }
    // Whether EnableUnitFiles succeeds (default) or answers an error.
    void setEnableSucceeds(bool succeeds) { set(m_enableSucceeds, succeeds); }
    // Whether the job calls are refused with an access-denied error.
    void setStartRefused(bool refused) { set(m_startRefused, refused); }
    // Milliseconds a job takes; the unit is in between meanwhile.
    void setStartDelay(int milliseconds) { set(m_startDelayMs, milliseconds); }
    // Whether the JobRemoved signal is sent when a job finishes (default).
    void setSendsJobSignals(bool sends) { set(m_sendsJobSignals, sends); }

    QStringList calls() const;
    void clearCalls();
    // Index of the first call starting with `prefix`, -1 when none.
    int indexOfCall(const QString &prefix) const;

    // systemd's object path of a unit.
    static QString unitPath(const QString &unit);

private:
    friend class FakeSystemdObject;

    struct Unit
    {
        QString activeState;
        QString fileState;
    };

    // The unit named so, created when other units exist; nullptr when
    // unknown. Call with m_mutex held.
    Unit *findUnit(const QString &name);
    template <typename T>
    void set(T &field, const T &value)
    {
        QMutexLocker lock(&m_mutex);
        field = value;
    }

    mutable QMutex m_mutex;
    QString m_unit;
    QMap<QString, Unit> m_units;
    bool m_otherUnitsExist = false;
    bool m_startSucceeds = true;
    bool m_enableSucceeds = true;
    bool m_startRefused = false;
    bool m_sendsJobSignals = true;
    int m_startDelayMs = 0;
    uint m_nextJob = 1;
    QStringList m_calls;
    ActiveHandler m_activeHandler;

    // Last: it stops serving before the state its object reads goes.
    FakeBusServer m_server;
};
