// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

class QThread;
class FakeSystemdObject;

// A fake systemd on the (private) system bus: owns the name
// org.freedesktop.systemd1 on a connection of its own and answers, from a
// thread of its own, the calls that control one service unit (LoadUnit,
// GetUnit, GetUnitFileState, EnableUnitFiles, Reload, StartUnit, Subscribe,
// Unsubscribe, and the unit's ActiveState property). Because it runs in its
// own thread it also answers blocking calls made from the test's main thread
// and calls of child processes while the main thread waits for them.
//
// Start the PrivateBus first. Every call is recorded as text, e.g.
// "LoadUnit usbipd.service", "StartUnit usbipd.service replace",
// "EnableUnitFiles usbipd.service", "Get ActiveState".
class FakeSystemd
{
public:
    explicit FakeSystemd(const QString &unit = QStringLiteral("usbipd.service"));
    ~FakeSystemd();

    bool start();
    void stop();
    QString errorString() const { return m_error; }

    QString unit() const;

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

    // Whether a StartUnit job leaves the unit active (default) or failed.
    void setStartSucceeds(bool succeeds);
    // Whether EnableUnitFiles succeeds (default) or answers an error.
    void setEnableSucceeds(bool succeeds);
    // Whether StartUnit is refused with an access-denied error.
    void setStartRefused(bool refused);
    // Milliseconds the unit stays "activating" before the job finishes.
    void setStartDelay(int milliseconds);
    // Whether the JobRemoved signal is sent when a job finishes (default).
    void setSendsJobSignals(bool sends);

    QStringList calls() const;
    void clearCalls();
    // Index of the first call starting with `prefix`, -1 when none.
    int indexOfCall(const QString &prefix) const;

    static QString unitPath(const QString &unit);

private:
    friend class FakeSystemdObject;

    struct State
    {
        QString unit;
        QString activeState = QStringLiteral("inactive");
        QString unitFileState = QStringLiteral("enabled");
        bool startSucceeds = true;
        bool enableSucceeds = true;
        bool startRefused = false;
        bool sendsJobSignals = true;
        int startDelayMs = 0;
        uint nextJob = 1;
        QStringList calls;
    };

    mutable QMutex m_mutex;
    State m_state;
    QThread *m_thread = nullptr;
    FakeSystemdObject *m_object = nullptr;
    QString m_connectionName;
    QString m_error;
};
