// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "platformcheck.h"

#include "avahibus.h"
#include "childprocess.h"
#include "localsharing.h"
#include "outsidetext.h"
#include "ovraadminusbipinterface.h"
#include "ovrausbipmanager.h"
#include "packagemanager.h"
#include "startup.h"
#include "systemdservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTextStream>
#include <QtEndian>

#include <cstring>

namespace {

const quint16 usbipPort = 3240;
const char policyFile[] = "org.ovra.admin.usbip.policy";
const char *const policyActions[] = {OvraUsbIp::ShareAction, OvraUsbIp::ConnectAction,
                                     OvraUsbIp::AccessAction};
// nft lists a table at once; a tool that takes longer is stuck.
const int nftTimeoutMs = 5000;

// The kernel writes module names with underscores in /sys/module and either
// way in file names.
QString kernelName(const QString &module)
{
    return QString(module).replace(QLatin1Char('-'), QLatin1Char('_'));
}

// Whether a modules.dep or modules.builtin of the running kernel lists `module`.
bool listsModule(const QString &path, const QString &module)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QString wanted = kernelName(module);
    while (!file.atEnd()) {
        const QString line = QString::fromLocal8Bit(file.readLine());
        // "kernel/drivers/usb/usbip/vhci-hcd.ko.xz: kernel/.../usbip-core.ko.xz"
        QString name = QFileInfo(line.section(QLatin1Char(':'), 0, 0).trimmed()).fileName();
        name.truncate(name.indexOf(QLatin1String(".ko")));
        if (kernelName(name) == wanted)
            return true;
    }
    return false;
}

PlatformCheck::Requirement toolsRequirement(const Platform &platform, const QString &release)
{
    const OvraAdmin::ToolsPackage tools = packageManager(platform).usbipToolsPackage(release);
    const QString name = QStringLiteral("tools package ") + tools.name;
    if (tools.installed)
        return {true, name, QStringLiteral("installed")};
    return {false, name,
            QStringLiteral("not installed; install it: sudo apt install %1").arg(tools.name)};
}

PlatformCheck::Requirement executableRequirement()
{
    const QString name = QStringLiteral("usbip executable");
    const QString path = QStandardPaths::findExecutable(QStringLiteral("usbip"));
    if (!path.isEmpty())
        return {true, name, path};
    return {false, name,
            QStringLiteral("not found on PATH, in /usr/sbin or in /sbin; it comes with the tools "
                           "package")};
}

PlatformCheck::Requirement moduleRequirement(const Platform &platform, const QString &module,
                                             const QString &release)
{
    const QString name = QStringLiteral("kernel module ") + module;
    if (QFileInfo(platform.sysfsRoot + QStringLiteral("/module/") + kernelName(module)).isDir())
        return {true, name, QStringLiteral("loaded")};

    const QString modules = platform.modulesRoot + QLatin1Char('/') + release;
    if (listsModule(modules + QStringLiteral("/modules.builtin"), module))
        return {true, name, QStringLiteral("built into the kernel")};
    if (listsModule(modules + QStringLiteral("/modules.dep"), module))
        return {true, name,
                QStringLiteral("loadable from %1 (loaded at boot or when the Manager needs it)")
                    .arg(modules)};
    if (!QFileInfo(modules).isDir())
        return {false, name,
                QStringLiteral("not loaded, and %1 does not exist: the running kernel cannot load "
                               "modules; boot a kernel whose modules are installed")
                    .arg(modules)};
    return {false, name,
            QStringLiteral("not loaded and not in %1; it comes with linux-image-%2 on Debian, "
                           "linux-modules-extra-%2 on Ubuntu")
                .arg(modules, release)};
}

QString errorSuffix(const QString &error)
{
    return error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error);
}

