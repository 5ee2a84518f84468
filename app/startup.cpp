// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "startup.h"

#include "childprocess.h"
#include "environment.h"
#include "mainwindow.h"
#include "nethelpers.h"
#include "ovraicons.h"
#include "ovraintegration.h"
#include "ovrawait.h"
#include "packagemanager.h"
#include "platformcheck.h"
#include "qtsingleapplication.h"
#include "systemdservice.h"

#include <QCoreApplication>
#include <QIcon>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>
#include <memory>

#ifndef OVRA_VERSION_STRING
#define OVRA_VERSION_STRING "0.1.14+b1"
#endif

namespace {

const int UnameTimeoutMs = 5000;
// dpkg-query and apt-cache read the whole package database.
const int PackageQueryTimeoutMs = 30000;
// What a second start sends the running instance.
const char ActivateMessage[] = "activate";

// Yes and No, in this order; Escape and the close button answer No.
QMessageBox::StandardButton askYesNo(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QObject::tr("Warning"), text);
    box.addButton(QMessageBox::Yes);
    box.addButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void showCritical(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), text);
    box.addButton(QMessageBox::Ok);
    box.exec();
}

const char helpText[] =
    "Usage: ovra-admin-usbip [--check | --help | --version]\n"
    "Shares this machine's USB storage devices over USB/IP and attaches the devices\n"
    "that other hosts export. Without options it opens its window; Qt's own options\n"
    "(such as -style NAME or -platform NAME) are passed on to it.\n"
    "\n"
    "  --check        check the USB/IP platform without changing anything: the tools\n"
    "                 package, the usbip executable, the kernel modules usbip-host\n"
    "                 and vhci-hcd, the usbipd service and the addresses it listens\n"
    "                 on, the Manager service and its polkit actions, and DNS-SD\n"
    "                 discovery through Avahi (optional). Prints one line per\n"
    "                 requirement, \"OK\", \"MISSING\" or \"OPTIONAL\" first, and\n"
    "                 exits with 0 when all but the optional one are in place, 1\n"
    "                 when something is missing\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"
    "\n"
    "Exit status: 0 when the window is closed (or an environment check at start\n"
    "fails), 255 when another instance runs, 2 for a wrong command line.\n";

enum class Action { Window, Check, Help, Version, Error };

struct CommandLine
{
    Action action = Action::Window;
    QString error;
};

// The options the application object itself takes (QGuiApplication and
// QApplication), with one dash or two.
bool isQtOption(QString name, bool *takesValue)
{
    static const QStringList withValue{
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("style"),
        QStringLiteral("stylesheet"),      QStringLiteral("session"),
        QStringLiteral("display"),         QStringLiteral("geometry")};
    static const QStringList flags{QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                   QStringLiteral("nograb"), QStringLiteral("dograb"),
                                   QStringLiteral("sync")};
    name.remove(0, name.startsWith(QLatin1String("--")) ? 2 : 1);
    *takesValue = withValue.contains(name);
    return *takesValue || flags.contains(name);
}

// Read before any application object exists, so that --help, --version and
// --check work without a display.
CommandLine parseCommandLine(int argc, char **argv)
{
    bool help = false;
    bool version = false;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        bool takesValue = false;
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            help = true;
        } else if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            version = true;
        } else if (argument == QLatin1String("--check")) {
            check = true;
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1
                   && isQtOption(argument.section(QLatin1Char('='), 0, 0), &takesValue)) {
            if (takesValue && !argument.contains(QLatin1Char('=')) && ++i >= argc)
                return {Action::Error, QStringLiteral("option '%1' needs a value").arg(argument)};
        } else if (argument.startsWith(QLatin1Char('-'))) {
            return {Action::Error, QStringLiteral("unknown option '%1'").arg(argument)};
        } else {
            return {Action::Error, QStringLiteral("unexpected argument '%1'").arg(argument)};
        }
    }
    if (help)
        return {Action::Help, QString()};
    if (version)
        return {Action::Version, QString()};
    return {check ? Action::Check : Action::Window, QString()};
}

} // namespace

