// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Times network scans against the real usbip client, with the scan in a
// worker thread as the window runs it:
//  - a /24 of loopback: three answering peers, two that accept and never answer,
//    the rest refusing; total time and devices found per run, idle and with
//    two CPU-bound processes beside it;
//  - 127.203.0.0/16: all refusing but three answering peers; time, hosts
//    found and memory;
//  - Stop: from stopScan() in the GUI thread to the report of 1 there.
//
//     ovra-scan-bench [timeout-ms [runs [network]]]
//
// The defaults are 150 ms, 20 runs and 127.0.1.0; another loopback /24
// (127.x.y.0) keeps clear of test peers that other runs on the machine may
// have put on 127.0.1.0/24.

#include "fakeusbip.h"
#include "nethelpers.h"
#include "networkscan.h"
#include "usbiplisting.h"
#include "usbippeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QProcess>
#include <QSet>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

QTextStream out(stdout);

QString summary(QList<qint64> values, const char *unit)
{
    if (values.isEmpty())
        return QStringLiteral("-");
    std::sort(values.begin(), values.end());
    return QStringLiteral("min %1, median %2, max %3 %4")
        .arg(values.first())
        .arg(values.at(values.size() / 2))
        .arg(values.last())
        .arg(QLatin1String(unit));
}

QString statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("?");
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(name))
            return QString::fromLatin1(line.mid(int(qstrlen(name))).simplified());
    }
    return QStringLiteral("?");
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed())
                                          : QStringLiteral("?");
}

// The scan in its worker thread, driven from this (the GUI) thread.
class Scanner : public QObject
{
    Q_OBJECT
public:
    Scanner()
    {
        m_scanner = new NetworkScanner;
        m_scanner->moveToThread(&m_worker);
        connect(this, &Scanner::scanRequested, m_scanner,
                [scanner = m_scanner](const QString &subnet, int count, int timeout) {
                    scanner->scan(subnet, count, timeout, 0);
                });
        connect(m_scanner, &NetworkScanner::progress, this, [this](int value) {
            if (m_stopped.isValid() && value == 1 && m_stopLatency < 0) {
                m_stopLatency = m_stopped.elapsed();
                m_loop.quit();
            }
        });
        connect(m_scanner, &NetworkScanner::finished, this,
                [this](const QList<UsbDevice> &devices) {
                    m_devices = devices;
                    m_loop.exit(1);
                });
        m_worker.start();
    }
    ~Scanner() override
    {
        m_scanner->stop();
        m_worker.quit();
        m_worker.wait();
        delete m_scanner;
    }

    // One whole scan; the time from the request to the report of the result.
    qint64 scan(const QString &subnet, int count, int timeout)
    {
        QElapsedTimer clock;
        clock.start();
        Q_EMIT scanRequested(subnet, count, timeout);
        while (m_loop.exec() != 1) { }
        return clock.elapsed();
    }

    // Starts a scan, stops it after `afterMs`; the time until the report of 1.
    qint64 stopLatency(const QString &subnet, int count, int timeout, int afterMs)
    {
        m_stopped.invalidate();
        m_stopLatency = -1;
        Q_EMIT scanRequested(subnet, count, timeout);
        QTimer::singleShot(afterMs, this, [this] {
            m_stopped.start();
            m_scanner->stop();
        });
        while (m_stopLatency < 0)
            m_loop.exec();
        // Let the worker finish, and the stop flag clear, before the next scan.
        QMetaObject::invokeMethod(
            m_scanner,
            [] {
            },
            Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
        return m_stopLatency;
    }

    QList<UsbDevice> devices() const { return m_devices; }

Q_SIGNALS:
    void scanRequested(const QString &subnet, int count, int timeout);

private:
    QThread m_worker;
    NetworkScanner *m_scanner;
    QList<UsbDevice> m_devices;
    QEventLoop m_loop;
    QElapsedTimer m_stopped;
    qint64 m_stopLatency = -1;
};

int hostsFound(const QList<UsbDevice> &devices)
{
    QSet<QString> hosts;
    for (const UsbDevice &device : devices)
        hosts.insert(device.host());
    return hosts.size();
}

std::unique_ptr<UsbIpPeer> startPeer(const QString &address, UsbIpPeer::Mode mode)
{
    auto peer = std::make_unique<UsbIpPeer>();
    peer->setMode(mode);
    peer->setDevices({UsbIpPeer::storageDevice(QStringLiteral("1-1"), 0x0781, 0x5567),
                      UsbIpPeer::storageDevice(QStringLiteral("1-2"), 0xdead, 0xbeef)});
    if (!peer->listen(address)) {
        out << peer->errorString() << "\n";
        out.flush();
        return nullptr;
    }
    return peer;
}

void benchSlash24(Scanner &scanner, const QString &network, int timeout, int runs,
                  const char *label)
{
    out << network << "/24 (254 addresses), " << label << ", time-out " << timeout
        << " ms; load average " << loadAverage() << "\n";
    // What the real tool alone needs here and now to list one peer: the floor
    // of every scan that finds something.
    QList<qint64> tool;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer clock;
        clock.start();
        UsbIpListing::listExports(addressAt(network, 10));
        tool.append(clock.elapsed());
    }
    out << "  usbip list -r of one answering peer alone: " << summary(tool, "ms") << "\n";
    QList<qint64> times;
    int complete = 0;
    for (int run = 1; run <= runs; ++run) {
        const qint64 ms = scanner.scan(network, 255, timeout);
        const QList<UsbDevice> devices = scanner.devices();
        times.append(ms);
        complete += hostsFound(devices) == 3;
        out << "  run " << run << ": " << ms << " ms, " << devices.size() << " devices from "
            << hostsFound(devices) << " of 3 hosts\n";
        out.flush();
    }
    out << "  total time: " << summary(times, "ms") << "; all 3 hosts found in " << complete
        << " of " << runs << " runs\n";
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int timeout = argc > 1 ? QByteArray(argv[1]).toInt() : 150;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 20;
    const QString network =
        argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("127.0.1.0");

