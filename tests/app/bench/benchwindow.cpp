// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Prints figures of the window and its services against the test fakes:
//  refresh  - a remote refresh of 200 devices of one host given by name:
//             wall time, cold and warm look-up cache;
//  startup  - construction of the main window up to its first exposure:
//             wall time and peak resident memory;
//  scanclose - the program's end while a scan of a loopback /16 runs (a
//             quit, or the session closing every window): the time until
//             the window and its worker thread are gone;
//  heal     - the Manager's ConnectionChanged for a constant connection
//             shown in the remote table: the time until its row changes,
//             lost and attached again.
// Usage: ovra-bench-window [refresh|startup|scanclose|heal] (all by default).

#include "environment.h"
#include "fakemanager.h"
#include "fakeusbip.h"
#include "mainwindow.h"
#include "nethelpers.h"
#include "privatebus.h"
#include "remotedevices.h"
#include "scannetworkdialog.h"
#include "startup.h"
#include "testenvironment.h"
#include "tooloutput.h"
#include "usbiplisting.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostInfo>
#include <QMutex>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTextStream>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

QElapsedTimer processClock;

QString peakMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("?");
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).simplified());
    }
    return QStringLiteral("?");
}

void print(const QString &text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

QByteArray remoteList(const QString &host, int count)
{
    QByteArray text = ToolOutput::remoteHeader(host.toLatin1());
    for (int i = 0; i < count; ++i) {
        const QByteArray busid =
            QByteArray::number(1 + i / 100) + '-' + QByteArray::number(1 + i % 100);
        const QByteArray ids = QByteArray("abcd:") + QByteArray::number(0x1000 + i, 16);
        text += ToolOutput::remoteBlock(busid, "Acme Corp. : Stick " + QByteArray::number(i) + " ("
                                                   + ids + ")");
    }
    return text;
}

// The fake Manager attaches what it is asked to: the port shows the host's
// address, as `usbip port` does.
class AttachingManager
{
public:
    explicit AttachingManager(FakeManager &manager)
    {
        manager.setHandler([this](const FakeManager::Call &call, FakeManager::Reply *reply) {
            QMutexLocker lock(&m_mutex);
            if (call.method == QLatin1String("ConnectDevice")) {
                const QStringList parts =
                    call.arguments.value(0).toString().split(QLatin1Char('/'));
                if (parts.size() == 3) {
                    m_text += ToolOutput::portBlock(
                        QByteArray::number(m_ports++).rightJustified(2, '0'),
                        "Acme Corp. : Stick (" + parts.at(2).toLatin1() + ")",
                        hostAddresses({parts.at(0)}).value(parts.at(0)).toLatin1() + ":3240/"
                            + parts.at(1).toLatin1());
                }
                *reply = FakeManager::reply(true);
                return true;
            }
            if (call.method == QLatin1String("PortsInfo")) {
                *reply = FakeManager::reply(QString::fromLatin1(ToolOutput::portHeader() + m_text));
                return true;
            }
            return false;
        });
    }

private:
    QMutex m_mutex;
    QByteArray m_text;
    int m_ports = 0;
};

void benchRefresh(FakeUsbip &usbip, TestEnvironment &env, FakeManager &manager)
{
    const QString host = QHostInfo::localHostName();
    if (hostAddresses({host}).value(host).isEmpty()) {
        print(QStringLiteral("refresh: the host name %1 does not resolve here; skipped").arg(host));
        return;
    }
    const int devices = 200;
    usbip.setResponse({QStringLiteral("list"), QStringLiteral("-r"), host},
                      remoteList(host, devices));
    env.removeConfigFile(QStringLiteral("remote-usb-devices"));
    AttachingManager attaching(manager);

    RemoteDevices remote(env.platform(), kernelMajorVersion());
    remote.setHost(host);
    for (const char *pass : {"first", "again", "restoring 10 constant attachments",
                             "10 constant attachments in place"}) {
        if (qstrcmp(pass, "restoring 10 constant attachments") == 0) {
            QByteArray constant;
            for (int row = 0; row < 10; ++row)
                constant += remote.rows().value(row * 20).device.deviceId().toLatin1() + '\n';
            env.writeConfigFile(QStringLiteral("remote-usb-devices"), constant);
        }
        manager.clearCalls();
        QElapsedTimer clock;
        clock.start();
        const bool ok = remote.update();
        const qint64 elapsed = clock.elapsed();
        int attached = 0;
        for (const RemoteRow &row : remote.rows())
            attached += row.attached();
        print(QStringLiteral("refresh (%1): %2 rows of host \"%3\" in %4 ms, %5 Manager calls, "
                             "%6 rows attached%7")
                  .arg(QLatin1String(pass))
                  .arg(remote.rows().size())
                  .arg(host)
                  .arg(elapsed)
                  .arg(manager.calls().size())
                  .arg(attached)
                  .arg(ok ? QString() : QStringLiteral(" (listing failed)")));
    }
    // Where the time goes: the tool run alone.
    QElapsedTimer clock;
    clock.start();
    UsbIpListing::listExports(host);
    print(QStringLiteral("refresh: of which the fake tool run takes about %1 ms")
              .arg(clock.elapsed()));
}

void benchStartup()
{
    QSettings().setValue(QStringLiteral("currentTab"), 0);
    QElapsedTimer clock;
    clock.start();
    const qint64 sinceProcessStart = processClock.elapsed();
    {
        MainWindow window(platformFromEnvironment());
        const qint64 constructed = clock.elapsed();
        window.show();
        const bool exposed = QTest::qWaitForWindowExposed(&window);
        print(QStringLiteral("startup: window constructed in %1 ms, shown%2 after %3 ms "
                             "(process up %4 ms before); peak memory %5")
                  .arg(constructed)
                  .arg(exposed ? QString() : QStringLiteral(" (not exposed)"))
                  .arg(clock.elapsed())
                  .arg(sinceProcessStart)
                  .arg(peakMemory()));
    }
}

void benchScanClose()
{
    for (const bool closeAll : {false, true}) {
        QList<qint64> times;
        for (int run = 0; run < 5; ++run) {
            auto window = std::make_unique<MainWindow>(platformFromEnvironment());
            window->show();
            QElapsedTimer clock;
            QTimer::singleShot(0, window.get(), [&window]() {
                window->findChild<QPushButton *>(QStringLiteral("m_scanPushButton"))->click();
            });
            QTimer::singleShot(100, window.get(), [&clock, closeAll]() {
                // A loopback network rather than this machine's own.
                if (auto *dialog =
                        qobject_cast<ScanNetworkDialog *>(QApplication::activeModalWidget()))
                    Q_EMIT dialog->scanNetwork(QStringLiteral("127.203.0.0"), 65535, 150);
                QTimer::singleShot(500, [&clock, closeAll]() {
                    clock.start();
                    if (closeAll)
                        QApplication::closeAllWindows();
                    else
                        QCoreApplication::quit();
                });
            });
            QApplication::exec();
            window.reset();
            times.append(clock.elapsed());
        }
        std::sort(times.begin(), times.end());
        print(QStringLiteral("scanclose (%1 half a second into a scan of a /16): window and worker "
                             "gone after min %2, median %3, max %4 ms (5 runs)")
                  .arg(closeAll ? QStringLiteral("every window closed") : QStringLiteral("quit"))
                  .arg(times.first())
                  .arg(times.at(times.size() / 2))
                  .arg(times.last()));
    }
}

void benchHeal(FakeUsbip &usbip, TestEnvironment &env, FakeManager &manager)
{
    const QString host = QStringLiteral("127.0.0.1");
    const QString line = host + QStringLiteral("/1-1/abcd:1000");
    usbip.setResponse({QStringLiteral("list"), QStringLiteral("-r"), host}, remoteList(host, 20));
    env.writeConfigFile(QStringLiteral("remote-usb-devices"), line.toLatin1() + '\n');
    manager.setHandler({});
    manager.setReply(QStringLiteral("PortsInfo"),
                     QString::fromLatin1(ToolOutput::portHeader()
                                         + ToolOutput::portBlock("00", "Acme : Stick (abcd:1000)",
                                                                 "127.0.0.1:3240/1-1")));
    QSettings().setValue(QStringLiteral("host"), host);
    QSettings().setValue(QStringLiteral("currentTab"), 1);
    MainWindow window(platformFromEnvironment());
    QEventLoop rowChanged;
    QObject::connect(
        window.findChild<QTreeView *>(QStringLiteral("m_remoteDevicesTreeView"))->model(),
        &QAbstractItemModel::dataChanged, &rowChanged, &QEventLoop::quit);
    QTimer limit; // no change: a 5000 ms figure
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &rowChanged, &QEventLoop::quit);
    QList<double> times[2]; // ms, lost and back
    for (int round = 0; round < 40; ++round) {
        QElapsedTimer clock;
        clock.start();
        manager.emitConnectionChanged(line, round % 2);
        limit.start(5000);
        rowChanged.exec();
        times[round % 2].append(clock.nsecsElapsed() / 1e6);
    }
    for (QList<double> &measured : times) {
        std::sort(measured.begin(), measured.end());
        print(QStringLiteral("heal: ConnectionChanged(%1) to the row's change: min %2, median %3, "
                             "max %4 ms (20 signals)")
                  .arg(&measured == &times[1] ? "true" : "false")
                  .arg(measured.first(), 0, 'f', 1)
                  .arg(measured.at(10), 0, 'f', 1)
                  .arg(measured.last(), 0, 'f', 1));
    }
}

} // namespace

