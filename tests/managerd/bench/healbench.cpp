// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Prints figures of the Manager's healing, with the real service on a
// private bus, the fake usbip tool and a stand-in sysfs:
//   - the CPU time and the usbip runs of a window of idle watching, with no
//     constant connection, with one, and with eight and a constant share;
//   - the time from a loss (the port freed in the port table) to the
//     ConnectionChanged signal, over several losses;
//   - the usbip runs during a window of back-off, for a host that answers
//     but does not export the device and for one that never answers.
//
//   ovra-managerd-healbench [window seconds, default 60]

#include "benchworld.h"
#include "managerprocess.h"
#include "usbippeer.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

#include "ovrausbipmanager.h"

namespace {

const QString Host = QStringLiteral("127.0.3.21");

QString deviceId(int index)
{
    return QStringLiteral("127.0.3.21/1-%1/abcd:1234").arg(index + 1);
}

// utime + stime of the process, in milliseconds.
qint64 cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    // After the name: state is field 3, utime 14 and stime 15.
    const qint64 ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

class Changes : public QObject
{
    Q_OBJECT
public:
    QList<QPair<qint64, bool>> seen; // when (clock's ms), attached
    QElapsedTimer clock;
public Q_SLOTS:
    void onChanged(const QString &, bool attached) { seen.append({clock.elapsed(), attached}); }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int windowMs = (argc > 1 ? QByteArray(argv[1]).toInt() : 60) * 1000;

    BenchWorld world;
    if (!world.start())
        return 1;
    UsbIpPeer peer;
    if (!peer.listen(Host)) {
        std::fprintf(stderr, "%s (run it in a network namespace of its own)\n",
                     qPrintable(peer.errorString()));
        return 1;
    }
    Changes changes;
    changes.clock.start();
    QDBusConnection::systemBus().connect(QLatin1String(OvraUsbIp::ManagerService),
                                         QLatin1String(OvraUsbIp::ManagerPath),
                                         QLatin1String(OvraUsbIp::ManagerInterface),
                                         QLatin1String(OvraUsbIp::ConnectionChangedSignal),
                                         &changes, SLOT(onChanged(QString, bool)));

    // `connections` constant connections, all attached, and with `share` a
    // constantly shared stick, bound.
    auto start = [&](ManagerProcess &service, int connections, bool share) {
        QByteArray lines;
        QList<FakeSysfs::Imported> ports;
        for (int i = 0; i < connections; ++i) {
            lines += deviceId(i).toUtf8() + '\n';
            ports.append({i, Host, QStringLiteral("1-%1").arg(i + 1)});
        }
        world.environment.writeConfigFile(QStringLiteral("remote-usb-devices"), lines);
        world.environment.writeConfigFile(QStringLiteral("shared-usb-devices"),
                                          share ? "abcd:1234\n" : "");
        service.sysfs().setImported(ports);
        service.sysfs().addDevice(QStringLiteral("2-1"), QStringLiteral("S1"),
                                  QStringLiteral("abcd:1234"), QStringLiteral("usbip-host"));
        QByteArray table = ToolOutput::portHeader();
        for (int i = 0; i < connections; ++i)
            table += ToolOutput::portBlock(
                QByteArray::number(i).rightJustified(2, '0'), "Acme : Stick (abcd:1234)",
                deviceId(i).section('/', 0, 1).replace('/', ":3240/").toUtf8());
        world.usbip.setResponse({QStringLiteral("port")}, table);
        if (!service.start({QStringLiteral("--config-dir"), world.environment.configDir()})) {
            std::fprintf(stderr, "%s\n", qPrintable(service.errorString()));
            return false;
        }
        QTest::qWait(500);
        world.usbip.clearCalls();
        return true;
    };
    auto idle = [&](const char *label, int connections, bool share) {
        ManagerProcess service;
        if (!start(service, connections, share))
            return false;
        const qint64 before = cpuMs(service.pid());
        QTest::qWait(windowMs);
        std::printf("idle, %s: %lld ms CPU and %d usbip runs in %d s\n", label,
                    static_cast<long long>(cpuMs(service.pid()) - before),
                    int(world.usbip.calls().size()), windowMs / 1000);
        return true;
    };

    if (!idle("no constant connection or share", 0, false)
        || !idle("one constant connection", 1, false)
        || !idle("eight constant connections and a constant share", 8, true))
        return 1;

    {
        // Losses, each put right again by the port table.
        ManagerProcess service;
        if (!start(service, 1, false))
            return 1;
        world.usbip.setResponse({QStringLiteral("list"), QStringLiteral("-r"), Host}, QByteArray());
        QList<qint64> latencies;
        for (int round = 0; round < 10; ++round) {
            changes.seen.clear();
            const qint64 lost = changes.clock.elapsed();
            service.sysfs().setImported({});
            if (!QTest::qWaitFor(
                    [&]() {
                        return !changes.seen.isEmpty();
                    },
                    10000)) {
                std::fprintf(stderr, "no ConnectionChanged within 10 s\n");
                return 1;
            }
            latencies.append(changes.seen.first().first - lost);
            service.sysfs().setImported({{0, Host, QStringLiteral("1-1")}});
            if (!QTest::qWaitFor(
                    [&]() {
                        return changes.seen.size() >= 2;
                    },
                    10000)) {
                std::fprintf(stderr, "no ConnectionChanged(true) within 10 s\n");
                return 1;
            }
            QTest::qWait(700 * round % 2000); // losses at other points of the watch's period
        }
        std::sort(latencies.begin(), latencies.end());
        std::printf("loss to ConnectionChanged over %d losses: min %lld ms, median %lld ms, max "
                    "%lld ms\n",
                    int(latencies.size()), static_cast<long long>(latencies.first()),
                    static_cast<long long>(latencies.at(latencies.size() / 2)),
                    static_cast<long long>(latencies.last()));
    }

    auto backoff = [&](const char *label, UsbIpPeer::Mode mode) {
        ManagerProcess service;
        peer.setMode(mode);
        world.usbip.setResponse({QStringLiteral("list"), QStringLiteral("-r"), Host}, QByteArray());
        if (!start(service, 1, false))
            return false;
        service.sysfs().setImported({});
        const qint64 before = cpuMs(service.pid());
        QTest::qWait(windowMs);
        std::printf("back-off, %s: %d usbip runs and %lld ms CPU in the first %d s after the "
                    "loss\n",
                    label, int(world.usbip.calls().size()),
                    static_cast<long long>(cpuMs(service.pid()) - before), windowMs / 1000);
        world.usbip.clearCalls();
        QTest::qWait(windowMs);
        std::printf("back-off, %s: %d usbip runs in the next %d s\n", label,
                    int(world.usbip.calls().size()), windowMs / 1000);
        peer.setMode(UsbIpPeer::Answer);
        return true;
    };
    if (!backoff("the host answers, the device is not exported", UsbIpPeer::Answer)
        || !backoff("the host never answers", UsbIpPeer::Drop))
        return 1;
    return 0;
}

#include "healbench.moc"
