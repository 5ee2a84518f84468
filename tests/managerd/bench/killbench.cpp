// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Prints figures of the Manager service under abuse (not a test): a kill -9
// loop during constant writes, and a flood of PortsInfo calls. Everything
// runs on a private bus with the fake usbip tool and an allowing fake polkit
// authority of the test support.
//
//   ovra-managerd-killbench [kills] [manager executable]
//
// Kill loop: the service is started, clients write all the time (constant
// shares and connections, each to a new line), and at a random moment the
// service gets SIGKILL. Counted per kill: a frozen copy (the bus name still
// owned, or a process of the service's executable still running, 2 s after
// the kill), temporary files left beside the lists (and whether the next
// start removes them), and lines lost (a write answered true whose line is
// missing) or partial (a line that is no whole entry that was written).
// Processes still running the service's executable 2 s after the kill are
// counted apart: a child caught between vfork and exec finishes its exec
// (and dies of its SIGKILL) once the loaded machine schedules it.

#include "benchworld.h"

#include "ovrausbipmanager.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <signal.h>

namespace {

const QString SharedFile = QStringLiteral("shared-usb-devices");
const QString RemoteFile = QStringLiteral("remote-usb-devices");

QDBusConnectionInterface *bus()
{
    return QDBusConnection::systemBus().interface();
}

bool nameOwned()
{
    return bus()->isServiceRegistered(QLatin1String(OvraUsbIp::ManagerService));
}

void spin(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Processes that run the service's executable (a fork between fork and exec
// does too).
QList<qint64> serviceProcesses(const QString &executable)
{
    QList<qint64> found;
    const QString target = QFileInfo(executable).canonicalFilePath();
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (!exe.isEmpty() && exe == target)
            found << pid.toLongLong();
    }
    return found;
}

bool holdsSocket(qint64 pid)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QStringList names = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (QFileInfo(fds.filePath(name)).symLinkTarget().contains(QLatin1String("socket:")))
            return true;
    }
    return false;
}

QStringList temporaryFiles(const QStringList &folders)
{
    static const QRegularExpression pattern(
        QStringLiteral("\\A(shared-usb-devices|remote-usb-devices|shared-device-serials)"
                       "\\.ovra-new-[A-Za-z0-9]{6}\\z"));
    QStringList found;
    for (const QString &folder : folders) {
        const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : names) {
            if (pattern.match(name).hasMatch())
                found << folder + QLatin1Char('/') + name;
        }
    }
    return found;
}

QStringList lines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

class Service
{
public:
    Service(const QString &executable, const QStringList &arguments)
        : m_executable(executable)
        , m_arguments(arguments)
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
    }
    ~Service() { kill(); }

    bool start()
    {
        m_process.start(m_executable, m_arguments);
        if (!m_process.waitForStarted(10000))
            return false;
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (nameOwned())
                return true;
            QThread::msleep(5);
        }
        m_process.waitForFinished(100);
        m_error = QString::fromLocal8Bit(m_process.readAllStandardError()).trimmed();
        return false;
    }
    QString errorString() const { return m_error; }
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

private:
    QString m_executable;
    QStringList m_arguments;
    QProcess m_process;
    QString m_error;
};

// Keeps `parallel` writes in flight until stopped; remembers what was
// written and which writes were answered true.
class Writer
{
public:
    QSet<QString> written; // every entry ever sent, per file: "file\tentry"
    QSet<QString> acknowledged;
    int sent = 0;