PlatformCheck::Requirement serviceRequirement(bool *active)
{
    const QString name = QStringLiteral("usbipd service");
    OvraAdmin::SystemdService service(QStringLiteral("usbipd"));
    const QString activeState = service.activeState();
    const QString activeError = service.lastError();
    const QString fileState = service.unitFileState();
    const QString fileError = service.lastError();
    const bool enabled = OvraAdmin::SystemdService::isEnabledState(fileState);
    *active = activeState == QLatin1String("active");

    if (activeState.isEmpty())
        return {false, name,
                QStringLiteral("systemd cannot be asked on the system bus")
                    + errorSuffix(activeError)};
    if (fileState.isEmpty() && !*active)
        return {false, name,
                QStringLiteral("the unit usbipd.service is not installed; it comes with the "
                               "package ovra-admin-usbip-manager")
                    + errorSuffix(fileError)};
    const QString state = activeState + QStringLiteral(", ")
                        + (fileState.isEmpty() ? QStringLiteral("?") : fileState);
    if (!*active)
        return {false, name,
                state + QStringLiteral("; start it: sudo systemctl enable --now usbipd.service")};
    if (!enabled)
        return {true, name,
                state
                    + QStringLiteral(" (it will not start at boot: sudo systemctl enable "
                                     "usbipd.service)")};
    return {true, name, state};
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool restricts(const AccessState &access)
{
    // A broken list lets only this machine attach.
    return access.kind == AccessState::Kind::Restricted || access.kind == AccessState::Kind::Broken;
}

PlatformCheck::Requirement listeningRequirement(const Platform &platform, bool serviceActive,
                                                const AccessState &access)
{
    const QString name = QStringLiteral("usbipd listening on TCP 3240");
    const QString &proc = platform.procRoot;
    const QStringList addresses =
        PlatformCheck::listeningAddresses(readAll(proc + QStringLiteral("/net/tcp")), usbipPort)
        + PlatformCheck::listeningAddresses(readAll(proc + QStringLiteral("/net/tcp6")), usbipPort);
    if (addresses.isEmpty()) {
        return {false, name,
                serviceActive ? QStringLiteral("nothing listens; see journalctl -u usbipd.service")
                              : QStringLiteral("nothing listens (start usbipd first)")};
    }
    bool everywhere = false;
    for (const QString &address : addresses) {
        const QHostAddress host(address);
        everywhere = everywhere || host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6;
    }
    QString finding = addresses.join(QStringLiteral(", "));
    if (everywhere && restricts(access))
        finding += QStringLiteral(" (every interface; who may attach is restricted, see below)");
    else if (everywhere)
        finding += QStringLiteral(" (every interface: anyone who reaches this port can use the "
                                  "shared devices, without authentication; restrict who may "
                                  "attach in the program: Local tab, Access...)");
    return {true, name, finding};
}

// `managerNotRunning`: the Manager is activatable but not running, and was
// not asked.
PlatformCheck::Requirement accessRequirement(const AccessState &access, bool managerNotRunning)
{
    const QString name = QStringLiteral("who may attach shared devices");
    if (managerNotRunning)
        return {true, name,
                QStringLiteral("not asked, since the Manager service is not running; it is read "
                               "when the Manager runs")};
    switch (access.kind) {
    case AccessState::Kind::AnyHost:
        return {true, name,
                QStringLiteral("any host that reaches TCP 3240 (restrict it in the program: "
                               "Local tab, Access...)")};
    case AccessState::Kind::Restricted:
        if (access.hosts.isEmpty())
            return {true, name, QStringLiteral("only this machine")};
        return {true, name,
                QStringLiteral("only this machine and %1 listed %2")
                    .arg(access.hosts.size())
                    .arg(access.hosts.size() == 1 ? QStringLiteral("host")
                                                  : QStringLiteral("hosts"))};
    case AccessState::Kind::Broken:
        return {false, name,
                access.problem
                    + QStringLiteral(" Set it again in the program (Local tab, Access...)")};
    case AccessState::Kind::Unknown:
        break;
    }
    return {false, name,
            QStringLiteral("the Manager service cannot be asked") + errorSuffix(access.problem)};
}

// Whether a name is on the system bus now, or would be started by bus
// activation on first use. Asks the bus daemon only, which starts nothing.
struct BusServiceState
{
    enum class Kind { Unreachable, Running, Activatable, Absent };
    Kind kind = Kind::Unreachable;
    QString problem; // why the bus cannot be reached
};

BusServiceState busServiceState(const QString &name)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return {BusServiceState::Kind::Unreachable, bus.lastError().message()};
    QDBusConnectionInterface *interface = bus.interface();
    if (interface->isServiceRegistered(name).value())
        return {BusServiceState::Kind::Running, QString()};
    if (interface->activatableServiceNames().value().contains(name))
        return {BusServiceState::Kind::Activatable, QString()};
    return {BusServiceState::Kind::Absent, QString()};
}

