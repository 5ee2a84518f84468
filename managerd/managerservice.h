// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "healer.h"
#include "managerarguments.h"
#include "ovrausbipmanager.h"
#include "platform.h"
#include "polkitauthorizer.h"
#include "shareaccess.h"
#include "sysfs.h"
#include "toolrunner.h"

struct ToolResult;

struct ManagerOptions
{
    static constexpr int DefaultToolTimeoutMs = 15000;
    // Well inside the bus's default reply time-out of 25 s; the program
    // waits this long and a margin.
    static constexpr int DefaultCallBudgetMs = OvraUsbIp::ManagerCallBudgetMs;
    // What a call's budget keeps beyond the tool's limit when a longer tool
    // limit stretches it: authorisation and the reply.
    static constexpr int CallBudgetMarginMs = 2000;
    // Below this much time left of a call's budget the tool is not started.
    static constexpr int MinimumToolTimeMs = 1000;
    // The least budget that leaves a tool its minimum after authorisation.
    static constexpr int MinimumCallBudgetMs = MinimumToolTimeMs + CallBudgetMarginMs;

    // The folder of the list files (constant shares, constant connections,
    // share access), and where the kernel's sysfs is (a stand-in tree in tests and the
    // sandbox).
    Platform platform;
    // Folder of the service's own records (which device each constant share
    // was made for).
    QString stateDir = QStringLiteral("/var/lib/ovra-admin-usbip");
    // Where `usbip attach` records the remote side of each port.
    QString vhciStateDir = QStringLiteral("/var/run/vhci_hcd");
    // The program that loads a kernel module, given the module's name.
    QString modprobe = QStringLiteral("/sbin/modprobe");
    // nftables' tool, which takes the share-access rules on standard input
    // (`nft -f -`).
    QString nft = QStringLiteral("/usr/sbin/nft");
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
    ManagerService(const ManagerOptions &options, const QDBusConnection &connection,
                   QObject *parent = nullptr);
    ~ManagerService() override;

    QString sharedDevicesPath() const;
    QString remoteDevicesPath() const;
    QString shareRecordsPath() const;
    QString shareAccessPath() const;

    // Removes what an interrupted write of the lists can leave beside them:
    // the temporary files of our own ("shared-usb-devices.ovra-new-AbC123"). Call it
    // only once the bus name is ours, so no other instance is writing.
    void removeStaleTemporaryFiles();

    // Binds every local device listed in the constant-sharing file (of a
    // model with records, only the devices recorded) and attaches every
    // device of the constant-connections file that is not attached yet.
    // Failures are logged; no line is ever dropped. `done` is called when
    // everything has been tried.
    void restore(std::function<void()> done = {});

    // Puts the share-access file's setting in force in the packet filter
    // (only this machine while the file is broken), after the changes that
    // wait already. `done` gets whether nft took the rules.
    void applyShareAccess(std::function<void(bool)> done = {});
    // Keeps the constant connections attached and the constant shares bound
    // from now on (see Healer).
    void startHealing();

Q_SIGNALS:
    // A bind or unbind ran, whoever asked for it (a client, the restore, the
    // healing), also one that failed: what is shared may have changed.
    void sharedDevicesChanged();
    // A constant connection was lost (false) or is attached again (true);
    // relayed to the bus by the adaptor, to every listener.
    void ConnectionChanged(const QString &deviceId, bool attached);

public Q_SLOTS:
    bool ShareDevice(const QString &busId, const QString &vidPid);
    bool UnshareDevice(const QString &busId, const QString &vidPid);
    bool ConnectDevice(const QString &usbipId, bool isConst);
    bool DisconnectDevice(const QString &usbipId, const QString &port);
    QString PortsInfo();
    // Who may attach the shared devices: restricted (this machine and the
    // hosts) or not; the hosts in canonical form, kept also while unrestricted.
    bool ShareAccess(QStringList &hosts);
    bool SetShareAccess(bool restricted, const QStringList &hosts);

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

    struct PortsWaiter
    {
        Call call;
        // The port state the caller asked about (see m_portsGeneration).
        quint64 generation;
    };

    struct PortsResult
    {
        QString text;
        QElapsedTimer age; // started when the tool was
        quint64 generation = 0;
        bool valid = false;
    };

    // One change of who may attach, done after the one before has ended: a
    // call's (the rules, then the file) or the start's (the rules only).
    struct AccessChange
    {
        Call call;
        bool fromCall = false;
        Access::Setting setting;
        std::function<void(bool)> done;
    };

    struct RejectLog
    {
        QElapsedTimer since;
        int count = 0;
    };