    void start(int parallel)
    {
        m_running = true;
        for (int i = 0; i < parallel; ++i)
            sendOne();
    }
    void stop() { m_running = false; }
    bool idle() const { return m_inFlight == 0; }

private:
    void sendOne()
    {
        if (!m_running)
            return;
        const int n = m_next++;
        QDBusMessage message;
        QString key;
        if (n % 2 == 0) {
            const QString vidpid = QStringLiteral("%1:%2")
                                       .arg(0xa000 + n / 0x10000, 4, 16, QLatin1Char('0'))
                                       .arg(n % 0x10000, 4, 16, QLatin1Char('0'));
            message = call(QStringLiteral("ShareDevice"));
            message << QStringLiteral("1-%1").arg(1 + n % 9) << vidpid;
            key = SharedFile + QLatin1Char('\t') + vidpid;
        } else {
            const QString id =
                QStringLiteral("127.0.%1.%2/1-1/").arg(10 + n / 250 % 200).arg(1 + n % 250);
            message = call(QStringLiteral("ConnectDevice"));
            message << id << true;
            key = RemoteFile + QLatin1Char('\t') + id;
        }
        written.insert(key);
        ++sent;
        ++m_inFlight;
        auto *watcher =
            new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(message, 5000),
                                        qApp);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp,
                         [this, watcher, key](QDBusPendingCallWatcher *) {
                             if (!watcher->isError()
                                 && watcher->reply().arguments().value(0).toBool())
                                 acknowledged.insert(key);
                             watcher->deleteLater();
                             --m_inFlight;
                             sendOne();
                         });
    }
    static QDBusMessage call(const QString &method)
    {
        return QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                              QLatin1String(OvraUsbIp::ManagerPath),
                                              QLatin1String(OvraUsbIp::ManagerInterface), method);
    }

    bool m_running = false;
    int m_inFlight = 0;
    int m_next = 0;
};

