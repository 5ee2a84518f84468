// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Saves PNG pictures of the main window's two tabs and of the scan dialog
// (idle and scanning) into the folder given as the first argument (default
// /tmp), with the test fakes standing in for the tool, the Manager service
// and the hardware.

#include "environment.h"
#include "fakemanager.h"
#include "fakeusbip.h"
#include "mainwindow.h"
#include "privatebus.h"
#include "testenvironment.h"
#include "tooloutput.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QIcon>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cstdio>

namespace {

QString outputDir;

void save(QWidget *widget, const QString &name)
{
    const QString path = outputDir + QLatin1Char('/') + name;
    const bool ok = widget->grab().save(path);
    std::fprintf(stdout, "%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
}

using ToolOutput::localBlock;
using ToolOutput::portBlock;
using ToolOutput::remoteBlock;
using ToolOutput::remoteHeader;

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    outputDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    QCoreApplication::setOrganizationName(QStringLiteral("ovra-grab"));
    QCoreApplication::setApplicationName(QStringLiteral("window-grab"));
    QIcon::setFallbackSearchPaths({QStringLiteral(OVRA_SOURCE_ICONS_DIR "/devices"),
                                   QStringLiteral(OVRA_SOURCE_ICONS_DIR "/status"),
                                   QStringLiteral(OVRA_SOURCE_ICONS_DIR "/apps")});
    qputenv("TESTMODE", "1");

    TestEnvironment env;
    FakeUsbip usbip;
    PrivateBus bus;
    if (!bus.start())
        return 1;
    FakeManager manager;
    if (!manager.start())
        return 1;

    usbip.setResponse({QStringLiteral("list"), QStringLiteral("-l")},
                      localBlock("1-1", "090c:1000", "Silicon Motion : Flash Drive")
                          + localBlock("2-1", "0951:1666", "Kingston Technology : DataTraveler 100")
                          + localBlock("3-2", "0781:5567", "SanDisk Corp. : Cruzer Blade"));
    usbip.setResponse({QStringLiteral("list"), QStringLiteral("-r"), QStringLiteral("localhost")},
                      remoteHeader("localhost")
                          + remoteBlock("1-1", "Silicon Motion : Flash Drive (090c:1000)")
                          + remoteBlock("2-1",
                                        "Kingston Technology : DataTraveler 100 (0951:1666)"));
    env.writeConfigFile(QStringLiteral("shared-usb-devices"), "090c:1000\n");
    usbip.setResponse({QStringLiteral("list"), QStringLiteral("-r"), QStringLiteral("127.0.2.20")},
                      remoteHeader("127.0.2.20")
                          + remoteBlock("1-1", "SanDisk Corp. : Cruzer Blade (0781:5567)")
                          + remoteBlock("1-2", "Kingston Technology : DataTraveler 100 (0951:1666)")
                          + remoteBlock("2-4", "Acme : Card Reader (abcd:0042)"));
    env.writeConfigFile(QStringLiteral("remote-usb-devices"), "127.0.2.20/1-1/0781:5567\n");
    const QString ports = QString::fromLatin1(
        ToolOutput::portHeader()
        + portBlock("00", "SanDisk Corp. : Cruzer Blade (0781:5567)", "127.0.2.20:3240/1-1")
        + portBlock("01", "Kingston Technology : DataTraveler 100 (0951:1666)",
                    "127.0.2.20:3240/1-2"));
    manager.setReply(QStringLiteral("PortsInfo"), ports);
    QSettings().setValue(QStringLiteral("host"), QStringLiteral("127.0.2.20"));

    MainWindow window(platformFromEnvironment());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::fprintf(stderr, "the window was not exposed\n");
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("m_tabWidget"));
    auto *local = window.findChild<QTreeView *>(QStringLiteral("m_localDevicesTreeView"));
    local->setCurrentIndex(local->model()->index(0, 0));
    QTest::qWait(200);
    save(&window, QStringLiteral("ovra-window-local.png"));

    tabs->setCurrentIndex(1);
    window.findChild<QPushButton *>(QStringLiteral("m_updateRemotePushButton"))->click();
    // 1-2 loses its port: the lost-connection check marks it.
    manager.setReply(QStringLiteral("PortsInfo"),
                     ports.left(ports.indexOf(QStringLiteral("Port 01"))));
    QTreeView *remote = window.findChild<QTreeView *>(QStringLiteral("m_remoteDevicesTreeView"));
    // The lost-connection watch runs when a drive goes away; call it the same way.
    QMetaObject::invokeMethod(remote->model(), "checkConnections");
    remote->setCurrentIndex(remote->model()->index(2, 0));
    QTest::qWait(200);
    save(&window, QStringLiteral("ovra-window-remote.png"));

    int step = 0;
    QTimer poll;
    poll.setInterval(300);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (step == 0) {
            save(dialog, QStringLiteral("ovra-scan-idle.png"));
            dialog->findChild<QPushButton *>(QStringLiteral("m_scanPushButton"))->click();
        } else if (step == 2) {
            save(dialog, QStringLiteral("ovra-scan-running.png"));
            dialog->reject();
            poll.stop();
        }
        ++step;
    });
    usbip.setDefaultResponse(QByteArray(), "usbip: error: could not connect\n", 1, 100);
    poll.start();
    window.findChild<QPushButton *>(QStringLiteral("m_scanPushButton"))->click();
    return 0;
}
