// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "fakeusbip.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>

// A stand-in for the part of /sys the Manager service reads and writes
// (--sysfs-root): by default both usbip modules loaded, a vhci driver with
// 16 free ports (8 high-speed, 8 SuperSpeed), the bus's drivers_probe file,
// usbip-host's match_busid file, and no devices (none shared); and for the
// records of `usbip attach` (--vhci-state-dir), an empty folder.
class FakeSysfs
{
public:
    FakeSysfs();
    QString path() const { return m_dir.path(); }
    QString vhciStateDir() const { return m_dir.filePath(QStringLiteral("run/vhci_hcd")); }

    void setModuleLoaded(const QString &module, bool loaded); // "vhci-hcd"
    // A local device; an empty serial number: the device has none. With
    // `vidPid` ("abcd:1234") it has ids; `driver` names its driver.
    void addDevice(const QString &busId, const QString &serial = QString(),
                   const QString &vidPid = QString(), const QString &driver = QString());
    void setDriver(const QString &busId, const QString &driver); // "" for none

    // A device attached over USB/IP on `port`, with the record `usbip
    // attach` writes ("host 3240 busid").
    struct Imported
    {
        int port;
        QString host;
        QString busId;
    };
    // The ports in use are these, and these have their records; the records
    // of other ports stay, as the kernel leaves them when it drops a
    // connection.
    void setImported(const QList<Imported> &ports);
    // Shell commands that do the same, for the fake tool (FakeUsbip::setEffect).
    QByteArray importedScript(const QList<Imported> &ports) const;
    QByteArray driverScript(const QString &busId, const QString &driver) const;
    // A device bound to usbip-host (shared), as the kernel shows it there.
    void setShared(const QString &busId, bool shared);
    // What was written to usbip-host's match_busid and to drivers_probe
    // last, in this order (and clears both).
    QByteArray takeProbed();

private:
    QTemporaryDir m_dir;
};

// A stand-in for nftables' tool (--nft): records the arguments and the
// standard input of every run, and answers with the exit code, standard
// error and delay set (by default: at once, with success).
class FakeNft
{
public:
    FakeNft();
    QString executable() const;
    void setResponse(int exitCode, const QByteArray &standardError = QByteArray(), int delayMs = 0);
    // The standard input of every finished run, oldest first.
    QList<QByteArray> inputs() const;
    // The arguments of every finished run, joined by blanks.
    QStringList arguments() const;
    // Whether a run started while another was still running.
    bool overlapped() const;
    void clear();

private:
    QStringList finishedRuns() const;
    QTemporaryDir m_dir;
};

// The built Manager service, run as a child process on the (private) system
// bus. The child inherits PATH (so a FakeUsbip is found first) and the
// environment of the test. Unless the arguments say otherwise it keeps its
// lists in the test's configuration folder (TestEnvironment's, or one of its
// own), sees the FakeSysfs below, keeps its records in a temporary folder,
// loads modules with a FakeUsbip that records the module names (not on
// PATH), and changes the packet filter with a FakeNft.
class ManagerProcess
{
public:
    ManagerProcess();
    ~ManagerProcess();

    static QString executable();

    FakeSysfs &sysfs() { return m_sysfs; }
    FakeUsbip &moduleLoader() { return m_loader; }
    FakeNft &nft() { return m_nft; }
    // Runs the service through this command (the service's path and
    // arguments follow it), such as nsenter into a network namespace.
    void setLauncher(const QStringList &launcher) { m_launcher = launcher; }
    QString stateDir() const { return m_state.path(); }

    // Starts the service and waits until it owns its bus name; with
    // `waitForRestore` also until it has finished restoring.
    bool start(const QStringList &arguments, bool waitForRestore = true);
    void stop();
    // SIGKILL, and waits until the process has gone (not for its bus name).
    void kill();
    bool isRunning() const;
    // How the last run ended (after stop()).
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    int exitCode() const { return m_process.exitCode(); }
    qint64 pid() const;
    // What the service logged so far.
    QString log();
    QString errorString() const { return m_error; }

    // A blocking call of a Manager method on the system bus.
    static QDBusMessage call(const QString &method, const QVariantList &arguments,
                             int timeoutMs = 30000);

private:
    FakeSysfs m_sysfs;
    FakeUsbip m_loader;
    FakeNft m_nft;
    QStringList m_launcher;
    QTemporaryDir m_state;
    QProcess m_process;
    QByteArray m_log;
    QString m_error;
};