void killLoop(const QString &executable, const QStringList &arguments, const QString &configDir,
              const QString &stateDir, int kills)
{
    Writer writer;
    int frozen = 0;
    int lingering = 0;
    int holdingSocket = 0;
    int lingeringLong = 0;
    int leftovers = 0;
    int leftoversKept = 0;
    int lost = 0;
    int partial = 0;
    int failedStarts = 0;
    QList<qint64> releaseMs;
    QSet<QString> counted; // lost lines are counted once

    for (int round = 0; round < kills; ++round) {
        Service service(executable, arguments);
        if (!service.start()) {
            if (!failedStarts++)
                std::printf("a start failed: %s\n", qPrintable(service.errorString()));
            continue;
        }
        // Temporary files the previous kill left must be gone after a start.
        spin(50);
        leftoversKept += temporaryFiles({configDir, stateDir}).size();

        writer.start(4);
        spin(static_cast<int>(QRandomGenerator::global()->bounded(20, 400)));
        service.kill();
        QElapsedTimer sinceKill;
        sinceKill.start();
        writer.stop();
        while (nameOwned() && sinceKill.elapsed() < 2000)
            QThread::msleep(2);
        const bool owned = nameOwned();
        releaseMs << sinceKill.elapsed();
        const QList<qint64> copies = serviceProcesses(executable);
        if (owned)
            ++frozen;
        if (!copies.isEmpty()) {
            lingering += copies.size();
            for (const qint64 pid : copies)
                holdingSocket += holdsSocket(pid) ? 1 : 0;
            QDeadlineTimer gone(10000);
            while (!serviceProcesses(executable).isEmpty() && !gone.hasExpired())
                QThread::msleep(10);
            for (const qint64 pid : serviceProcesses(executable)) {
                ++lingeringLong;
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            }
        }
        QDeadlineTimer released(10000);
        while (nameOwned() && !released.hasExpired())
            QThread::msleep(10);
        // Replies of the killed service arrive as errors.
        QDeadlineTimer drain(10000);
        while (!writer.idle() && !drain.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

        leftovers += temporaryFiles({configDir, stateDir}).size();
        for (const QString &file : {SharedFile, RemoteFile}) {
            const QStringList present = lines(configDir + QLatin1Char('/') + file);
            const QSet<QString> presentSet(present.begin(), present.end());
            for (const QString &line : present) {
                if (!writer.written.contains(file + QLatin1Char('\t') + line))
                    ++partial;
            }
            for (const QString &key : qAsConst(writer.acknowledged)) {
                if (key.startsWith(file + QLatin1Char('\t'))
                    && !presentSet.contains(key.mid(file.size() + 1)) && !counted.contains(key)) {
                    counted.insert(key);
                    ++lost;
                }
            }
        }
        if ((round + 1) % 20 == 0)
            std::fprintf(stderr, "  %d kills...\n", round + 1);
    }
    std::sort(releaseMs.begin(), releaseMs.end());
    const auto percentile = [&releaseMs](int p) {
        return releaseMs.isEmpty() ? -1 : releaseMs.at((releaseMs.size() - 1) * p / 100);
    };
    std::printf("kills: %d (starts that failed: %d)\n", kills, failedStarts);
    std::printf("writes sent: %d, answered true: %d\n", writer.sent,
                static_cast<int>(writer.acknowledged.size()));
    std::printf("frozen copies (the bus name still owned 2 s after the kill): %d\n", frozen);
    std::printf("processes of the service's executable 2 s after the kill: %d (holding a "
                "socket: %d; still there 10 s later: %d)\n",
                lingering, holdingSocket, lingeringLong);
    std::printf("bus name free after the kill: median %lld ms, 99th percentile %lld ms, "
                "longest %lld ms\n",
                percentile(50), percentile(99), percentile(100));
    std::printf("temporary files left by a kill: %d; still there after the next start: %d\n",
                leftovers, leftoversKept);
    std::printf("lines lost: %d, partial lines: %d\n", lost, partial);
}

// Keeps `parallel` PortsInfo calls in flight for `seconds`.
void flood(const QString &executable, const QStringList &arguments, FakeUsbip &usbip, int parallel,
           int seconds)
{
    Service service(executable, arguments);
    if (!service.start()) {
        std::printf("flood: the service did not start\n");
        return;
    }
    usbip.clearCalls();
    QElapsedTimer timer;
    timer.start();
    int done = 0;
    int failed = 0;
    int sent = 0;
    std::function<void()> sendOne = [&]() {
        QDBusMessage message =
            QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                           QLatin1String(OvraUsbIp::ManagerPath),
                                           QLatin1String(OvraUsbIp::ManagerInterface),
                                           QStringLiteral("PortsInfo"));
        ++sent;
        auto *watcher =
            new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(message), qApp);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp,
                         [&, watcher](QDBusPendingCallWatcher *) {
                             failed += watcher->isError() ? 1 : 0;
                             watcher->deleteLater();
                             ++done;
                             if (timer.elapsed() < seconds * 1000)
                                 sendOne();
                         });
    };
    for (int i = 0; i < parallel; ++i)
        sendOne();
    while (done < sent)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double elapsed = timer.nsecsElapsed() / 1e9;
    const int runs = usbip.calls().size();
    std::printf("PortsInfo flood: %d calls (%d in flight, %d failed) in %.2f s = %.0f calls/s; "
                "usbip port ran %d times = %.1f runs/s\n",
                sent, parallel, failed, elapsed, sent / elapsed, runs, runs / elapsed);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int kills = argc > 1 ? QByteArray(argv[1]).toInt() : 200;
    const QString executable =
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(OVRA_MANAGERD_EXECUTABLE);

    BenchWorld world;
    if (!world.start())
        return 1;

    // A stand-in sysfs with both modules loaded, for a service that reads one.
    QTemporaryDir scratch;
    QDir(scratch.path()).mkpath(QStringLiteral("sys/module/usbip_host"));
    QDir(scratch.path()).mkpath(QStringLiteral("sys/module/vhci_hcd"));
    QDir(scratch.path()).mkpath(QStringLiteral("sys/bus/usb/devices"));
    QDir(scratch.path()).mkpath(QStringLiteral("state"));
    QStringList arguments{QStringLiteral("--config-dir"), world.environment.configDir(),
                          QStringLiteral("--tool-timeout"), QStringLiteral("3000")};
    QProcess help;
    help.start(executable, {QStringLiteral("--help")});
    help.waitForFinished(10000);
    if (help.readAllStandardOutput().contains("--sysfs-root"))
        arguments << QStringLiteral("--sysfs-root") << scratch.filePath(QStringLiteral("sys"))
                  << QStringLiteral("--state-dir") << scratch.filePath(QStringLiteral("state"))
                  << QStringLiteral("--modprobe") << QStringLiteral("/bin/false")
                  << QStringLiteral("--nft") << QStringLiteral("/bin/true");
    QDir().mkpath(world.environment.configDir());

    std::printf("== %s\n", qPrintable(executable));
    for (const int parallel : {1, 100})
        flood(executable, arguments, world.usbip, parallel, 5);
    killLoop(executable, arguments, world.environment.configDir(),
             scratch.filePath(QStringLiteral("state")), kills);
    return 0;
}
