// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "devicematch.h"
#include "ovraadminusbipinterface.h"
#include "platform.h"
#include "usbdevice.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <optional>

class NetworkScanner;

// One row of the remote table: a device another host exports (or one
// attached here) and its connection to this machine.
struct RemoteRow
{
    UsbDevice device;
    bool lost = false; // attached before, and its port has gone since
    QString port; // the port it is attached to, when it is
    // The line of the constant-connections file that names it, when one does.
    QString constantLine;

    bool attached() const { return !port.isEmpty(); }
    bool isConstant() const { return !constantLine.isEmpty(); }
    // A constant connection that is lost: the Manager attaches it again as
    // soon as its host exports the device.
    bool isHealing() const { return lost && isConstant(); }
    // Disconnect detaches an attached device, and forgets a constant
    // connection that is lost (which stops the Manager's healing).
    bool canDisconnect() const { return attached() || isHealing(); }
};

Q_DECLARE_METATYPE(RemoteRow)

// A constant connection that the Manager found lost, or attached again: what
// a notification of it says.
struct ConnectionChange
{
    QString name; // the device's name as its row shows it; its bus id when no row does
    QString host; // the host as its row shows it, else as the Manager named it
    bool attached = false; // attached again (true) or lost
    bool constant = false; // a line of the constant-connections file names it
};

// The remote side: lists what one host exports (or what a scan of a network
// found) with each device's connection here, attaches and detaches through
// the Manager service, makes missing constant attachments again, watches for
// lost connections, follows the Manager's news of constant connections lost
// and attached again, and scans networks on a worker thread of its own. It
// hands its rows out whole (updated) or one by one (rowChanged).
class RemoteDevices : public QObject
{
    Q_OBJECT
public:
    // How often, and how far apart, a fresh attachment is looked for in the
    // port table before the row is left as the last table shows it.
    static constexpr int AttachPollCount = 10;
    static constexpr int AttachPollPauseMs = 100;
    // How often the lost-connection watch looks while a row is lost.
    static constexpr int LostCheckIntervalMs = 60000;

    // Up to this kernel major version a listing holds the host's own devices
    // only; above it the devices attached here follow them.
    static constexpr int OwnDevicesOnlyUpToKernel = 4;

    RemoteDevices(const Platform &platform, int kernelMajorVersion, QObject *parent = nullptr);
    // Stops a running scan and its thread.
    ~RemoteDevices() override;

    void setHost(const QString &host);

    // Lists what the host exports, with each device's connection, then
    // attaches for the session the devices of the constant-connections file
    // that are not attached. False, with no rows, when the host cannot be
    // listed.
    bool update();
    bool connectDevice(const RemoteRow &row, bool constant);
    // Detaches the row's device and forgets its constant line; a constant
    // connection that is lost is forgotten by its line alone
    // (OvraUsbIp::UnknownPort), which stops its healing.
    bool disconnectDevice(const RemoteRow &row);
    // The lost-connection watch: a row whose port has gone is lost; a lost
    // row whose device is attached again is not. Runs on its own every
    // LostCheckIntervalMs while a row is lost.
    void checkConnections();
    bool isWatching() const { return m_watch.isActive(); }

    QList<RemoteRow> rows() const { return m_rows; }

    // Scans the addresses subnet + 1 ... subnet + count - 1 on the worker
    // thread; the devices found become the rows. Progress comes as
    // scanProgress; a scan that is stopped, or followed by another before its
    // result is taken, changes no row, and reports nothing once another
    // scan is asked for.
    void scanNetwork(const QString &subnet, int count, int timeoutMs);
    // Ends the running scan, and one asked for before this call that has not
    // started yet, within milliseconds. Safe from any thread.
    void stopScan();

Q_SIGNALS:
    void updated(const QList<RemoteRow> &rows);
    void rowChanged(int row, const RemoteRow &value);
    void scanProgress(int offset);
    void error(const QString &error, const QString &detailed = QString());
    // Once for each of the Manager's ConnectionChanged signals, after the
    // rows it names have changed.
    void connectionChanged(const ConnectionChange &change);

private:
    friend class TestRemoteDevices;
    friend class TestScan;
    friend class TestScanDialog;

    // The port table, read from the Manager, as its text and read; nothing
    // (reported) when it cannot be read.
    std::optional<QString> readPortText();
    std::optional<QList<AttachedPort>> readPorts();
    QList<DeviceId> constantLines() const;
    // The rows of `devices`, their connections judged by `ports`.
    QList<RemoteRow> rowsOf(const QList<UsbDevice> &devices,
                            const QList<AttachedPort> &ports) const;
    void setRows(const QList<RemoteRow> &rows);
    // The lost-connection watch runs while a row is lost.
    void updateWatch();
    // Judges every row by a fresh port table, tells of the rows that changed;
    // with `watch`, a row attached before whose port has gone is lost.
    void applyPorts(const QList<AttachedPort> &ports, bool watch);
    void restoreConstantConnections();
    // The port table once it shows `device` attached, looked at up to
    // AttachPollCount times; the last table when it never does; nothing
    // (reported) when it cannot be read.
    std::optional<QList<AttachedPort>> portsShowing(const UsbDevice &device);
    // The Manager's ConnectionChanged: the rows of the device change at
    // once, lost or attached again, and the window is told.
    void takeConnectionChange(const QString &deviceId, bool attached);
    void takeScanResult(const QList<UsbDevice> &devices, bool anyListed);
    // Reports a failed Manager call as `error` under this headline.
    OvraAdminUsbIpInterface::ErrorReport reportAs(const QString &headline);

    Platform m_platform;
    int m_kernelMajorVersion;
    QString m_host;
    OvraAdminUsbIpInterface m_manager;
    QList<RemoteRow> m_rows;
    // Counts the times m_rows was replaced.
    quint64 m_rowsGeneration = 0;
    QTimer m_watch;
    QThread m_thread;
    NetworkScanner *m_scanner;
    // The latest scan asked for, and the latest one asked for before a stop.
    quint64 m_scanSerial = 0;
    quint64 m_stoppedSerial = 0;
};
