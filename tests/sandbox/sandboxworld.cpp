// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "sandboxworld.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QSaveFile>
#include <QThread>

namespace {

const char PolkitService[] = "org.freedesktop.PolicyKit1";
const char ManagerService[] = "org.ovra.admin.usbip";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

SandboxWorld::SandboxWorld()
{
    // The world and the fake hardware are the ones scripts/sandbox uses.
    m_env.writeFile(QStringLiteral("world.json"),
                    readFile(QStringLiteral(OVRA_SANDBOX_SOURCE_DIR "/world.json")));

    // The sandbox's own lsblk answers for its fake hardware.
    m_env.writeFile(QStringLiteral("lsblk.json"),
                    readFile(QStringLiteral(OVRA_SANDBOX_SOURCE_DIR "/lsblk.json")));
    const QString lsblk =
        m_env.writeFile(QStringLiteral("bin/lsblk"),
                        "#!/bin/sh\nexec cat \"$(dirname \"$0\")/../lsblk.json\"\n");
    QFile::setPermissions(lsblk, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_env.writeFile(QStringLiteral("fakehw.xml"),
                    readFile(QStringLiteral(OVRA_SANDBOX_SOURCE_DIR "/fakehw.xml.in")));

    // The sandbox loads no kernel module: the Manager's loader always fails.
    const QString modprobe =
        m_env.writeFile(QStringLiteral("manager/modprobe"),
                        "#!/bin/sh\necho \"modprobe: FATAL: Module $1 not found in directory "
                        "/lib/modules/sandbox\" >&2\nexit 1\n");
    QFile::setPermissions(modprobe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Nor does it change the packet filter: the Manager's rules are recorded.
    const QString nft = m_env.writeFile(
        QStringLiteral("manager/nft"),
        "#!/bin/sh\n{ echo \"# nft $*\"; cat; } >> \"$(dirname \"$0\")/nft-rules.log\"\n");
    QFile::setPermissions(nft, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    qputenv("OVRA_SIM_STATE", statePath().toLocal8Bit());
    qputenv("SOLID_FAKEHW", m_env.filePath(QStringLiteral("fakehw.xml")).toLocal8Bit());
    qputenv("PATH", QByteArray(OVRA_SIM_USBIP_DIR) + ':'
                        + m_env.filePath(QStringLiteral("bin")).toLocal8Bit() + ':'
                        + qgetenv("PATH"));
    qputenv("TMPDIR", m_env.filePath(QStringLiteral("cache")).toLocal8Bit());
    qunsetenv("TESTMODE");
}

SandboxWorld::~SandboxWorld()
{
    stopManager();
    stopSystemd();
    stopHelper(m_polkit);
    stopHelper(m_usbipd);
    m_bus.stop();
}

bool SandboxWorld::waitForBusName(const QString &name, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    while (!deadline.hasExpired()) {
        if (bus && bus->isServiceRegistered(name))
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool SandboxWorld::startHelper(QProcess &process, const QString &program,
                               const QStringList &arguments, const QString &busName)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        m_error = QStringLiteral("%1 did not start: %2").arg(program, process.errorString());
        return false;
    }
    if (!waitForBusName(busName, 20000)) {
        m_error =
            QStringLiteral("%1 did not take %2 on the bus: %3")
                .arg(program, busName, QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

bool SandboxWorld::start()
{
    if (!m_env.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!m_bus.start()) {
        m_error = m_bus.errorString();
        return false;
    }
    if (!QDBusConnection::systemBus().isConnected()) {
        m_error = QStringLiteral("the private system bus cannot be reached");
        return false;
    }
    if (!startHelper(m_polkit, QStringLiteral(OVRA_SANDBOX_POLKIT), {},
                     QLatin1String(PolkitService)))
        return false;
    // The remote hosts' daemons, which the network scan probes; a line on
    // standard output says where they listen. The suite runs in a network
    // namespace of its own: a host it cannot serve is a fault.
    m_usbipd.setProcessChannelMode(QProcess::SeparateChannels);
    m_usbipd.start(QStringLiteral(OVRA_SANDBOX_USBIPD), QStringList());
    if (!m_usbipd.waitForStarted(10000) || !m_usbipd.waitForReadyRead(20000)) {
        m_error = QStringLiteral("the simulated USB/IP daemons did not start: %1")
                      .arg(QString::fromLocal8Bit(m_usbipd.readAllStandardError()));
        return false;
    }
    m_servedHosts = QString::fromLocal8Bit(m_usbipd.readLine())
                        .mid(int(qstrlen("listening on ")))
                        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString &host : m_servedHosts)
        host = host.trimmed();
    return startManager();
}

bool SandboxWorld::startManager()
{
    stopManager();
    // The part of sysfs the Manager reads, as the world has it now.
    const QString sysfs = m_env.filePath(QStringLiteral("sys"));
    const QString vhciState = m_env.filePath(QStringLiteral("run/vhci_hcd"));
    const Run written = usbip({QStringLiteral("sim-sysfs"), sysfs, vhciState});
    if (written.exitCode != 0) {
        m_error = QStringLiteral("no sysfs tree: %1").arg(QString::fromLocal8Bit(written.err));
        return false;
    }
    return startHelper(m_manager, QStringLiteral(OVRA_MANAGERD),
                       {QStringLiteral("--config-dir"), configDir(), QStringLiteral("--state-dir"),
                        stateDir(), QStringLiteral("--sysfs-root"), sysfs,
                        QStringLiteral("--vhci-state-dir"), vhciState, QStringLiteral("--modprobe"),
                        m_env.filePath(QStringLiteral("manager/modprobe")), QStringLiteral("--nft"),
                        m_env.filePath(QStringLiteral("manager/nft"))},
                       QLatin1String(ManagerService));
}

void SandboxWorld::stopHelper(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void SandboxWorld::stopManager()
{
    if (m_manager.state() == QProcess::NotRunning)
        return;
    stopHelper(m_manager);
    // Until the bus has noticed, the old owner still answers to the name.
    QDeadlineTimer deadline(10000);
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    while (bus && bus->isServiceRegistered(QLatin1String(ManagerService)) && !deadline.hasExpired())
        QThread::msleep(50);
}

bool SandboxWorld::startSystemd(const QStringList &arguments)
{
    stopSystemd();
    return startHelper(m_systemd, QStringLiteral(OVRA_SANDBOX_SYSTEMD), arguments,
                       QStringLiteral("org.freedesktop.systemd1"));
}

void SandboxWorld::stopSystemd()
{
    stopHelper(m_systemd);
}

void SandboxWorld::installToolsPackage(const QString &kernelRelease)
{
    m_env.writeFile(
        QStringLiteral("dpkg/status"),
        "Package: linux-tools-" + kernelRelease.toLatin1()
            + "\nStatus: install ok installed\nArchitecture: all\nVersion: 1.0\n"
              "Maintainer: Sandbox <sandbox@localhost>\n"
              "Description: USB/IP user-space tools for the running kernel (sandbox)\n\n");
    qputenv("DPKG_ADMINDIR", m_env.filePath(QStringLiteral("dpkg")).toLocal8Bit());
}

QByteArray SandboxWorld::managerLog()
{
    return m_manager.readAllStandardError();
}

bool SandboxWorld::setAuthorized(bool authorized)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(PolkitService),
                                       QStringLiteral("/org/ovra/sandbox/FakePolkit"),
                                       QStringLiteral("org.ovra.sandbox.FakePolkit"),
                                       QStringLiteral("SetAuthorized"));
    call << authorized;
    return QDBusConnection::systemBus().call(call).type() == QDBusMessage::ReplyMessage;
}

QByteArray SandboxWorld::nftRules() const
{
    return readFile(m_env.filePath(QStringLiteral("manager/nft-rules.log")));
}

QJsonObject SandboxWorld::world() const
{
    return QJsonDocument::fromJson(readFile(statePath())).object();
}

void SandboxWorld::setWorld(const QJsonObject &world)
{
    // The same lock as the simulated tool's: the Manager may be running it.
    {
        QLockFile lock(statePath() + QStringLiteral(".lock"));
        if (!lock.tryLock(30000))
            return;
        QSaveFile file(statePath());
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QJsonDocument(world).toJson());
            file.commit();
        }
    }
    // The kernel's side (port table, drivers) follows at once.
    usbip({QStringLiteral("sim-sync")});
}

SandboxWorld::Run SandboxWorld::usbip(const QStringList &arguments) const
{
    QProcess process;
    process.start(QStringLiteral(OVRA_SIM_USBIP_DIR "/usbip"), arguments);
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.exitCode = process.exitCode();
    return run;
}

bool SandboxWorld::isBound(const QString &busid) const
{
    const QJsonArray devices = world().value(QStringLiteral("localDevices")).toArray();
    for (const QJsonValue &device : devices) {
        const QJsonObject object = device.toObject();
        if (object.value(QStringLiteral("busid")).toString() == busid)
            return object.value(QStringLiteral("bound")).toBool();
    }
    return false;
}
