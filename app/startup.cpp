// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "startup.h"

#include "mainwindow.h"
#include "ovraicons.h"
#include "ovraintegration.h"
#include "packagemanager.h"
#include "qtsingleapplication.h"
#include "systemdservice.h"

#include <QIcon>
#include <QMessageBox>
#include <QProcess>

#include <memory>

#ifndef OVRA_VERSION_STRING
#define OVRA_VERSION_STRING "0.1.14+b1"
#endif

namespace {

const int unameTimeoutMs = 30000;

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

} // namespace

QString kernelRelease()
{
    auto *process = new QProcess;
    process->start(QStringLiteral("uname"), {QStringLiteral("-r")}, QIODevice::ReadWrite);
    process->waitForFinished(unameTimeoutMs);
    QString release = QString::fromLocal8Bit(process->readAllStandardOutput());
    release.remove(QLatin1Char('\n'));
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
    }
    delete process;
    return release;
}

bool checkToolsPackage()
{
    const QString package = QStringLiteral("linux-tools-%1").arg(kernelRelease());
    if (OvraAdmin::PackageManager::isPackageInstalled(package, QStringLiteral("ii\\s%1")))
        return true;

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
    auto app = std::make_unique<QtSingleApplication>(argc, argv, true);
    ovraInit(OVRA_VERSION_STRING, "Ovra admin usbip");

    if (app->isRunning()) {
        app->activateWindow();
        return -1;
    }

    // The program's icons are found even when it runs uninstalled.
    ovraInstallIconFallback();
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("rud-devices")));

    if (!checkToolsPackage())
        return 0;
    if (!checkUsbipdService())
        return 0;

    auto window = std::make_unique<MainWindow>();
    window->show();
    app->setActivationWindow(window.get(), true);
    const int status = app->exec();
    window.reset();
    return status;
}
