// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

#include "polkitauthorizer.h"
#include "toolrunner.h"

struct ToolResult;

struct ManagerOptions
{
    static constexpr int DefaultToolTimeoutMs = 15000;
    // Well inside the bus's default reply time-out of 25 s.
    static constexpr int DefaultCallBudgetMs = 24000;
    // What a call's budget keeps beyond the tool's limit when a longer tool
    // limit stretches it: authorisation and the reply.
    static constexpr int CallBudgetMarginMs = 2000;

    // Folder of the constant-sharing and the constant-connections file.
    QString configDir;
    // Longest time one run of the usbip tool may take before it is killed.
    int toolTimeoutMs = DefaultToolTimeoutMs;
    // Every call is answered within this time after it arrived (authorisation
    // included).
    int callBudgetMs = DefaultCallBudgetMs;
};

// The object behind "/" of the Manager service. Its public slots are the
// bus methods (the generated adaptor calls them); every reply is sent later
// (delayed reply), after authorisation and the tool run, so the service's
// event loop never blocks. All file updates happen in the event loop's
// thread, one after the other, so concurrent clients never lose an update.
class ManagerService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    static constexpr char ShareAction[] = "org.ovra.admin.usbip.share";
    static constexpr char ConnectAction[] = "org.ovra.admin.usbip.connect";

    ManagerService(const ManagerOptions &options, const QDBusConnection &connection,
                   QObject *parent = nullptr);

    QString sharedDevicesPath() const;
    QString remoteDevicesPath() const;

    // Binds every local device listed in the constant-sharing file and
    // attaches every device of the constant-connections file that is not
    // attached yet. Failures are logged; no line is ever dropped. `done` is
    // called when everything has been tried.
    void restore(std::function<void()> done = {});

public Q_SLOTS:
    bool ShareDevice(const QString &busid, const QString &vidpid);
    bool UnshareDevice(const QString &busid, const QString &vidpid);
    bool ConnectDevice(const QString &usbipId, bool isConst);
    bool DisconnectDevice(const QString &usbipId, const QString &port);
    QString PortsInfo();

private:
    struct Call
    {
        QDBusMessage message;
        QElapsedTimer received;
    };

    // A change of a list file that follows a successful tool run: `entry` is
    // added to or removed from the file at `path` (no change when `path` is
    // empty); `failure` heads the Error sent when the file cannot follow.
    struct ListChange
    {
        enum Kind { Add, Remove };
        QString path;
        QString entry;
        Kind kind;
        QString failure;
    };

    bool rejectArguments(const QString &reason);
    Call takeCall();
    void authorize(const Call &call, const QString &actionId, std::function<void()> granted);
    void runTool(const Call &call, const QStringList &arguments,
                 std::function<void(const ToolResult &)> done);
    // Runs the tool for an authorised call: on failure the caller gets false
    // and an Error headed `failure`; on success `change` is applied and the
    // caller gets true. An addition whose list cannot be read runs nothing.
    void runAndRecord(const Call &call, const QStringList &arguments, const QString &failure,
                      const ListChange &change);
    void reply(const Call &call, const QVariant &value);
    void replyError(const Call &call, const QString &name, const QString &text);
    // Reports a failure to the calling client with the Error signal.
    void signalError(const Call &call, const QString &headline, const QString &message);

    void restoreShares(std::function<void()> next);
    void restoreConnections(std::function<void()> next);
    void runEach(const QList<QStringList> &commands, std::function<void()> done);

    ManagerOptions m_options;
    QDBusConnection m_connection;
    ToolRunner m_tool;
    PolkitAuthorizer m_authorizer;
    // PortsInfo calls waiting for the one running `usbip port`.
    QList<Call> m_portsWaiters;
};
