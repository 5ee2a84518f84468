// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

// The world of the simulated `usbip` tool: this machine's USB devices (and
// which are bound to usbip-host), the remote hosts and what they export, and
// the virtual ports with the remote devices attached to them. It lives in a
// JSON state file shared by every run of the tool; see the sandbox README
// section for its shape:
//
// {
//   "usbipd": true,            // the local daemon answers `list -r localhost`
//   "vhci": true,              // false: `port`, `attach`, `detach` fail as without vhci-hcd
//   "usbipHost": true,         // false: `bind` fails as without usbip-host
//   "controllers": 8,          // vhci controllers (Debian's kernel has 8)
//   "portCount": 15,           // ports per hub (15 on a real vhci controller); controller c
//                              // has high-speed ports 2nc..2nc+n-1 and super-speed ports
//                              // 2nc+n..2nc+2n-1, 240 ports in all on Debian's kernel
//   "localDevices": [ DEVICE..., each with "bound": true|false ],
//   "hosts": { "127.0.4.1": { "devices": [ DEVICE... ], "delayMs": 0, "hang": false,
//                             "real": false } },
//   "attached": [ { "port": 0, "host": "127.0.4.1", "service": "3240", "device": DEVICE } ],
//   "mirror": { "sysfs": DIR, "vhciState": DIR }   // written by sim-sysfs
// }
//
// DEVICE: { "busid": "1-1", "vendorId": "0781", "productId": "5567",
//           "vendor": "SanDisk Corp.", "product": "Cruzer Blade",
//           "path": "/sys/devices/...", "busnum": 1, "devnum": 2, "speed": 3,
//           "deviceClass": "(Defined at Interface level) (00/00/00)",
//           "interfaces": ["Mass Storage / SCSI / Bulk-Only (08/06/50)"],
//           "serial": "" }
// Missing fields take the values shown; an empty vendor or product prints as
// "unknown vendor" / "unknown product", as the real tool does for ids that
// are not in its database. A device this machine exports lists no
// interfaces: the kernel leaves a device bound to usbip-host unconfigured.
// The serial number (local devices; none when empty) is never printed by the
// tool: the kernel shows it in sysfs.
//
// `usbip sim-sysfs DIR [VHCI-STATE-DIR]` (no command of the real tool) writes
// the part of sysfs that the Manager service reads, as this world has it,
// into DIR: the usbip modules (vhci_hcd only with "vhci"), vhci_hcd.0/nports
// and its port table (status), the bus's drivers_probe file and each local
// device's ids, serial number and driver (usbip-host when bound, else usb);
// and into VHCI-STATE-DIR the records `usbip attach` keeps of the attached
// ports ("host service busid"). It notes both folders in the world
// ("mirror"), and every later change of the world keeps them in step as the
// kernel and the real tool would: the port table and the drivers at once, a
// record written by attach and removed by detach. Two more commands of the
// simulation only:
//   `usbip sim-drop PORT`  the kernel drops the connection on PORT (its
//                          exporter let the device go): the port is free, its
//                          record stays;
//   `usbip sim-sync`       writes the mirror again after the world file was
//                          changed by hand.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace SimUsbIp {

struct Device
{
    QString busid;
    QString vendorId;
    QString productId;
    QString vendor;
    QString product;
    QString path;
    int busnum = 1;
    int devnum = 2;
    int speed = 3;
    QString deviceClass;
    QStringList interfaces;
    bool bound = false; // local devices only
    QString serial; // local devices only

    QByteArray nameLine() const; // "VENDOR : PRODUCT (vvvv:pppp)"

    static Device fromJson(const QJsonObject &object);
    QJsonObject toJson(bool withBound) const;
};

struct Host
{
    QList<Device> devices;
    int delayMs = 0;
    bool hang = false;
    bool real = false; // answered by the real tool talking to a peer on the address
};

struct Port
{
    int port = 0;
    QString host;
    QString service = QStringLiteral("3240");
    Device device;
};

class World
{
public:
    bool usbipd = true;
    bool vhci = true;
    bool usbipHost = true;
    int controllers = 8;
    int portCount = 15;
    QList<Device> localDevices;
    QMap<QString, Host> hosts;
    QList<Port> attached;
    // Where sim-sysfs wrote the sysfs tree and the attach records (empty:
    // nowhere).
    QString sysfsMirror;
    QString vhciStateMirror;

    // Reads the state; an empty text is an empty world. False (with a
    // message) for text that is not a JSON object.
    bool fromJson(const QByteArray &json, QString *error);
    QByteArray toJson() const;

    static bool isLocalHost(const QString &host);
    // The devices a host exports; null when the host does not exist (or, for
    // this machine, when usbipd does not run).
    const Host *host(const QString &name, Host *localScratch) const;
    int localIndex(const QString &busid) const;
    // Whether one of this machine's ports holds the host's device.
    bool inUse(const QString &host, const QString &busid) const;
    int portIndex(int port) const;
    // Every controller's ports, high-speed and super-speed (nports in sysfs).
    int totalPorts() const { return 2 * portCount * controllers; }
    bool isSuperSpeedPort(int port) const { return port % (2 * portCount) >= portCount; }
    // The local bus id of a vhci port: each controller has a high-speed and a
    // super-speed root hub, buses 3 and 4 for the first controller, 5 and 6
    // for the second, and so on.
    QString portBusid(int port) const;
};

// One run of the tool: what it prints and the code it exits with.
struct Result
{
    QByteArray out;
    QByteArray err;
    int exitCode = 0;
    int delayMs = 0; // wait this long before printing (outside the lock)
    bool hang = false; // never answer, like a peer that accepts and stays silent
    QStringList runReal; // hand these arguments to the real tool instead
};

// Formats shared with the tests' expectations.
QByteArray formatLocalList(const QList<Device> &devices, bool parsable);
QByteArray formatRemoteList(const QString &host, const QList<Device> &devices);
QByteArray formatPorts(const World &world);
// The port table of one vhci controller (vhci_hcd.0/status, status.1, ...)
// as the kernel prints it.
QByteArray formatVhciStatus(const World &world, int controller);
QByteArray speedText(int speed);

// Runs one command line (without the program name) against the state file,
// holding its lock around the read-modify-write.
Result run(const QStringList &arguments, const QString &statePath);

} // namespace SimUsbIp
