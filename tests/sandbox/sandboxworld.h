// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "privatebus.h"
#include "testenvironment.h"

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The sandbox of scripts/sandbox, set up inside a test process: the world of
// the simulated usbip tool (first on PATH) and its remote hosts' daemons
// (serving the hosts of the world as it is at start()), Solid's fake hardware, a private
// system bus with the polkit stand-in and the real Manager service, and a
// temporary HOME. Construct it before the first use of the system bus or of
// Solid in the process, then call start().
class SandboxWorld
{
public:
    struct Run
    {
        QByteArray out;
        QByteArray err;
        int exitCode = -1;
    };

    SandboxWorld();
    ~SandboxWorld();

    bool start();
    QString errorString() const { return m_error; }

    // The Manager service: started by start(), restarted by the tests.
    bool startManager();
    void stopManager();
    // Standard error of the Manager since it was last started.
    QByteArray managerLog();

    // The systemd stand-in (not started by start()): `arguments` as for
    // ovra-sandbox-systemd, e.g. {"--inactive", "usbipd"}.
    bool startSystemd(const QStringList &arguments);
    void stopSystemd();
    // Shows the tools package of the running kernel as installed
    // (DPKG_ADMINDIR with a status file).
    void installToolsPackage(const QString &kernelRelease);

    // Switches the polkit stand-in between allowing and denying.
    bool setAuthorized(bool authorized);

    // The world of the simulated tool, read and replaced as a whole.
    QJsonObject world() const;
    void setWorld(const QJsonObject &world);
    // Runs the simulated tool on the world.
    Run usbip(const QStringList &arguments) const;
    // The local device `busid` is bound to usbip-host in the world.
    bool isBound(const QString &busid) const;

    // The remote hosts whose daemon listens (another sandbox on the machine
    // may hold an address).
    QStringList servedHosts() const { return m_servedHosts; }

    QString configDir() const { return m_env.configDir(); }
    // The Manager's own records (--state-dir).
    QString stateDir() const { return m_env.filePath(QStringLiteral("state")); }
    QByteArray configFile(const QString &name) const { return m_env.readConfigFile(name); }
    QString statePath() const { return m_env.filePath(QStringLiteral("world.json")); }
    // Every set of rules the Manager handed the stand-in nft, one after the other.
    QByteArray nftRules() const;

private:
    static bool waitForBusName(const QString &name, int timeoutMs);
    bool startHelper(QProcess &process, const QString &program, const QStringList &arguments,
                     const QString &busName);
    static void stopHelper(QProcess &process);

    TestEnvironment m_env;
    PrivateBus m_bus;
    QProcess m_polkit;
    QProcess m_manager;
    QProcess m_systemd;
    QProcess m_usbipd;
    QStringList m_servedHosts;
    QString m_error;
};
