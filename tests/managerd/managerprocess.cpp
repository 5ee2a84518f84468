// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerprocess.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include "ovrausbipmanager.h"

#include <signal.h>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

const char nftScript[] = R"SH(#!/bin/sh
# Fake nft for tests: records its arguments and standard input, answers as set.
dir=$(cd "$(dirname "$0")" && pwd)
run="$dir/runs/$(date +%s%N).$$"
[ -e "$dir/running" ] && touch "$dir/overlapped"
touch "$dir/running"
cat >"$run.in"
if [ -f "$dir/delay" ]; then
    sleep "$(cat "$dir/delay")" &
    child=$!
    trap 'kill $child 2>/dev/null; exit 143' TERM INT
    wait $child
fi
rm -f "$dir/running"
printf '%s' "$*" >"$run.args"
[ -f "$dir/stderr" ] && cat "$dir/stderr" >&2
exit "$(cat "$dir/code" 2>/dev/null || echo 0)"
)SH";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The vhci driver's port table with `ports` in use, as the kernel prints it.
QByteArray statusText(const QList<FakeSysfs::Imported> &ports)
{
    QByteArray text = "hub port sta spd dev      sockfd local_busid\n";
    for (int port = 0; port < 16; ++port) {
        bool used = false;
        for (const FakeSysfs::Imported &imported : ports)
            used = used || imported.port == port;
        text += (port < 8 ? "hs  " : "ss  ") + QByteArray::number(port).rightJustified(4, '0')
              + (used ? " 006 003 00010002 000005 3-1\n" : " 004 000 00000000 000000 0-0\n");
    }
    return text;
}

// `cat` of `content` into `path`, for a shell.
QByteArray shellWrite(const QString &path, const QByteArray &content)
{
    return "cat > '" + path.toLocal8Bit() + "' <<'OVRA_EOF'\n" + content + "OVRA_EOF\n";
}

} // namespace