QString kernelRelease()
{
    QString release =
        runChild(QStringLiteral("uname"), {QStringLiteral("-r")}, UnameTimeoutMs).outputText();
    release.remove(QLatin1Char('\n'));
    return release;
}

OvraAdmin::PackageManager packageManager(const Platform &platform)
{
    return OvraAdmin::PackageManager(
        [](const QString &program, const QStringList &arguments) {
            const ChildResult run = runChild(program, arguments, PackageQueryTimeoutMs,
                                             OvraAdmin::PackageManager::queryEnvironment());
            return run.end == ChildResult::End::Exited ? run.outputText() : QString();
        },
        platform.osReleaseFile);
}

int kernelMajorVersion(const QString &release)
{
    static const QRegularExpression leadingNumber(QStringLiteral("^[0-9]+"));
    return leadingNumber.match(release).captured().toInt();
}

bool checkToolsPackage(const Platform &platform)
{
    const OvraAdmin::ToolsPackage tools =
        packageManager(platform).usbipToolsPackage(kernelRelease());
    if (tools.installed)
        return true;
    const QString &package = tools.name;

    const QString text =
        QObject::tr("You need to install %1 package and reboot system for correct work with "
                    "remote USB-devices.")
            .arg(package)
        + QLatin1Char('\n') + QObject::tr("Do you want to install %1 package now?").arg(package);
    if (askYesNo(text) == QMessageBox::Yes) {
        if (!OvraAdmin::PackageManager::runSynapticWithPackageSelected(package, false))
            showCritical(QObject::tr("Synaptic failed to start. Try updating %1 package manually.")
                             .arg(package));
    }
    return false;
}

bool checkUsbipdService()
{
    OvraAdmin::SystemdService service(QStringLiteral("usbipd"));
    service.setWaiter(&OvraWait::until);
    if (service.isActive())
        return true;

    if (askYesNo(QObject::tr("You need to start usbipd service for correct work with remote "
                             "USB-devices. Do you want to do it now?"))
        != QMessageBox::Yes)
        return false;

    if (!service.isEnabled())
        service.enable();
    service.start();
    const bool active = service.isActive();
    if (!active)
        showCritical(QObject::tr("Failed to start usbipd service!"));
    return active;
}

int runApplication(int argc, char **argv)
{
    const CommandLine commandLine = parseCommandLine(argc, argv);
    switch (commandLine.action) {
    case Action::Help:
        std::fputs(helpText, stdout);
        return 0;
    case Action::Version:
        std::printf("ovra-admin-usbip %s\n", OVRA_VERSION_STRING);
        return 0;
    case Action::Error:
        std::fprintf(stderr, "ovra-admin-usbip: %s (see --help)\n", qPrintable(commandLine.error));
        return 2;
    case Action::Check:
    case Action::Window:
        break;
    }

    addSystemToolFolders();
    const Platform platform = platformFromEnvironment();
    setHostsFile(platform.hostsFile);
    if (commandLine.action == Action::Check) {
        QCoreApplication app(argc, argv);
        QTextStream out(stdout);
        return PlatformCheck::print(PlatformCheck::requirements(platform), out);
    }

    auto app = std::make_unique<QtSingleApplication>(argc, argv, true);
    Ovra::setExtraDataDirectory(platform.dataDir);
    ovraInit(OVRA_VERSION_STRING, "Ovra admin usbip");

    if (app->isRunning()) {
        // The running instance raises and activates its window.
        app->sendMessage(QLatin1String(ActivateMessage));
        return -1;
    }

    // The program's icons are found even when it runs uninstalled.
    ovraInstallIconFallback();
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("rud-devices")));

    if (!checkToolsPackage(platform))
        return 0;
    if (!checkUsbipdService())
        return 0;

    auto window = std::make_unique<MainWindow>(platform);
    window->show();
    app->setActivationWindow(window.get(), true);
    const int status = app->exec();
    window.reset();
    return status;
}
