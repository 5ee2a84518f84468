// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "remotedevices.h"

#include "networkscan.h"
#include "outsidetext.h"
#include "ovrausbipmanager.h"
#include "ovrawait.h"
#include "usbipgrammar.h"
#include "usbiplisting.h"

#include <algorithm>

namespace {

// Whether two looks at a row's device tell the same of its connection.
bool sameConnection(const RemoteRow &a, const RemoteRow &b)
{
    return a.lost == b.lost && a.port == b.port && a.constantLine == b.constantLine;
}

} // namespace

RemoteDevices::RemoteDevices(const Platform &platform, int kernelMajorVersion, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_kernelMajorVersion(kernelMajorVersion)
    , m_scanner(new NetworkScanner)
{
    qRegisterMetaType<RemoteRow>();
    qRegisterMetaType<QList<RemoteRow>>();
    qRegisterMetaType<QList<UsbDevice>>();
    m_manager.setWaiter(&OvraWait::until);

    m_watch.setInterval(LostCheckIntervalMs);
    // The watch waits while the window waits for a call.
    connect(&m_watch, &QTimer::timeout, this, [this]() {
        OvraWait::whenIdle(this, [this]() {
            checkConnections();
        });
    });

    // The Manager's news of a constant connection waits, like the watch,
    // while the window waits for a call.
    connect(&m_manager, &OvraAdminUsbIpInterface::ConnectionChanged, this,
            [this](const QString &deviceId, bool attached) {
                OvraWait::whenIdle(this, [this, deviceId, attached]() {
                    takeConnectionChange(deviceId, attached);
                });
            });

    m_scanner->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_scanner, &QObject::deleteLater);
    // Only the latest scan asked for reports: what a scan stopped and
    // followed by another still sends would go to the next one's dialog.
    connect(m_scanner, &NetworkScanner::progress, this, [this](int offset, quint64 serial) {
        if (serial == m_scanSerial)
            Q_EMIT scanProgress(offset);
    });
    // A scan's result arrives on its own; when the window waits for a call,
    // it waits until the call is over. The result of a scan stopped since,
    // or followed by another, would replace the rows listed meanwhile (an
    // announced host chosen just as the scan reported its last address).
    connect(m_scanner, &NetworkScanner::finished, this,
            [this](const QList<UsbDevice> &devices, bool anyListed, quint64 serial) {
                OvraWait::whenIdle(this, [this, devices, anyListed, serial]() {
                    if (serial == m_scanSerial && serial > m_stoppedSerial)
                        takeScanResult(devices, anyListed);
                });
            });
    m_thread.start();
}

RemoteDevices::~RemoteDevices()
{
    // A scan still running (the program may quit while the scan dialog is
    // open) would keep the thread, and the exit, waiting.
    m_scanner->stop();
    m_thread.quit();
    m_thread.wait();
}

void RemoteDevices::setHost(const QString &host)
{
    m_host = host;
}

std::optional<QString> RemoteDevices::readPortText()
{
    return m_manager.text(m_manager.PortsInfo(), reportAs(tr("Error get ports info!")));
}

std::optional<QList<AttachedPort>> RemoteDevices::readPorts()
{
    const std::optional<QString> text = readPortText();
    if (!text)
        return std::nullopt;
    return attachedPorts(*text);
}

QList<DeviceId> RemoteDevices::constantLines() const
{
    QStringList lines;
    UsbIpGrammar::readListFile(m_platform.remoteDevicesPath(), UsbIpGrammar::WindowListRules,
                               &lines);
    QList<DeviceId> ids;
    for (const QString &line : qAsConst(lines))
        ids.append(DeviceId::parse(line));
    return ids;
}

QList<RemoteRow> RemoteDevices::rowsOf(const QList<UsbDevice> &devices,
                                       const QList<AttachedPort> &ports) const
{
    const QList<DeviceId> constant = constantLines();
    QStringList hosts;
    for (const UsbDevice &device : devices)
        hosts.append(device.host());
    for (const AttachedPort &port : ports)
        hosts.append(port.device.host);
    for (const DeviceId &id : constant)
        hosts.append(id.host);
    const DeviceMatch match(hosts);

    QList<RemoteRow> rows;
    for (const UsbDevice &device : devices) {
        RemoteRow row;
        row.device = device;
        if (const AttachedPort *port = match.find(device, ports))
            row.port = port->port;
        if (const DeviceId *line = match.find(device, constant))
            row.constantLine = line->text;
        rows.append(row);
    }
    return rows;
}

void RemoteDevices::setRows(const QList<RemoteRow> &rows)
{
    m_rows = rows;
    ++m_rowsGeneration;
    Q_EMIT updated(m_rows);
    updateWatch();
}