PlatformCheck::Requirement managerRequirement(const BusServiceState &state)
{
    const QString name =
        QStringLiteral("Manager service ") + QLatin1String(OvraUsbIp::ManagerService);
    switch (state.kind) {
    case BusServiceState::Kind::Unreachable:
        return {false, name,
                QStringLiteral("the system bus cannot be reached") + errorSuffix(state.problem)};
    case BusServiceState::Kind::Running:
        return {true, name, QStringLiteral("running on the system bus")};
    case BusServiceState::Kind::Activatable:
        return {true, name, QStringLiteral("activatable on the system bus (started on first use)")};
    case BusServiceState::Kind::Absent:
        break;
    }
    return {false, name,
            QStringLiteral("neither running nor activatable on the system bus; install the "
                           "package ovra-admin-usbip-manager")};
}

// Hosts that share devices are offered in the Remote tab through Avahi,
// which the program never starts itself.
PlatformCheck::Requirement discoveryRequirement()
{
    const QString name = QStringLiteral("DNS-SD discovery");
    const BusServiceState avahi = busServiceState(QLatin1String(AvahiBus::Service));
    switch (avahi.kind) {
    case BusServiceState::Kind::Unreachable:
        return {false, name,
                QStringLiteral("unavailable: the system bus cannot be reached")
                    + errorSuffix(avahi.problem),
                true};
    case BusServiceState::Kind::Running:
        return {true, name, QStringLiteral("available: Avahi runs on the system bus"), true};
    case BusServiceState::Kind::Activatable:
        return {true, name,
                QStringLiteral("available: Avahi is activatable on the system bus (not running "
                               "now; hosts that share devices are offered once it runs)"),
                true};
    case BusServiceState::Kind::Absent:
        break;
    }
    return {false, name,
            QStringLiteral("unavailable: Avahi is neither running nor activatable on the system "
                           "bus; install avahi-daemon to have hosts that share devices offered "
                           "(everything else works without it)"),
            true};
}

PlatformCheck::Requirement polkitRequirement(const Platform &platform)
{
    const QString name = QStringLiteral("polkit actions");
    const QString path = platform.polkitActionsDir + QLatin1Char('/') + QLatin1String(policyFile);
    if (!QFileInfo::exists(path))
        return {false, name,
                QStringLiteral("%1 is missing; install the package ovra-admin-usbip-manager")
                    .arg(path)};
    const QByteArray policy = readAll(path);
    for (const char *action : policyActions) {
        if (!policy.contains(QByteArray("\"") + action + '"'))
            return {false, name,
                    QStringLiteral("%1 does not define %2; install the package "
                                   "ovra-admin-usbip-manager")
                        .arg(path, QLatin1String(action))};
    }
    return {true, name, path};
}

// What nft said or what happened to it, on one line.
QString nftFailure(const ChildResult &run)
{
    const QString message = OutsideText::cleaned(run.errorText().simplified());
    if (!message.isEmpty())
        return message;
    switch (run.end) {
    case ChildResult::End::TimedOut:
        return QStringLiteral("no answer within %1 s").arg(nftTimeoutMs / 1000);
    case ChildResult::End::Crashed:
        return QStringLiteral("it crashed");
    case ChildResult::End::NotStarted:
    case ChildResult::End::Exited:
        break;
    }
    return QStringLiteral("exit status %1").arg(run.exitCode);
}

