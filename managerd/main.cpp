// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// ovra-admin-usbip-manager: the privileged Manager service on the system bus.

#include "manager_adaptor.h"
#include "managerservice.h"
#include "ovrausbipmanager.h"
#include "shareaccess.h"
#include "shareannouncer.h"
#include "toolrunner.h"
#include "usbdevicewatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What the time limits of the command line may be.
constexpr int MinToolTimeoutMs = 100;
constexpr int MinCallBudgetMs = ManagerOptions::MinimumCallBudgetMs;
constexpr int MaxTimeLimitMs = 600000;

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so that running tools are stopped
// and everything is released in order.
void quitOnTerminationSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app, notifier]() {
        notifier->setEnabled(false);
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// Why the bus did not give us the name: its error, or who has the name.
QString whyNotOwned(const QDBusConnection &bus)
{
    QDBusConnectionInterface *interface = bus.interface();
    if (!interface)
        return QStringLiteral("no connection to the bus");
    const QDBusError error = interface->lastError();
    if (error.isValid())
        return QStringLiteral("%1: %2").arg(error.name(), error.message());
    const QString name = QLatin1String(OvraUsbIp::ManagerService);
    const QDBusReply<QString> owner = interface->serviceOwner(name);
    if (!owner.isValid())
        return QStringLiteral("the bus refused it without saying why");
    const QDBusReply<uint> pid = interface->servicePid(name);
    return pid.isValid()
             ? QStringLiteral("it is owned by %1 (process %2)").arg(owner.value()).arg(pid.value())
             : QStringLiteral("it is owned by %1").arg(owner.value());
}

// --apply-access: puts the share-access file's setting in force and ends,
// without the bus (run by a unit ordered before usbipd.service). Status 0
// when the rules are in force, or when nothing is restricted (a failure then
// closes nothing that was open); 1 when a restriction could not be applied,
// so that usbipd, which requires the unit, does not start.
int applyShareAccessOnce(QCoreApplication &app, const ManagerOptions &options)
{
    const QString path = options.platform.shareAccessPath();
    QString error;
    const Access::Setting setting = Access::inForce(path, &error);
    if (!error.isEmpty())
        std::fprintf(stderr,
                     "ovra-admin-usbip-manager: the access list is broken: %s - only this "
                     "machine may attach until who may attach is set again\n",
                     qPrintable(error));
    ToolRunner nft;
    nft.setProgram(options.nft);
    int status = 1;
    nft.run(
        {QStringLiteral("-f"), QStringLiteral("-")}, options.toolTimeoutMs,
        [&](const ToolResult &result) {
            if (result.succeeded()) {
                std::fprintf(stderr, "ovra-admin-usbip-manager: share access in force: %s\n",
                             qPrintable(Access::describe(setting)));
                status = 0;
            } else {
                std::fprintf(stderr,
                             "ovra-admin-usbip-manager: cannot put the share access in force "
                             "(%s): %s\n",
                             qPrintable(Access::describe(setting)),
                             qPrintable(result.failureText()));
                status = setting.restricted ? 1 : 0;
            }
            app.quit();
        },
        Access::nftScript(setting));
    app.exec();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ovra-admin-usbip-manager"));
    QCoreApplication::setApplicationVersion(QStringLiteral(OVRA_MANAGERD_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shares, unshares, attaches and detaches USB/IP devices for the "
                       "desktop tool, and restores the constant ones at start."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configDirOption(QStringLiteral("config-dir"),
                                             QStringLiteral(
                                                 "Folder of the lists of constant shares, constant "
                                                 "connections and share access (default %1).")
                                                 .arg(Platform().configDir),
                                             QStringLiteral("dir"));
    const QCommandLineOption toolTimeoutOption(
        QStringLiteral("tool-timeout"),
        QStringLiteral("Milliseconds one run of usbip may take before it is stopped (default %1).")
            .arg(ManagerOptions::DefaultToolTimeoutMs),
        QStringLiteral("ms"), QString::number(ManagerOptions::DefaultToolTimeoutMs));
    const QCommandLineOption callBudgetOption(
        QStringLiteral("call-budget"),
        QStringLiteral("Milliseconds within which every call is answered, authorisation included "
                       "(%1 to %2; default %3, or the tool time-out and %4 when that is more).")
            .arg(MinCallBudgetMs)
            .arg(MaxTimeLimitMs)
            .arg(ManagerOptions::DefaultCallBudgetMs)
            .arg(ManagerOptions::CallBudgetMarginMs),
        QStringLiteral("ms"));
    const QCommandLineOption noRestoreOption(
        QStringLiteral("no-restore"),
        QStringLiteral("Do not bind and attach the constant devices at start, nor later."));
    const QCommandLineOption noHealingOption(
        QStringLiteral("no-healing"),
        QStringLiteral("Do not attach or bind the constant devices again while running when "
                       "they are lost (they are still restored at start)."));
    const ManagerOptions defaults;
    const QCommandLineOption stateDirOption(
        QStringLiteral("state-dir"),
        QStringLiteral("Folder of the service's own records (default %1).").arg(defaults.stateDir),
        QStringLiteral("dir"), defaults.stateDir);
    const QCommandLineOption sysfsOption(
        QStringLiteral("sysfs-root"),
        QStringLiteral("Where the kernel's sysfs is (default %1; a stand-in tree for tests).")
            .arg(defaults.platform.sysfsRoot),
        QStringLiteral("dir"), defaults.platform.sysfsRoot);
    const QCommandLineOption vhciStateOption(
        QStringLiteral("vhci-state-dir"),
        QStringLiteral("Where usbip attach records the remote side of each virtual port "
                       "(default %1; a stand-in folder for tests).")
            .arg(defaults.vhciStateDir),
        QStringLiteral("dir"), defaults.vhciStateDir);
    const QCommandLineOption modprobeOption(
        QStringLiteral("modprobe"),
        QStringLiteral("The program that loads a kernel module, given its name (default %1).")
            .arg(defaults.modprobe),
        QStringLiteral("program"), defaults.modprobe);
    const QCommandLineOption nftOption(
        QStringLiteral("nft"),
        QStringLiteral("nftables' tool, which takes the share-access rules on standard input "
                       "(default %1).")
            .arg(defaults.nft),
        QStringLiteral("program"), defaults.nft);
    const QCommandLineOption applyAccessOption(
        QStringLiteral("apply-access"),
        QStringLiteral("Put the share-access list in force in the packet filter and exit, "
                       "without the bus (at boot, before usbipd)."));
    parser.addOptions({configDirOption, toolTimeoutOption, callBudgetOption, noRestoreOption,
                       noHealingOption, stateDirOption, sysfsOption, vhciStateOption,
                       modprobeOption, nftOption, applyAccessOption});
    parser.process(app);

    ManagerOptions options;
    if (parser.isSet(configDirOption))
        options.platform.configDir = QDir(parser.value(configDirOption)).absolutePath();
    options.stateDir = QDir(parser.value(stateDirOption)).absolutePath();
    options.platform.sysfsRoot = QDir(parser.value(sysfsOption)).absolutePath();
    options.vhciStateDir = QDir(parser.value(vhciStateOption)).absolutePath();
    options.modprobe = parser.value(modprobeOption);
    options.nft = parser.value(nftOption);
    bool ok = false;
    options.toolTimeoutMs = parser.value(toolTimeoutOption).toInt(&ok);
    if (!ok || options.toolTimeoutMs < MinToolTimeoutMs || options.toolTimeoutMs > MaxTimeLimitMs) {
        std::fprintf(stderr, "ovra-admin-usbip-manager: --tool-timeout wants %d to %d ms\n",
                     MinToolTimeoutMs, MaxTimeLimitMs);
        return 2;
    }
    // Each call must be answered before the client's default reply time-out
    // (25 s); a longer tool limit stretches the budget with it.
    options.callBudgetMs = qMax(ManagerOptions::DefaultCallBudgetMs,
                                options.toolTimeoutMs + ManagerOptions::CallBudgetMarginMs);
    if (parser.isSet(callBudgetOption)) {
        options.callBudgetMs = parser.value(callBudgetOption).toInt(&ok);
        if (!ok || options.callBudgetMs < MinCallBudgetMs
            || options.callBudgetMs > MaxTimeLimitMs) {
            std::fprintf(stderr, "ovra-admin-usbip-manager: --call-budget wants %d to %d ms\n",
                         MinCallBudgetMs, MaxTimeLimitMs);
            return 2;
        }
    }

    if (parser.isSet(applyAccessOption))
        return applyShareAccessOnce(app, options);

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "ovra-admin-usbip-manager: cannot reach the system bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    ManagerService service(options, bus);
    new ManagerAdaptor(&service);
    if (!bus.registerObject(QLatin1String(OvraUsbIp::ManagerPath), &service,
                            QDBusConnection::ExportAdaptors)) {
        std::fprintf(stderr, "ovra-admin-usbip-manager: cannot register the object: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    if (!bus.registerService(QLatin1String(OvraUsbIp::ManagerService))) {
        std::fprintf(stderr, "ovra-admin-usbip-manager: cannot own %s: %s\n",
                     OvraUsbIp::ManagerService, qPrintable(whyNotOwned(bus)));
        return 1;
    }

    // While something is shared, this machine is announced (DNS-SD through
    // Avahi); the count follows the calls and every device bound or unbound.
    ShareAnnouncer announcer(bus, Sysfs(options.platform.sysfsRoot));
    UsbDeviceWatch usbDevices;
    QObject::connect(&service, &ManagerService::sharedDevicesChanged, &announcer,
                     &ShareAnnouncer::recount);
    QObject::connect(&usbDevices, &UsbDeviceWatch::changed, &announcer, &ShareAnnouncer::recount);

    quitOnTerminationSignals(&app);
    service.removeStaleTemporaryFiles();
    // Who may attach is in force before the constant shares are bound;
    // healing starts once the restore has tried everything, so that the two
    // never attach or bind the same device.
    const bool restore = !parser.isSet(noRestoreOption);
    const bool healing = !parser.isSet(noHealingOption);
    service.applyShareAccess([&service, restore, healing](bool) {
        if (restore)
            service.restore([&service, healing]() {
                std::fprintf(stderr, "ovra-admin-usbip-manager: restore done\n");
                if (healing)
                    service.startHealing();
            });
    });

    return app.exec();
}