int main(int argc, char **argv)
{
    processClock.start();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ovra-bench"));
    QCoreApplication::setApplicationName(QStringLiteral("window-bench"));
    const QString what = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    TestEnvironment env;
    FakeUsbip usbip;
    PrivateBus bus;
    if (!bus.start()) {
        print(QStringLiteral("no private bus: %1").arg(bus.errorString()));
        return 1;
    }
    FakeManager manager;
    if (!manager.start()) {
        print(QStringLiteral("no fake Manager: %1").arg(manager.errorString()));
        return 1;
    }
    print(QStringLiteral("fakes ready after %1 ms; peak memory %2")
              .arg(processClock.elapsed())
              .arg(peakMemory()));
    usbip.setResponse({QStringLiteral("list"), QStringLiteral("-l")},
                      ToolOutput::localBlock("1-1", "abcd:1234", "Acme Corp. : Stick"));

    if (what.isEmpty() || what == QLatin1String("startup"))
        benchStartup();
    if (what.isEmpty() || what == QLatin1String("refresh"))
        benchRefresh(usbip, env, manager);
    if (what.isEmpty() || what == QLatin1String("scanclose"))
        benchScanClose();
    if (what.isEmpty() || what == QLatin1String("heal"))
        benchHeal(usbip, env, manager);
    return 0;
}
