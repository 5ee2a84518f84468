// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Prints figures of the Manager service: calls per second of PortsInfo and
// of ShareDevice (with the fake usbip tool and an allowing fake authority on
// a private bus) and the service's resident memory at rest.
//
//   ovra-managerd-bench [calls]

#include "benchworld.h"
#include "managerprocess.h"

#include <QCoreApplication>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

#include "ovrausbipmanager.h"

namespace {

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Runs `count` calls, `parallel` of them in flight at a time; returns calls/s.
double measure(const QString &method, const QVariantList &arguments, int count, int parallel)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    int sent = 0;
    int done = 0;
    int failed = 0;
    QElapsedTimer timer;
    timer.start();
    std::function<void()> sendOne = [&]() {
        QDBusMessage message =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface), method);
        message.setArguments(arguments);
        ++sent;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), qApp);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp,
                         [&, watcher](QDBusPendingCallWatcher *) {
                             if (watcher->isError())
                                 ++failed;
                             watcher->deleteLater();
                             ++done;
                             if (sent < count)
                                 sendOne();
                         });
    };
    for (int i = 0; i < parallel && sent < count; ++i)
        sendOne();
    while (done < count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (failed)
        std::printf("  (%d of %d calls failed)\n", failed, count);
    return count / seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 200;

    BenchWorld world;
    if (!world.start())
        return 1;
    auto round = [&](const char *label) {
        ManagerProcess service;
        if (!service.start({QStringLiteral("--config-dir"), world.environment.configDir()})) {
            std::fprintf(stderr, "%s\n", qPrintable(service.errorString()));
            return false;
        }
        std::printf("== %s\n", label);
        QThread::msleep(500);
        std::printf("resident memory after start: %lld KiB\n",
                    static_cast<long long>(residentKiB(service.pid())));
        for (int parallel : {1, 8}) {
            std::printf("PortsInfo, %d in flight: %.0f calls/s\n", parallel,
                        measure(QStringLiteral("PortsInfo"), {}, count, parallel));
            std::printf("ShareDevice (constant), %d in flight: %.0f calls/s\n", parallel,
                        measure(QStringLiteral("ShareDevice"),
                                {QStringLiteral("1-1"), QStringLiteral("abcd:1234")}, count,
                                parallel));
        }
        QThread::msleep(1000);
        std::printf("resident memory at rest after %d calls: %lld KiB\n", 4 * count,
                    static_cast<long long>(residentKiB(service.pid())));
        return true;
    };

    // The recording fake tool of the tests (a shell script: most of the time
    // goes into it).
    if (!round("fake usbip of the tests"))
        return 1;

    // A tool that does nothing at all, to show the service's own cost.
    QTemporaryDir noop;
    QFile::link(QStringLiteral("/bin/true"), noop.filePath(QStringLiteral("usbip")));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", noop.path().toLocal8Bit() + ':' + path);
    const bool ok = round("usbip replaced by /bin/true");
    qputenv("PATH", path);
    if (!ok)
        return 1;
    return 0;
}