void RemoteDevices::updateWatch()
{
    const bool anyLost = std::any_of(m_rows.cbegin(), m_rows.cend(), [](const RemoteRow &row) {
        return row.lost;
    });
    if (!anyLost)
        m_watch.stop();
    else if (!m_watch.isActive())
        m_watch.start();
}

bool RemoteDevices::update()
{
    const UsbIpListing::Exports exports = UsbIpListing::listExports(m_host);
    if (!exports.listed) {
        setRows({});
        Q_EMIT error(tr("Error updating the list of remote devices!"),
                     OutsideText::cleaned(exports.failure, OutsideText::MaxShownChars,
                                          OutsideText::Lines::Kept));
        return false;
    }
    QList<UsbDevice> devices;
    for (const UsbIpGrammar::ExportedDevice &device : exports.devices)
        devices.append(UsbDevice::fromExported(device, m_host));

    // A port table that cannot be read is no empty one: it attaches nothing
    // and the rows keep what the last table said of their devices.
    const std::optional<QString> portText = readPortText();
    if (!portText) {
        QList<RemoteRow> rows = rowsOf(devices, {});
        for (RemoteRow &row : rows) {
            for (const RemoteRow &old : qAsConst(m_rows)) {
                if (old.device.deviceId() == row.device.deviceId()) {
                    row.lost = old.lost;
                    row.port = old.port;
                    break;
                }
            }
        }
        setRows(rows);
        return true;
    }
    if (m_kernelMajorVersion > OwnDevicesOnlyUpToKernel)
        devices += attachedDevices(*portText);
    setRows(rowsOf(devices, attachedPorts(*portText)));
    restoreConstantConnections();
    return true;
}

void RemoteDevices::restoreConstantConnections()
{
    // Constant attachments that are missing are made again, for the session
    // (the Manager keeps their line). A device listed twice is attached once.
    QStringList done;
    for (int row = 0; row < m_rows.size(); ++row) {
        const RemoteRow entry = m_rows.at(row);
        if (!entry.isConstant() || entry.attached() || done.contains(entry.constantLine))
            continue;
        done.append(entry.constantLine);
        connectDevice(entry, false);
    }
}

bool RemoteDevices::connectDevice(const RemoteRow &row, bool constant)
{
    if (!m_manager.truth(m_manager.ConnectDevice(row.device.deviceId(), constant),
                         reportAs(tr("Error connect to device!\n"))))
        return false;

    // A port that never appears, or a port table that cannot be read, leaves
    // the rows as the last table says.
    if (const std::optional<QList<AttachedPort>> ports = portsShowing(row.device))
        applyPorts(*ports, false);
    return true;
}

std::optional<QList<AttachedPort>> RemoteDevices::portsShowing(const UsbDevice &device)
{
    // The port may show up in the port table a little after the Manager's
    // answer or signal: look a bounded number of times.
    std::optional<QList<AttachedPort>> ports;
    for (int poll = 0; poll < AttachPollCount; ++poll) {
        if (poll > 0)
            OvraWait::pause(AttachPollPauseMs);
        ports = readPorts();
        if (!ports)
            return std::nullopt;
        QStringList hosts{device.host()};
        for (const AttachedPort &port : qAsConst(*ports))
            hosts.append(port.device.host);
        if (DeviceMatch(hosts).find(device, *ports))
            break;
    }
    return ports;
}

bool RemoteDevices::disconnectDevice(const RemoteRow &row)
{
    // The line that keeps the device constantly goes with it, whatever host
    // text it was written with. A lost connection has no port to name.
    const QString port = row.attached() ? row.port : QString::fromLatin1(OvraUsbIp::UnknownPort);
    if (!m_manager.truth(m_manager.DisconnectDevice(row.constantLine, port),
                         reportAs(tr("Error disconnect device!\n"))))
        return false;
    for (int index = 0; index < m_rows.size(); ++index) {
        RemoteRow &entry = m_rows[index];
        const bool samePort = !port.isEmpty() && entry.port == port;
        const bool sameLine = !row.constantLine.isEmpty() && entry.constantLine == row.constantLine;
        if (samePort || sameLine) {
            if (samePort)
                entry.port.clear();
            if (sameLine) {
                // No longer healed: the Manager has forgotten it.
                entry.constantLine.clear();
                entry.lost = false;
            }
            Q_EMIT rowChanged(index, entry);
        }
    }
    updateWatch();
    return true;
}