    const QString usbip = FakeUsbip::realUsbip();
    if (usbip.isEmpty()) {
        out << "usbip is not installed\n";
        return 1;
    }
    // The real tool first on PATH. The scan looks up no name.
    qputenv("PATH", QFileInfo(usbip).absolutePath().toLocal8Bit() + ':' + qgetenv("PATH"));

    std::vector<std::unique_ptr<UsbIpPeer>> peers;
    const QList<QPair<int, UsbIpPeer::Mode>> roles{{10, UsbIpPeer::Answer},
                                                   {20, UsbIpPeer::Answer},
                                                   {30, UsbIpPeer::Answer},
                                                   {40, UsbIpPeer::Hang},
                                                   {50, UsbIpPeer::Hang}};
    for (const auto &role : roles) {
        peers.push_back(startPeer(addressAt(network, quint32(role.first)), role.second));
        if (!peers.back())
            return 1;
    }

    const QString memoryAtStart = statusField("VmRSS:");
    {
        Scanner scanner;
        benchSlash24(scanner, network, timeout, runs, "idle");

        // Two processes that want a processor each, on their own.
        std::vector<std::unique_ptr<QProcess>> hogs;
        for (int i = 0; i < 2; ++i) {
            hogs.push_back(std::make_unique<QProcess>());
            hogs.back()->start(QStringLiteral("/bin/sh"),
                               {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
            hogs.back()->waitForStarted();
        }
        QThread::msleep(500);
        benchSlash24(scanner, network, timeout, runs, "busy (two CPU-bound processes beside it)");
        for (auto &hog : hogs) {
            hog->kill();
            hog->waitForFinished();
        }
        const QString memoryAfter24 = statusField("VmRSS:");
        const QString peakAfter24 = statusField("VmHWM:");

        // A /16 of loopback: all refusing but three.
        const QStringList answering{QStringLiteral("127.203.0.10"), QStringLiteral("127.203.128.1"),
                                    QStringLiteral("127.203.255.250")};
        for (const QString &address : answering) {
            peers.push_back(startPeer(address, UsbIpPeer::Answer));
            if (!peers.back())
                return 1;
        }
        out << "127.203.0.0/16 (65534 addresses), time-out " << timeout << " ms; load average "
            << loadAverage() << "\n";
        const qint64 ms = scanner.scan(QStringLiteral("127.203.0.0"), 65535, timeout);
        out << "  total time: " << ms << " ms, " << hostsFound(scanner.devices()) << " of 3 hosts ("
            << scanner.devices().size() << " devices)\n";
        out << "  memory (VmRSS): " << memoryAtStart << " at start, " << memoryAfter24
            << " after the /24 runs, " << statusField("VmRSS:") << " after the /16; peak (VmHWM) "
            << peakAfter24 << " after the /24 runs, " << statusField("VmHWM:")
            << " after the /16\n";
        out.flush();

        QList<qint64> latencies;
        for (int i = 0; i < 10; ++i)
            latencies.append(
                scanner.stopLatency(QStringLiteral("127.203.0.0"), 65535, timeout, 200 + 50 * i));
        out << "Stop during the /16 scan, stopScan() to the report of 1 in the GUI thread: "
            << summary(latencies, "ms") << " (10 stops)\n";
    }
    out.flush();
    return 0;
}

#include "scanbench.moc"
