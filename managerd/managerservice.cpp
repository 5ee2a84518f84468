// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerservice.h"

#include "accesshosts.h"
#include "listfile.h"
#include "managerarguments.h"
#include "outsidetext.h"
#include "ovrausbipmanager.h"
#include "sharerecords.h"
#include "usbipgrammar.h"

#include <QDBusError>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>

#include <memory>

Q_LOGGING_CATEGORY(lcManager, "ovra.managerd", QtInfoMsg)

using ManagerArguments::quoted;

namespace {

constexpr int MinimumToolTimeMs = ManagerOptions::MinimumToolTimeMs;
// Anyone may ask for the port table: however many ask, the tool runs at
// most about four times a second.
constexpr int PortsInfoMaxAgeMs = 250;
// Lines about refused calls in the log, per caller: a few, then silence for
// the rest of the window.
constexpr int RejectLogBurst = 5;
constexpr int RejectLogWindowMs = 10000;
constexpr int RejectLogCallers = 1024;
// How much of a tool's standard error an Error signal and its log line carry.
constexpr int MaxErrorMessageChars = 4096;

// A tool's standard error can run to the runner's output limit: a message
// carries its start, cleaned like every outside text.
QString cutMessage(const QString &text)
{
    return OutsideText::cleaned(text, MaxErrorMessageChars, OutsideText::Lines::Kept);
}

// Why the arguments of ShareDevice/UnshareDevice are refused; empty when they
// are good (a vid:pid may be empty: the share is for the session).
QString shareArgumentsProblem(const QString &busId, const QString &vidPid)
{
    if (!ManagerArguments::isBusId(busId))
        return QStringLiteral("Invalid bus id %1.").arg(quoted(busId));
    if (!vidPid.isEmpty() && !ManagerArguments::isVidPid(vidPid))
        return QStringLiteral("Invalid vid:pid %1.").arg(quoted(vidPid));
    return QString();
}

} // namespace