FakeNft::FakeNft()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("runs"));
    writeFile(executable(), nftScript);
    QFile::setPermissions(executable(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString FakeNft::executable() const
{
    return m_dir.filePath(QStringLiteral("nft"));
}

void FakeNft::setResponse(int exitCode, const QByteArray &standardError, int delayMs)
{
    writeFile(m_dir.filePath(QStringLiteral("code")), QByteArray::number(exitCode));
    writeFile(m_dir.filePath(QStringLiteral("stderr")), standardError);
    if (delayMs > 0)
        writeFile(m_dir.filePath(QStringLiteral("delay")),
                  QByteArray::number(delayMs / 1000.0, 'f', 3));
    else
        QFile::remove(m_dir.filePath(QStringLiteral("delay")));
}

QStringList FakeNft::finishedRuns() const
{
    QStringList runs = QDir(m_dir.filePath(QStringLiteral("runs")))
                           .entryList({QStringLiteral("*.args")}, QDir::Files, QDir::Name);
    for (QString &run : runs)
        run = m_dir.filePath(QStringLiteral("runs/") + run.chopped(5));
    return runs;
}

QList<QByteArray> FakeNft::inputs() const
{
    QList<QByteArray> result;
    for (const QString &run : finishedRuns())
        result << readFile(run + QStringLiteral(".in"));
    return result;
}

QStringList FakeNft::arguments() const
{
    QStringList result;
    for (const QString &run : finishedRuns())
        result << QString::fromLocal8Bit(readFile(run + QStringLiteral(".args")));
    return result;
}

bool FakeNft::overlapped() const
{
    return QFile::exists(m_dir.filePath(QStringLiteral("overlapped")));
}

void FakeNft::clear()
{
    QFile::remove(m_dir.filePath(QStringLiteral("overlapped")));
    QFile::remove(m_dir.filePath(QStringLiteral("running"))); // left by a killed run
    QDir(m_dir.filePath(QStringLiteral("runs"))).removeRecursively();
    QDir(m_dir.path()).mkpath(QStringLiteral("runs"));
    setResponse(0);
}

FakeSysfs::FakeSysfs()
{
    setModuleLoaded(QStringLiteral("usbip-host"), true);
    setModuleLoaded(QStringLiteral("vhci-hcd"), true);
    writeFile(m_dir.filePath(QStringLiteral("devices/platform/vhci_hcd.0/nports")), "16\n");
    writeFile(m_dir.filePath(QStringLiteral("bus/usb/drivers_probe")), QByteArray());
    writeFile(m_dir.filePath(QStringLiteral("bus/usb/drivers/usbip-host/match_busid")),
              QByteArray());
    QDir().mkpath(m_dir.filePath(QStringLiteral("bus/usb/drivers/usb")));
    QDir().mkpath(vhciStateDir());
    setImported({});
}

void FakeSysfs::setImported(const QList<Imported> &ports)
{
    writeFile(m_dir.filePath(QStringLiteral("devices/platform/vhci_hcd.0/status")),
              statusText(ports));
    for (const Imported &imported : ports)
        writeFile(vhciStateDir() + QStringLiteral("/port%1").arg(imported.port),
                  imported.host.toUtf8() + " 3240 " + imported.busId.toUtf8() + '\n');
}

QByteArray FakeSysfs::importedScript(const QList<Imported> &ports) const
{
    QByteArray script =
        shellWrite(m_dir.filePath(QStringLiteral("devices/platform/vhci_hcd.0/status")),
                   statusText(ports));
    for (const Imported &imported : ports)
        script += shellWrite(vhciStateDir() + QStringLiteral("/port%1").arg(imported.port),
                             imported.host.toUtf8() + " 3240 " + imported.busId.toUtf8() + '\n');
    return script;
}

void FakeSysfs::setDriver(const QString &busId, const QString &driver)
{
    const QString link = m_dir.filePath(QStringLiteral("bus/usb/devices/%1/driver").arg(busId));
    QFile::remove(link);
    if (!driver.isEmpty())
        QFile::link(m_dir.filePath(QStringLiteral("bus/usb/drivers/") + driver), link);
}

QByteArray FakeSysfs::driverScript(const QString &busId, const QString &driver) const
{
    return "ln -sfn '" + m_dir.filePath(QStringLiteral("bus/usb/drivers/") + driver).toLocal8Bit()
         + "' '"
         + m_dir.filePath(QStringLiteral("bus/usb/devices/%1/driver").arg(busId)).toLocal8Bit()
         + "'\n";
}

void FakeSysfs::setModuleLoaded(const QString &module, bool loaded)
{
    QDir folder(m_dir.filePath(QStringLiteral("module/") + QString(module).replace('-', '_')));
    if (loaded)
        folder.mkpath(QStringLiteral("."));
    else
        folder.removeRecursively();
}

void FakeSysfs::addDevice(const QString &busId, const QString &serial, const QString &vidPid,
                          const QString &driver)
{
    const QString folder = m_dir.filePath(QStringLiteral("bus/usb/devices/") + busId);
    QDir().mkpath(folder);
    if (!serial.isEmpty())
        writeFile(folder + QStringLiteral("/serial"), serial.toUtf8() + '\n');
    if (!vidPid.isEmpty()) {
        writeFile(folder + QStringLiteral("/idVendor"), vidPid.left(4).toLatin1() + '\n');
        writeFile(folder + QStringLiteral("/idProduct"), vidPid.mid(5).toLatin1() + '\n');
    }
    setDriver(busId, driver);
}

void FakeSysfs::setShared(const QString &busId, bool shared)
{
    QDir device(m_dir.filePath(QStringLiteral("bus/usb/drivers/usbip-host/") + busId));
    if (shared)
        device.mkpath(QStringLiteral("."));
    else
        device.removeRecursively();
}

QByteArray FakeSysfs::takeProbed()
{
    QByteArray written;
    for (const char *name : {"bus/usb/drivers/usbip-host/match_busid", "bus/usb/drivers_probe"}) {
        QFile file(m_dir.filePath(QLatin1String(name)));
        if (file.open(QIODevice::ReadWrite))
            written += file.readAll();
        file.resize(0);
    }
    return written;
}

ManagerProcess::ManagerProcess()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // The loader records like the fake tool, but must not stand in for it.
    m_loader.uninstall();
}

ManagerProcess::~ManagerProcess()
{
    stop();
}

QString ManagerProcess::executable()
{
    return QStringLiteral(OVRA_MANAGERD_EXECUTABLE);
}

bool ManagerProcess::start(const QStringList &arguments, bool waitForRestore)
{
    const int logStart = m_log.size(); // the log keeps the output of earlier runs
    QStringList all = arguments;
    // Never the machine's own /etc/usbip: the test's configuration folder
    // (TestEnvironment), else one of its own.
    QString configDir = qEnvironmentVariable("OVRA_USBIP_CONFIG_DIR");
    if (configDir.isEmpty())
        configDir = m_state.filePath(QStringLiteral("etc-usbip"));
    const QList<QPair<QString, QString>> seams{{QStringLiteral("--config-dir"), configDir},
                                               {QStringLiteral("--sysfs-root"), m_sysfs.path()},
                                               {QStringLiteral("--vhci-state-dir"),
                                                m_sysfs.vhciStateDir()},
                                               {QStringLiteral("--state-dir"), m_state.path()},
                                               {QStringLiteral("--modprobe"),
                                                m_loader.executable()},
                                               {QStringLiteral("--nft"), m_nft.executable()}};
    for (const auto &seam : seams) {
        if (!all.contains(seam.first))
            all << seam.first << seam.second;
    }
    if (m_launcher.isEmpty())
        m_process.start(executable(), all, QIODevice::ReadOnly);
    else
        m_process.start(m_launcher.first(), m_launcher.mid(1) + QStringList{executable()} + all,
                        QIODevice::ReadOnly);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("the service did not start: %1").arg(m_process.errorString());
        return false;
    }
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    const QDeadlineTimer deadline(15000);
    bool owned = false;
    bool restored = !waitForRestore;
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        owned = owned || bus->isServiceRegistered(QLatin1String(OvraUsbIp::ManagerService));
        m_process.waitForReadyRead(20);
        m_log += m_process.readAll();
        restored = restored || m_log.indexOf("restore done", logStart) >= 0;
        if (owned && restored)
            return true;
    }
    m_error = QStringLiteral("the service did not come up: %1").arg(QString::fromLocal8Bit(m_log));
    return false;
}

void ManagerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_log += m_process.readAll();
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_log += m_process.readAll();
    // Let the bus see the name go before a new instance asks for it.
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()
           && bus->isServiceRegistered(QLatin1String(OvraUsbIp::ManagerService)))
        QThread::msleep(10);
}

void ManagerProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(m_process.processId()), SIGKILL);
    m_process.waitForFinished(5000);
    m_log += m_process.readAll();
}

bool ManagerProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

qint64 ManagerProcess::pid() const
{
    return m_process.processId();
}

QString ManagerProcess::log()
{
    if (m_process.isOpen())
        m_log += m_process.readAll();
    return QString::fromLocal8Bit(m_log);
}

QDBusMessage ManagerProcess::call(const QString &method, const QVariantList &arguments,
                                  int timeoutMs)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(QLatin1String(OvraUsbIp::ManagerService),
                                       QLatin1String(OvraUsbIp::ManagerPath),
                                       QLatin1String(OvraUsbIp::ManagerInterface), method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, timeoutMs);
}