    bool rejectArguments(const QString &reason);
    // Whether one more line about a refused call of `caller` goes to the log.
    bool logRejection(const QString &caller);
    Call takeCall();
    void authorize(const Call &call, const QString &actionId, std::function<void()> granted);
    // How long a tool may run for `call`; -1, after answering the call with
    // an error, when too little is left of its budget.
    int toolLimit(const Call &call);
    // False, with the call answered and `done` never called, when too little
    // is left of the call's budget to start the tool.
    bool runTool(const Call &call, const QStringList &arguments,
                 std::function<void(const ToolResult &)> done);
    void runUsbip(const QStringList &arguments, int timeoutMs, ToolRunner::Callback done);
    // Loads `module` unless it is loaded; `done` gets an empty text, or why
    // the module is not available.
    void loadModule(const QString &module, int timeoutMs,
                    std::function<void(const QString &)> done);
    // Goes on with `next` once `module` is loaded; otherwise answers the call
    // with the ModuleUnavailable error.
    void withModule(const Call &call, const char *module, std::function<void()> next);

    void share(const Call &call, const QString &busId, const QString &vidPid);
    void unshare(const Call &call, const QString &busId, const QString &vidPid);
    void connectDevice(const Call &call, const QString &usbipId, bool isConst);
    // The device `usbipId` wherever the kernel shows it attached, else on
    // `port` (none when empty).
    void disconnectDevice(const Call &call, const QString &usbipId, const QString &port);
    // `finished` learns whether the port was detached.
    void disconnectPort(const Call &call, const QString &usbipId, const QString &port,
                        std::function<void(bool)> finished = {});
    // Whether the kernel shows the device attached (from its port table and
    // the tool's records, no tool run); false also when that cannot be told.
    bool isAttached(const ManagerArguments::DeviceId &device) const;
    // The port to detach for a disconnect of `device` that names `port`:
    // the one the kernel shows the device on; else `port`, unless the
    // kernel's record says it holds another device; empty for none.
    QString portToDetach(const ManagerArguments::DeviceId &device, const QString &port) const;
    bool recordConstantShare(const QString &vidPid, const QString &serial, QString *error);
    bool forgetConstantShare(const QString &vidPid, const QString &serial, QString *error);
    // Whether `usbip bind -b busId` left the device shared (now or before). A
    // bind that failed otherwise gives the device back to its usual driver:
    // the tool may have taken it before it failed, and the disk would be gone.
    bool settleBind(const QString &busId, const ToolResult &result);

    void readPorts();
    void logPortsProblem(const QString &problem);
    // Runs the tool for an authorised call: on failure the caller gets false
    // and an Error headed `failure`; on success `change` is applied and the
    // caller gets true. An addition whose list cannot be read runs nothing.
    // `finished` learns, after the answer, whether the tool succeeded.
    void runAndRecord(const Call &call, const QStringList &arguments, const QString &failure,
                      const ListChange &change, std::function<void(bool)> finished = {});
    // Applies `change` (if it names a list); an Error signal when it cannot.
    void recordChange(const Call &call, const ListChange &change);
    void reply(const Call &call, const QVariant &value);
    void replyError(const Call &call, const QString &name, const QString &text);
    // Reports a failure to the calling client with the Error signal; a long
    // `text` is cut.
    void signalError(const Call &call, const QString &headline, const QString &text);

    void queueAccessChange(const AccessChange &change);
    void nextAccessChange();
    void changeAccess(const AccessChange &change);
    void runNft(const Access::Setting &setting, int timeoutMs, ToolRunner::Callback done);

    void restoreShares(std::function<void()> next);
    void restoreConnections(std::function<void()> next);
    void runEach(const QList<QStringList> &commands, std::function<void()> done);

    ManagerOptions m_options;
    QDBusConnection m_connection;
    Sysfs m_sysfs;
    ToolRunner m_tool;
    ToolRunner m_loader;
    ToolRunner m_nft;
    PolkitAuthorizer m_authorizer;
    // PortsInfo calls waiting for the one running `usbip port`.
    QList<PortsWaiter> m_portsWaiters;
    bool m_portsRunning = false;
    // Counts the attach and detach runs that ended: a port table read
    // before one of them ended is no answer for a call that came after.
    quint64 m_portsGeneration = 0;
    PortsResult m_ports;
    QString m_portsProblem;
    QHash<QString, RejectLog> m_rejectLog;
    QList<AccessChange> m_accessChanges;
    bool m_accessBusy = false;
    // Last: it goes before the tools it uses.
    std::unique_ptr<Healer> m_healer;
};