void RemoteDevices::takeConnectionChange(const QString &deviceId, bool attached)
{
    const DeviceId id = DeviceId::parse(deviceId);
    if (!id.isValid())
        return;
    const QList<DeviceId> lines = constantLines();
    const bool constant =
        std::any_of(lines.cbegin(), lines.cend(), [&deviceId](const DeviceId &line) {
            return line.text == deviceId;
        });
    QStringList hosts{id.host};
    for (const RemoteRow &row : qAsConst(m_rows))
        hosts.append(row.device.host());
    const DeviceMatch match(hosts);
    QList<int> named;
    for (int index = 0; index < m_rows.size(); ++index) {
        if (match.matches(m_rows.at(index).device, id))
            named.append(index);
    }

    ConnectionChange change;
    change.attached = attached;
    change.constant = constant;
    if (named.isEmpty()) {
        change.name =
            id.vidPid.isEmpty() ? id.busId : QStringLiteral("%1 (%2)").arg(id.busId, id.vidPid);
        change.host = id.host;
    } else {
        const UsbDevice &device = m_rows.at(named.first()).device;
        change.name = device.name().isEmpty() ? device.busId() : device.name();
        change.host = device.host();
    }
    change.name = OutsideText::cleaned(change.name);
    change.host = OutsideText::cleaned(change.host);

    if (attached && !named.isEmpty()) {
        // Judged by a fresh port table, as the watch judges: the rows of the
        // device take their port.
        const UsbDevice device = m_rows.at(named.first()).device;
        if (const std::optional<QList<AttachedPort>> ports = portsShowing(device))
            applyPorts(*ports, true);
    } else if (!attached) {
        // The port table may show the port a moment longer: the Manager's
        // word counts.
        for (int index : qAsConst(named)) {
            RemoteRow next = m_rows.at(index);
            next.lost = true;
            next.port.clear();
            if (constant && !next.isConstant())
                next.constantLine = deviceId;
            RemoteRow &row = m_rows[index];
            if (sameConnection(next, row))
                continue;
            row = next;
            Q_EMIT rowChanged(index, row);
        }
        updateWatch();
    }
    Q_EMIT connectionChanged(change);
}

void RemoteDevices::applyPorts(const QList<AttachedPort> &ports, bool watch)
{
    QList<UsbDevice> devices;
    for (const RemoteRow &row : qAsConst(m_rows))
        devices.append(row.device);
    // rowsOf may wait for name look-ups, and the rows may be replaced
    // meanwhile: the table was read for the rows before.
    const quint64 generation = m_rowsGeneration;
    const QList<RemoteRow> fresh = rowsOf(devices, ports);
    if (generation != m_rowsGeneration)
        return;
    Q_ASSERT(fresh.size() == m_rows.size());
    for (int index = 0; index < m_rows.size(); ++index) {
        RemoteRow &row = m_rows[index];
        RemoteRow next = fresh.at(index);
        if (watch) {
            // Lost: attached at the last look, gone now; found again: no longer.
            next.lost = !next.attached() && (row.lost || row.attached());
        } else {
            next.lost = row.lost && !next.attached();
        }
        if (sameConnection(next, row))
            continue;
        row = next;
        Q_EMIT rowChanged(index, row);
    }
    updateWatch();
}

void RemoteDevices::checkConnections()
{
    // A port table that cannot be read changes no row.
    const std::optional<QList<AttachedPort>> ports = readPorts();
    if (ports)
        applyPorts(*ports, true);
}

void RemoteDevices::scanNetwork(const QString &subnet, int count, int timeoutMs)
{
    const quint64 serial = ++m_scanSerial;
    QMetaObject::invokeMethod(m_scanner, [scanner = m_scanner, subnet, count, timeoutMs, serial]() {
        scanner->scan(subnet, count, timeoutMs, serial);
    });
}

void RemoteDevices::stopScan()
{
    m_stoppedSerial = m_scanSerial;
    m_scanner->stop();
}

void RemoteDevices::takeScanResult(const QList<UsbDevice> &devices, bool anyListed)
{
    // The devices attached here are the same whichever host answered; with
    // no device at all there is no connection to judge.
    const bool attachedFollow = anyListed && m_kernelMajorVersion > OwnDevicesOnlyUpToKernel;
    if (devices.isEmpty() && !attachedFollow) {
        setRows({});
        return;
    }
    QList<UsbDevice> all = devices;
    QList<AttachedPort> ports;
    const std::optional<QString> portText = readPortText();
    if (portText) {
        ports = attachedPorts(*portText);
        if (attachedFollow)
            all += attachedDevices(*portText);
    }
    setRows(rowsOf(all, ports));
}

OvraAdminUsbIpInterface::ErrorReport RemoteDevices::reportAs(const QString &headline)
{
    return [this, headline](const QString &detailed) {
        Q_EMIT error(headline, OutsideText::cleaned(detailed, OutsideText::MaxShownChars,
                                                    OutsideText::Lines::Kept));
    };
}
