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
// 16 ports, the bus's drivers_probe file, usbip-host's match_busid file,
// and no devices (none shared).
class FakeSysfs
{
public:
    FakeSysfs();
    QString path() const { return m_dir.path(); }

    void setModuleLoaded(const QString &module, bool loaded); // "vhci-hcd"
    // A local device; an empty serial number: the device has none.
    void addDevice(const QString &busId, const QString &serial = QString());
    // A device bound to usbip-host (shared), as the kernel shows it there.
    void setShared(const QString &busId, bool shared);
    // What was written to usbip-host's match_busid and to drivers_probe
    // last, in this order (and clears both).
    QByteArray takeProbed();

private:
    QTemporaryDir m_dir;
};

// The built Manager service, run as a child process on the (private) system
// bus. The child inherits PATH (so a FakeUsbip is found first) and the
// environment of the test. Unless the arguments say otherwise it sees the
// FakeSysfs below, keeps its records in a temporary folder, and loads
// modules with a FakeUsbip that records the module names (not on PATH).
class ManagerProcess
{
public:
    ManagerProcess();
    ~ManagerProcess();

    static QString executable();

    FakeSysfs &sysfs() { return m_sysfs; }
    FakeUsbip &moduleLoader() { return m_loader; }
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
    QTemporaryDir m_state;
    QProcess m_process;
    QByteArray m_log;
    QString m_error;
};