PlatformCheck::Requirement filterRequirement(const Platform &platform, const AccessState &access)
{
    const QString table = QLatin1String(OvraUsbIp::AccessTable);
    const QString name = QStringLiteral("packet filter table inet ") + table;
    // nft's messages in English, whatever the user's language.
    const ChildResult listed =
        runChild(platform.nftProgram,
                 {QStringLiteral("list"), QStringLiteral("table"), QStringLiteral("inet"), table},
                 nftTimeoutMs, {QStringLiteral("LC_ALL=C")});
    if (listed.end == ChildResult::End::NotStarted)
        return {false, name,
                QStringLiteral("%1 cannot be run; it comes with the package nftables: sudo apt "
                               "install nftables")
                    .arg(platform.nftProgram)};
    const bool present = listed.succeeded();
    const QString failure = present ? QString() : nftFailure(listed);
    // "Operation not permitted (you must be root)"
    if (failure.contains(QLatin1String("Operation not permitted")))
        return {true, name,
                QStringLiteral("it takes root to check whether it is in place: sudo "
                               "ovra-admin-usbip --check")};
    // "Error: No such file or directory" names a table that is not there.
    if (!present && !failure.contains(QLatin1String("No such file or directory")))
        return {false, name, QStringLiteral("nft cannot list it (%1)").arg(failure)};

    // The Manager puts the list in force when it starts; a hand edit of the
    // list waits for that.
    const QString restart = QStringLiteral("put the list in force: sudo systemctl restart "
                                           "ovra-admin-usbip-manager.service");
    switch (access.kind) {
    case AccessState::Kind::AnyHost:
        if (present)
            return {false, name,
                    QStringLiteral("in place, though any host may attach; ") + restart};
        return {true, name,
                QStringLiteral("not in place (none is needed while any host may attach)")};
    case AccessState::Kind::Restricted:
    case AccessState::Kind::Broken:
        if (present)
            return {true, name, QStringLiteral("in place")};
        return {false, name,
                QStringLiteral("not in place, so any host that reaches TCP 3240 may attach; ")
                    + restart};
    case AccessState::Kind::Unknown:
        break;
    }
    return {true, name, present ? QStringLiteral("in place") : QStringLiteral("not in place")};
}

} // namespace

namespace PlatformCheck {

QList<Requirement> requirements(const Platform &platform)
{
    const QString release = kernelRelease();
    bool serviceActive = false;
    // Who may attach decides what the usbipd line and the filter's line say.
    // Only a running Manager is asked: a call would start an activatable one,
    // which then puts its table in the packet filter.
    const BusServiceState manager = busServiceState(QLatin1String(OvraUsbIp::ManagerService));
    AccessState access;
    if (manager.kind == BusServiceState::Kind::Running) {
        OvraAdminUsbIpInterface proxy;
        access = askShareAccess(proxy);
    }
    QList<Requirement> result;
    result << toolsRequirement(platform, release) << executableRequirement()
           << moduleRequirement(platform, QStringLiteral("usbip-host"), release)
           << moduleRequirement(platform, QStringLiteral("vhci-hcd"), release)
           << serviceRequirement(&serviceActive)
           << listeningRequirement(platform, serviceActive, access) << managerRequirement(manager)
           << polkitRequirement(platform)
           << accessRequirement(access, manager.kind == BusServiceState::Kind::Activatable)
           << filterRequirement(platform, access) << discoveryRequirement();
    return result;
}

int print(const QList<Requirement> &requirements, QTextStream &out)
{
    int status = 0;
    for (const Requirement &requirement : requirements) {
        const QString state = requirement.met      ? QStringLiteral("OK")
                            : requirement.optional ? QStringLiteral("OPTIONAL")
                                                   : QStringLiteral("MISSING");
        out << state.leftJustified(9) << requirement.name << QStringLiteral(": ")
            << requirement.finding << '\n';
        if (!requirement.met && !requirement.optional)
            status = 1;
    }
    out.flush();
    return status;
}

QStringList listeningAddresses(const QByteArray &table, quint16 port)
{
    // "  0: 00000000:0CA8 00000000:0000 0A ..." - sl, local address:port,
    // remote address:port, state (0A is LISTEN). Addresses are 32-bit words
    // printed in hex in the kernel's own byte order.
    QStringList addresses;
    const QList<QByteArray> lines = table.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields.at(3) != "0A")
            continue;
        const QList<QByteArray> local = fields.at(1).split(':');
        bool ok = false;
        if (local.size() != 2 || local.at(1).toUInt(&ok, 16) != port || !ok)
            continue;
        const QByteArray hex = local.at(0);
        if (hex.size() != 8 && hex.size() != 32)
            continue;
        quint8 bytes[16];
        for (int word = 0; word < hex.size() / 8; ++word) {
            const quint32 value = hex.mid(word * 8, 8).toUInt(&ok, 16);
            if (!ok)
                break;
            std::memcpy(bytes + word * 4, &value, 4);
        }
        if (!ok)
            continue;
        const QHostAddress address =
            hex.size() == 8 ? QHostAddress(qFromBigEndian<quint32>(bytes)) : QHostAddress(bytes);
        if (!addresses.contains(address.toString()))
            addresses << address.toString();
    }
    return addresses;
}

} // namespace PlatformCheck