ManagerService::ManagerService(const ManagerOptions &options, const QDBusConnection &connection,
                               QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_connection(connection)
    , m_sysfs(options.platform.sysfsRoot, options.vhciStateDir)
    , m_authorizer(connection)
{
    m_loader.setProgram(m_options.modprobe);
    m_nft.setProgram(m_options.nft);
    Healer::Tools tools;
    tools.runUsbip = [this](const QStringList &arguments, int timeoutMs,
                            ToolRunner::Callback done) {
        runUsbip(arguments, timeoutMs, done);
    };
    tools.loadModule = [this](const QString &module, int timeoutMs,
                              std::function<void(const QString &)> done) {
        loadModule(module, timeoutMs, done);
    };
    tools.settleBind = [this](const QString &busId, const ToolResult &result) {
        return settleBind(busId, result);
    };
    m_healer = std::make_unique<Healer>(m_sysfs,
                                        Healer::Files{remoteDevicesPath(), sharedDevicesPath(),
                                                      shareRecordsPath()},
                                        m_options.toolTimeoutMs, tools);
    connect(m_healer.get(), &Healer::connectionChanged, this, &ManagerService::ConnectionChanged);
}

ManagerService::~ManagerService() = default;

QString ManagerService::sharedDevicesPath() const
{
    return m_options.platform.sharedDevicesPath();
}

QString ManagerService::remoteDevicesPath() const
{
    return m_options.platform.remoteDevicesPath();
}

QString ManagerService::shareRecordsPath() const
{
    return m_options.stateDir + QStringLiteral("/shared-device-serials");
}

QString ManagerService::shareAccessPath() const
{
    return m_options.platform.shareAccessPath();
}

void ManagerService::removeStaleTemporaryFiles()
{
    for (const QString &path :
         {sharedDevicesPath(), remoteDevicesPath(), shareRecordsPath(), shareAccessPath()}) {
        const QStringList stale = ListFile(path).staleTemporaryFiles();
        for (const QString &temporary : stale) {
            if (QFile::remove(temporary))
                qCInfo(lcManager).noquote() << "removed the stale temporary file" << temporary;
            else
                qCWarning(lcManager).noquote()
                    << "cannot remove the stale temporary file" << temporary;
        }
    }
}

// ---- bus methods ---------------------------------------------------------

bool ManagerService::ShareDevice(const QString &busId, const QString &vidPid)
{
    if (!calledFromDBus())
        return false;
    const QString problem = shareArgumentsProblem(busId, vidPid);
    if (!problem.isEmpty())
        return rejectArguments(problem);

    const Call call = takeCall();
    authorize(call, QLatin1String(OvraUsbIp::ShareAction), [this, call, busId, vidPid]() {
        share(call, busId, vidPid);
    });
    return false;
}

bool ManagerService::UnshareDevice(const QString &busId, const QString &vidPid)
{
    if (!calledFromDBus())
        return false;
    const QString problem = shareArgumentsProblem(busId, vidPid);
    if (!problem.isEmpty())
        return rejectArguments(problem);

    const Call call = takeCall();
    authorize(call, QLatin1String(OvraUsbIp::ShareAction), [this, call, busId, vidPid]() {
        unshare(call, busId, vidPid);
    });
    return false;
}

bool ManagerService::ConnectDevice(const QString &usbipId, bool isConst)
{
    if (!calledFromDBus())
        return false;
    ManagerArguments::DeviceId device;
    QString reason;
    if (!ManagerArguments::parseDeviceId(usbipId, &device, &reason))
        return rejectArguments(
            QStringLiteral("Invalid device id %1: %2").arg(quoted(usbipId), reason));

    const Call call = takeCall();
    authorize(call, QLatin1String(OvraUsbIp::ConnectAction), [this, call, usbipId, isConst]() {
        withModule(call, Sysfs::VhciModule, [this, call, usbipId, isConst]() {
            connectDevice(call, usbipId, isConst);
        });
    });
    return false;
}

bool ManagerService::DisconnectDevice(const QString &usbipId, const QString &port)
{
    if (!calledFromDBus())
        return false;
    // Without a port the device must be named: the service looks it up.
    if (usbipId.isEmpty() ? !ManagerArguments::isPort(port)
                          : !port.isEmpty() && !ManagerArguments::isPort(port))
        return rejectArguments(QStringLiteral("Invalid port %1.").arg(quoted(port)));
    QString reason;
    if (!usbipId.isEmpty() && !ManagerArguments::parseDeviceId(usbipId, nullptr, &reason))
        return rejectArguments(
            QStringLiteral("Invalid device id %1: %2").arg(quoted(usbipId), reason));

    const Call call = takeCall();
    authorize(call, QLatin1String(OvraUsbIp::ConnectAction), [this, call, usbipId, port]() {
        const std::function<void()> next = [this, call, usbipId, port]() {
            if (usbipId.isEmpty())
                disconnectPort(call, usbipId, port);
            else
                disconnectDevice(call, usbipId, port);
        };
        // Without vhci-hcd nothing is attached: a device without a port is
        // only forgotten.
        if (port.isEmpty() && !m_sysfs.isModuleLoaded(QLatin1String(Sysfs::VhciModule)))
            next();
        else
            withModule(call, Sysfs::VhciModule, next);
    });
    return false;
}

bool ManagerService::ShareAccess(QStringList &hosts)
{
    Access::Setting setting;
    QString error;
    if (!Access::read(shareAccessPath(), &setting, &error)) {
        if (calledFromDBus())
            sendErrorReply(QLatin1String(OvraUsbIp::AccessListBrokenError),
                           QStringLiteral("The access list is broken (%1); until who may attach "
                                          "is set again, only this machine may attach.")
                               .arg(error));
        return false;
    }
    hosts = setting.hosts;
    return setting.restricted;
}

bool ManagerService::SetShareAccess(bool restricted, const QStringList &hosts)
{
    if (!calledFromDBus())
        return false;
    AccessChange change;
    change.fromCall = true;
    change.setting.restricted = restricted;
    const AccessHosts::List checked = AccessHosts::canonicalHosts(hosts);
    if (!checked.isValid())
        return rejectArguments(checked.reason);
    change.setting.hosts = checked.canonical;

    change.call = takeCall();
    authorize(change.call, QLatin1String(OvraUsbIp::AccessAction), [this, change]() {
        queueAccessChange(change);
    });
    return false;
}

// ---- who may attach --------------------------------------------------------

void ManagerService::applyShareAccess(std::function<void(bool)> done)
{
    AccessChange change;
    QString error;
    change.setting = Access::inForce(shareAccessPath(), &error);
    if (!error.isEmpty())
        qCWarning(lcManager).noquote()
            << "the access list is broken:" << error
            << "- only this machine may attach until who may attach is set again";
    change.done = std::move(done);
    queueAccessChange(change);
}

void ManagerService::queueAccessChange(const AccessChange &change)
{
    // One at a time, in order: the rules in force always follow the last
    // file written.
    m_accessChanges.append(change);
    if (!m_accessBusy)
        nextAccessChange();
}

void ManagerService::nextAccessChange()
{
    m_accessBusy = !m_accessChanges.isEmpty();
    if (m_accessBusy)
        changeAccess(m_accessChanges.takeFirst());
}

void ManagerService::changeAccess(const AccessChange &change)
{
    if (!change.fromCall) {
        runNft(change.setting, m_options.toolTimeoutMs, [this, change](const ToolResult &result) {
            if (result.succeeded())
                qCInfo(lcManager).noquote()
                    << "share access in force:" << Access::describe(change.setting);
            else
                qCWarning(lcManager).noquote()
                    << "cannot put the share access in force (" << Access::describe(change.setting)
                    << "):" << result.failureText();
            if (change.done)
                change.done(result.succeeded());
            nextAccessChange();
        });
        return;
    }

    const Call call = change.call;
    auto fail = [this, call](const QString &text) {
        qCWarning(lcManager).noquote() << text;
        replyError(call, QLatin1String(OvraUsbIp::AccessNotAppliedError), text);
        nextAccessChange();
    };
    const int limit = toolLimit(call);
    if (limit < 0) {
        nextAccessChange();
        return;
    }
    // The new list is written before the rules change, and put in place
    // after: a list that cannot be written changes nothing.
    QString error;
    const std::shared_ptr<ListFile::Replacement> replacement =
        ListFile(shareAccessPath(), UsbIpGrammar::AccessListRules)
            .prepareReplacement(Access::fileContent(change.setting), &error);
    if (!replacement) {
        fail(QStringLiteral("Who may attach stays as it was: the access list cannot be saved. %1")
                 .arg(error));
        return;
    }
    qCInfo(lcManager).noquote() << "changing the share access:" << Access::describe(change.setting);
    runNft(
        change.setting, limit, [this, call, change, replacement, fail](const ToolResult &result) {
            if (!result.succeeded()) {
                fail(
                    QStringLiteral("Who may attach stays as it was: the packet filter did not take "
                                   "the new rules. %1")
                        .arg(cutMessage(result.failureText())));
                return;
            }
            QString error;
            if (!replacement->commit(&error)) {
                // The rules follow the list again: those of the list in place.
                const Access::Setting old = Access::inForce(shareAccessPath());
                // In what is left of the client's wait, but given its chance
                // even when little is: rules that differ from the list
                // must not stay.
                const qint64 left = m_options.callBudgetMs - call.received.elapsed();
                const int rollbackMs = static_cast<int>(
                    qMax<qint64>(MinimumToolTimeMs, qMin<qint64>(m_options.toolTimeoutMs, left)));
                runNft(old, rollbackMs, [fail, error](const ToolResult &back) {
                    fail(
                        QStringLiteral("Who may attach stays as it was: the access list cannot be "
                                       "saved. %1%2")
                            .arg(error, back.succeeded()
                                            ? QString()
                                            : QStringLiteral(" Its rules could not be put back: %1")
                                                  .arg(back.failureText())));
                });
                return;
            }
            reply(call, true);
            nextAccessChange();
        });
}

void ManagerService::runNft(const Access::Setting &setting, int timeoutMs,
                            ToolRunner::Callback done)
{
    m_nft.run({QStringLiteral("-f"), QStringLiteral("-")}, timeoutMs, std::move(done),
              Access::nftScript(setting));
}

// ---- helpers -------------------------------------------------------------

void ManagerService::share(const Call &call, const QString &busId, const QString &vidPid)
{
    const QString failure = QStringLiteral("Cannot share the device %1.").arg(busId);
    const bool constant = !vidPid.isEmpty();
    if (constant) {
        // Running the tool now would give a share that silently is not
        // constant: refuse while its files cannot be read.
        QStringList lines;
        ShareRecords::Map records;
        QString error;
        if (!ListFile(sharedDevicesPath()).read(&lines, &error)
            || !ShareRecords(shareRecordsPath()).read(&records, &error)) {
            signalError(call, failure, error);
            reply(call, false);
            return;
        }
    }
    withModule(call, Sysfs::UsbipHostModule, [this, call, busId, vidPid, failure, constant]() {
        m_healer->holdShare(busId, [this, call, busId, vidPid, failure, constant]() {
            const QString serial = m_sysfs.serial(busId);
            const bool ran =
                runTool(call, {QStringLiteral("bind"), QStringLiteral("-b"), busId},
                        [this, call, busId, vidPid, failure, constant,
                         serial](const ToolResult &result) {
                            if (!result.succeeded()) {
                                // Shared before, it stays so; this call still failed.
                                settleBind(busId, result);
                                signalError(call, failure, result.failureText());
                                reply(call, false);
                            } else {
                                QString error;
                                if (constant && !recordConstantShare(vidPid, serial, &error))
                                    signalError(call,
                                                QStringLiteral("The device %1 is shared, but not "
                                                               "constantly.")
                                                    .arg(busId),
                                                error);
                                reply(call, true);
                            }
                            m_healer->releaseShare(busId, false);
                        });
            if (!ran)
                m_healer->releaseShare(busId, false);
        });
    });
}

void ManagerService::unshare(const Call &call, const QString &busId, const QString &vidPid)
{
    withModule(call, Sysfs::UsbipHostModule, [this, call, busId, vidPid]() {
        // Unshared by a client, the device stays so until one shares it again.
        m_healer->holdShare(busId, [this, call, busId, vidPid]() {
            const QString serial = m_sysfs.serial(busId);
            const bool ran = runTool(
                call, {QStringLiteral("unbind"), QStringLiteral("-b"), busId},
                [this, call, busId, vidPid, serial](const ToolResult &result) {
                    if (!result.succeeded()) {
                        signalError(call,
                                    QStringLiteral("Cannot unshare the device %1.").arg(busId),
                                    result.failureText());
                        reply(call, false);
                    } else {
                        QString error;
                        if (!vidPid.isEmpty() && !forgetConstantShare(vidPid, serial, &error))
                            signalError(call,
                                        QStringLiteral("The device %1 is unshared, but stays in "
                                                       "the list of constant shares.")
                                            .arg(busId),
                                        error);
                        reply(call, true);
                    }
                    m_healer->releaseShare(busId, result.succeeded());
                });
            if (!ran)
                m_healer->releaseShare(busId, false);
        });
    });
}

bool ManagerService::recordConstantShare(const QString &vidPid, const QString &serial,
                                         QString *error)
{
    ListFile list(sharedDevicesPath());
    QStringList lines;
    if (!list.read(&lines, error))
        return false;
    // The record goes first: a model listed without its record would bind
    // every device of the model at the next start.
    return ShareRecords(shareRecordsPath()).add(vidPid, serial, lines.contains(vidPid), error)
        && list.add(vidPid, error);
}

bool ManagerService::forgetConstantShare(const QString &vidPid, const QString &serial,
                                         QString *error)
{
    ShareRecords records(shareRecordsPath());
    ShareRecords::Map recorded;
    if (!records.read(&recorded, error))
        return false;
    QStringList others = recorded.values(vidPid);
    const bool wasRecorded = others.removeAll(serial) > 0;
    // While another device of the model stays shared constantly, its model
    // stays listed. The line goes before the record: a record without its
    // line is ignored, a line without records would bind the whole model.
    if (others.isEmpty() && !ListFile(sharedDevicesPath()).remove(vidPid, error))
        return false;
    return !wasRecorded || records.remove(vidPid, serial, error);
}

bool ManagerService::settleBind(const QString &busId, const ToolResult &result)
{
    if (result.succeeded() || result.standardError.contains(UsbIpGrammar::AlreadyBound))
        return true;
    QString error;
    if (m_sysfs.reprobe(busId, &error))
        qCInfo(lcManager).noquote() << "handed the device" << busId << "back to its driver";
    else
        qCWarning(lcManager).noquote()
            << "cannot hand the device" << busId << "back to its driver:" << error;
    return false;
}

void ManagerService::connectDevice(const Call &call, const QString &usbipId, bool isConst)
{
    ManagerArguments::DeviceId device;
    ManagerArguments::parseDeviceId(usbipId, &device);
    // An attach of the healer's own may be on its way: it ends first.
    m_healer->holdConnection(usbipId, [this, call, usbipId, isConst, device]() {
        const ListChange change{
            isConst ? remoteDevicesPath() : QString(), usbipId, ListChange::Add,
            QStringLiteral("The device %1 is connected, but not constantly.").arg(usbipId)};
        auto finished = [this, usbipId](bool) {
            m_healer->releaseConnection(usbipId, false);
        };
        if (isAttached(device)) {
            // Attached before (by the healer, say): not a second time.
            qCInfo(lcManager).noquote() << "the device" << usbipId << "is attached already";
            recordChange(call, change);
            reply(call, true);
            finished(true);
            return;
        }
        runAndRecord(call,
                     {QStringLiteral("attach"), QStringLiteral("-r"), device.host,
                      QStringLiteral("-b"), device.busId},
                     QStringLiteral("Cannot connect the device %1.").arg(usbipId), change,
                     finished);
    });
}

void ManagerService::disconnectDevice(const Call &call, const QString &usbipId, const QString &port)
{
    ManagerArguments::DeviceId device;
    ManagerArguments::parseDeviceId(usbipId, &device);
    // Healing stops at once; an attach of the healer's own that is on its
    // way ends first, and is undone below like any other attachment.
    m_healer->holdConnection(usbipId, [this, call, usbipId, port, device]() {
        auto finished = [this, usbipId](bool detached) {
            m_healer->releaseConnection(usbipId, detached);
        };
        const QString target = portToDetach(device, port);
        if (!target.isEmpty()) {
            disconnectPort(call, usbipId, target, finished);
            return;
        }
        qCInfo(lcManager).noquote()
            << "the device" << usbipId << "is not attached: it is only forgotten";
        recordChange(call, {remoteDevicesPath(), usbipId, ListChange::Remove,
                            QStringLiteral("The device %1 stays in the list of constant "
                                           "connections.")
                                .arg(usbipId)});
        reply(call, true);
        finished(true);
    });
}

bool ManagerService::isAttached(const ManagerArguments::DeviceId &device) const
{
    QList<Sysfs::ImportedPort> ports;
    return m_sysfs.importedPorts(&ports)
        && Sysfs::findImported(ports, device.host, device.busId) != nullptr;
}

QString ManagerService::portToDetach(const ManagerArguments::DeviceId &device,
                                     const QString &port) const
{
    QList<Sysfs::ImportedPort> ports;
    if (!m_sysfs.importedPorts(&ports))
        return port; // the caller's word is all there is
    if (const Sysfs::ImportedPort *imported = Sysfs::findImported(ports, device.host, device.busId))
        return QString::number(imported->port);
    for (const Sysfs::ImportedPort &imported : qAsConst(ports)) {
        if (!port.isEmpty() && imported.port == port.toInt() && !imported.host.isEmpty()) {
            qCInfo(lcManager).noquote()
                << "port" << port << "holds" << imported.host + QLatin1Char('/') + imported.busId
                << "now, not the device to disconnect: it stays attached";
            return QString();
        }
    }
    return port;
}

void ManagerService::disconnectPort(const Call &call, const QString &usbipId, const QString &port,
                                    std::function<void(bool)> finished)
{
    // `usbip detach` reports success for a port number the machine does not
    // have: ask the driver how many ports there are.
    QString error;
    const int count = m_sysfs.vhciPortCount(&error);
    if (count < 0) {
        qCWarning(lcManager).noquote() << "cannot count the virtual ports:" << error;
        replyError(call, QDBusError::errorString(QDBusError::Failed),
                   QStringLiteral("Cannot tell whether port %1 exists: %2").arg(port, error));
    } else if (port.toInt() >= count) {
        replyError(call, QDBusError::errorString(QDBusError::InvalidArgs),
                   QStringLiteral("Port %1 does not exist: this machine has %2 virtual ports.")
                       .arg(port)
                       .arg(count));
    } else {
        runAndRecord(call, {QStringLiteral("detach"), QStringLiteral("-p"), port},
                     QStringLiteral("Cannot disconnect port %1.").arg(port),
                     {usbipId.isEmpty() ? QString() : remoteDevicesPath(), usbipId,
                      ListChange::Remove,
                      QStringLiteral("Port %1 is disconnected, but %2 stays in the list of "
                                     "constant connections.")
                          .arg(port, usbipId)},
                     finished);
        return;
    }
    if (finished)
        finished(false);
}

void ManagerService::runAndRecord(const Call &call, const QStringList &arguments,
                                  const QString &failure, const ListChange &change,
                                  std::function<void(bool)> finished)
{
    if (change.kind == ListChange::Add && !change.path.isEmpty()) {
        // Running the tool now would give a share or connection that
        // silently is not constant: refuse while its list cannot be read.
        QStringList lines;
        QString error;
        if (!ListFile(change.path).read(&lines, &error)) {
            signalError(call, failure, error);
            reply(call, false);
            if (finished)
                finished(false);
            return;
        }
    }
    const bool ran =
        runTool(call, arguments, [this, call, failure, change, finished](const ToolResult &result) {
            if (!result.succeeded()) {
                signalError(call, failure, result.failureText());
                reply(call, false);
            } else {
                recordChange(call, change);
                // The device's state did change, even when its list could not follow.
                reply(call, true);
            }
            if (finished)
                finished(result.succeeded());
        });
    if (!ran && finished)
        finished(false);
}

void ManagerService::recordChange(const Call &call, const ListChange &change)
{
    if (change.path.isEmpty())
        return;
    ListFile file(change.path);
    QString error;
    const bool recorded = change.kind == ListChange::Add ? file.add(change.entry, &error)
                                                         : file.remove(change.entry, &error);
    if (!recorded)
        signalError(call, change.failure, error);
}

QString ManagerService::PortsInfo()
{
    if (!calledFromDBus())
        return QString();
    const Call call = takeCall();
    if (m_ports.valid && m_ports.generation == m_portsGeneration
        && !m_ports.age.hasExpired(PortsInfoMaxAgeMs)) {
        reply(call, m_ports.text);
        return QString();
    }
    // Many clients asking at once share one run of the tool.
    m_portsWaiters.append({call, m_portsGeneration});
    if (!m_portsRunning)
        readPorts();
    return QString();
}

void ManagerService::readPorts()
{
    m_portsRunning = true;
    const quint64 generation = m_portsGeneration;
    QElapsedTimer started;
    started.start();
    const int limit =
        qMax(1, qMin(m_options.toolTimeoutMs, m_options.callBudgetMs - MinimumToolTimeMs));
    auto finish = [this, generation, started](const QString &text) {
        m_portsRunning = false;
        m_ports.text = text;
        m_ports.age = started;
        m_ports.generation = generation;
        m_ports.valid = true;
        QList<PortsWaiter> later;
        for (const PortsWaiter &waiter : qAsConst(m_portsWaiters)) {
            if (waiter.generation <= generation)
                reply(waiter.call, text);
            else
                later.append(waiter); // asked after an attach or detach had ended
        }
        m_portsWaiters = later;
        if (!m_portsWaiters.isEmpty())
            readPorts();
    };
    loadModule(
        QLatin1String(Sysfs::VhciModule), limit, [this, limit, finish](const QString &problem) {
            if (!problem.isEmpty()) {
                // Without vhci-hcd nothing can be attached: the table is empty,
                // as the tool itself answers then. The table is polled, so this
                // is logged rather than answered as an error.
                logPortsProblem(problem);
                finish(QString());
                return;
            }
            runUsbip({QStringLiteral("port")}, limit, [this, finish](const ToolResult &result) {
                if (result.succeeded())
                    m_portsProblem.clear();
                else
                    logPortsProblem(QStringLiteral("usbip port: ") + result.failureText());
                finish(QString::fromUtf8(result.standardOutput));
            });
        });
}

void ManagerService::logPortsProblem(const QString &problem)
{
    // Polled by every window: the same failure is logged once.
    if (problem == m_portsProblem)
        return;
    m_portsProblem = problem;
    qCWarning(lcManager).noquote() << problem;
}

// ---- call plumbing -------------------------------------------------------

bool ManagerService::rejectArguments(const QString &reason)
{
    if (logRejection(message().service()))
        qCInfo(lcManager).noquote() << "rejected a call of" << message().member() << "from"
                                    << message().service() << ":" << reason;
    sendErrorReply(QDBusError::InvalidArgs, reason);
    return false;
}

bool ManagerService::logRejection(const QString &caller)
{
    auto entry = m_rejectLog.find(caller);
    if (entry == m_rejectLog.end() || entry->since.hasExpired(RejectLogWindowMs)) {
        if (m_rejectLog.size() >= RejectLogCallers) {
            for (auto it = m_rejectLog.begin(); it != m_rejectLog.end();) {
                if (it->since.hasExpired(RejectLogWindowMs))
                    it = m_rejectLog.erase(it);
                else
                    ++it;
            }
            if (m_rejectLog.size() >= RejectLogCallers)
                m_rejectLog.clear(); // a flood of callers: start over rather than grow
        }
        RejectLog fresh;
        fresh.since.start();
        entry = m_rejectLog.insert(caller, fresh);
    }
    ++entry->count;
    if (entry->count == RejectLogBurst + 1)
        qCInfo(lcManager).noquote()
            << "further refused calls from" << caller << "are not logged for"
            << (RejectLogWindowMs - entry->since.elapsed()) / 1000 << "s";
    return entry->count <= RejectLogBurst;
}

ManagerService::Call ManagerService::takeCall()
{
    setDelayedReply(true);
    Call call;
    call.message = message();
    call.received.start();
    return call;
}

void ManagerService::authorize(const Call &call, const QString &actionId,
                               std::function<void()> granted)
{
    m_authorizer.check(actionId, call.message.service(), m_options.callBudgetMs,
                       [this, call, actionId, granted](PolkitAuthorizer::Outcome outcome,
                                                       const QString &reason) {
                           if (outcome != PolkitAuthorizer::Outcome::Allowed) {
                               if (logRejection(call.message.service()))
                                   qCInfo(lcManager).noquote()
                                       << actionId << "refused for" << call.message.service() << ":"
                                       << reason;
                               replyError(call, QDBusError::errorString(QDBusError::AccessDenied),
                                          reason);
                               return;
                           }
                           granted();
                       });
}

int ManagerService::toolLimit(const Call &call)
{
    const qint64 left = m_options.callBudgetMs - call.received.elapsed();
    if (left < MinimumToolTimeMs) {
        // The client has given up waiting by now: do nothing it does not know of.
        replyError(call, QDBusError::errorString(QDBusError::Timeout),
                   QStringLiteral("The call took too long before it could run; nothing was done."));
        return -1;
    }
    return static_cast<int>(qMin<qint64>(m_options.toolTimeoutMs, left));
}

bool ManagerService::runTool(const Call &call, const QStringList &arguments,
                             std::function<void(const ToolResult &)> done)
{
    const int limit = toolLimit(call);
    if (limit < 0)
        return false;
    qCInfo(lcManager).noquote() << "running usbip" << arguments.join(QLatin1Char(' '));
    runUsbip(arguments, limit, std::move(done));
    return true;
}

void ManagerService::runUsbip(const QStringList &arguments, int timeoutMs,
                              ToolRunner::Callback done)
{
    const QString command = arguments.value(0);
    const bool changesPorts =
        command == QLatin1String("attach") || command == QLatin1String("detach");
    const bool changesShares =
        command == QLatin1String("bind") || command == QLatin1String("unbind");
    m_tool.run(arguments, timeoutMs,
               [this, changesPorts, changesShares, done](const ToolResult &result) {
                   if (changesPorts)
                       ++m_portsGeneration;
                   if (changesShares)
                       Q_EMIT sharedDevicesChanged();
                   done(result);
               });
}

void ManagerService::loadModule(const QString &module, int timeoutMs,
                                std::function<void(const QString &)> done)
{
    if (m_sysfs.isModuleLoaded(module)) {
        done(QString());
        return;
    }
    qCInfo(lcManager).noquote() << "loading the kernel module" << module;
    m_loader.run({module}, timeoutMs, [module, done](const ToolResult &result) {
        done(result.succeeded() ? QString()
                                : QStringLiteral("the kernel module %1 is not available: %2")
                                      .arg(module, result.failureText()));
    });
}

void ManagerService::withModule(const Call &call, const char *module, std::function<void()> next)
{
    if (m_sysfs.isModuleLoaded(QLatin1String(module))) {
        next();
        return;
    }
    const int limit = toolLimit(call);
    if (limit < 0)
        return;
    loadModule(QLatin1String(module), limit, [this, call, next](const QString &problem) {
        if (problem.isEmpty()) {
            next();
            return;
        }
        qCWarning(lcManager).noquote() << problem;
        replyError(call, QLatin1String(OvraUsbIp::ModuleUnavailableError), problem);
    });
}

void ManagerService::reply(const Call &call, const QVariant &value)
{
    m_connection.send(call.message.createReply(value));
}

void ManagerService::replyError(const Call &call, const QString &name, const QString &text)
{
    m_connection.send(call.message.createErrorReply(name, text));
}

void ManagerService::signalError(const Call &call, const QString &headline, const QString &text)
{
    const QString message = cutMessage(text);
    qCWarning(lcManager).noquote() << headline << message;
    QDBusMessage signal =
        QDBusMessage::createTargetedSignal(call.message.service(),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           QStringLiteral("Error"));
    signal << headline << message;
    m_connection.send(signal);
}

// ---- restoring constant shares and connections ---------------------------

void ManagerService::startHealing()
{
    m_healer->start();
}

void ManagerService::restore(std::function<void()> done)
{
    QPointer<ManagerService> self(this);
    restoreShares([self, done]() {
        if (!self)
            return;
        self->restoreConnections([done]() {
            if (done)
                done();
        });
    });
}

void ManagerService::restoreShares(std::function<void()> next)
{
    QStringList wanted;
    ShareRecords::Map records;
    QString error;
    if (!ListFile(sharedDevicesPath()).read(&wanted, &error)
        || !ShareRecords(shareRecordsPath()).read(&records, &error)) {
        qCWarning(lcManager).noquote() << "cannot restore the constant shares:" << error;
        next();
        return;
    }
    if (wanted.isEmpty()) {
        next();
        return;
    }
    runUsbip({QStringLiteral("list"), QStringLiteral("-l")}, m_options.toolTimeoutMs,
             [this, wanted, records, next](const ToolResult &result) {
                 if (!result.succeeded()) {
                     qCWarning(lcManager).noquote()
                         << "cannot list the local devices:" << result.failureText();
                     next();
                     return;
                 }
                 QList<QStringList> commands;
                 const QList<UsbIpGrammar::LocalDevice> devices =
                     UsbIpGrammar::parseLocalList(QString::fromUtf8(result.standardOutput));
                 for (const UsbIpGrammar::LocalDevice &device : devices) {
                     const QString vidPid =
                         UsbIpGrammar::vidPidText(device.vendorId, device.productId);
                     if (!ManagerArguments::isBusId(device.busId)
                         || !ManagerArguments::isVidPid(vidPid))
                         continue;
                     if (!wanted.contains(vidPid))
                         continue;
                     if (!ShareRecords::matches(records, vidPid, m_sysfs.serial(device.busId))) {
                         qCInfo(lcManager).noquote()
                             << "not sharing" << device.busId << "(" << vidPid
                             << "): the constant share of its model was made for another device";
                         continue;
                     }
                     commands.append({QStringLiteral("bind"), QStringLiteral("-b"), device.busId});
                 }
                 if (commands.isEmpty()) {
                     next();
                     return;
                 }
                 loadModule(QLatin1String(Sysfs::UsbipHostModule), m_options.toolTimeoutMs,
                            [this, commands, next](const QString &problem) {
                                if (!problem.isEmpty()) {
                                    qCWarning(lcManager).noquote()
                                        << "cannot restore the constant shares:" << problem;
                                    next();
                                    return;
                                }
                                runEach(commands, next);
                            });
             });
}

void ManagerService::restoreConnections(std::function<void()> next)
{
    QStringList wanted;
    QString error;
    if (!ListFile(remoteDevicesPath()).read(&wanted, &error)) {
        qCWarning(lcManager).noquote() << "cannot restore the constant connections:" << error;
        next();
        return;
    }
    if (wanted.isEmpty()) {
        next();
        return;
    }
    loadModule(QLatin1String(Sysfs::VhciModule), m_options.toolTimeoutMs,
               [this, wanted, next](const QString &problem) {
                   if (!problem.isEmpty()) {
                       qCWarning(lcManager).noquote()
                           << "cannot restore the constant connections:" << problem;
                       next();
                       return;
                   }
                   runUsbip({QStringLiteral("port")}, m_options.toolTimeoutMs,
                            [this, wanted, next](const ToolResult &result) {
                                // A failing `usbip port` means nothing is attached.
                                const QList<UsbIpGrammar::PortRemote> attached =
                                    UsbIpGrammar::portRemotes(
                                        QString::fromUtf8(result.standardOutput));
                                QList<QStringList> commands;
                                for (const QString &line : wanted) {
                                    ManagerArguments::DeviceId device;
                                    QString reason;
                                    if (!ManagerArguments::parseDeviceId(line, &device, &reason)) {
                                        qCWarning(lcManager).noquote()
                                            << "skipping the constant connection" << quoted(line)
                                            << ":" << reason;
                                        continue;
                                    }
                                    bool present = false;
                                    for (const UsbIpGrammar::PortRemote &port : attached)
                                        present = present
                                               || (port.host == device.host
                                                   && port.busId == device.busId);
                                    if (present)
                                        continue;
                                    const QStringList command{QStringLiteral("attach"),
                                                              QStringLiteral("-r"), device.host,
                                                              QStringLiteral("-b"), device.busId};
                                    if (!commands.contains(command))
                                        commands.append(command);
                                }
                                runEach(commands, next);
                            });
               });
}

void ManagerService::runEach(const QList<QStringList> &commands, std::function<void()> done)
{
    if (commands.isEmpty()) {
        done();
        return;
    }
    const QStringList first = commands.first();
    const QList<QStringList> rest = commands.mid(1);
    qCInfo(lcManager).noquote() << "restoring: usbip" << first.join(QLatin1Char(' '));
    runUsbip(first, m_options.toolTimeoutMs, [this, first, rest, done](const ToolResult &result) {
        const bool bind = first.value(0) == QLatin1String("bind");
        if (!result.succeeded()) {
            if (bind && settleBind(first.value(2), result))
                // Bound before this start, by an earlier run of the service.
                qCInfo(lcManager).noquote()
                    << "the device" << first.value(2) << "is shared already";
            else
                qCWarning(lcManager).noquote()
                    << "restoring failed, will retry at the next start:" << result.failureText();
        }
        runEach(rest, done);
    });
}
