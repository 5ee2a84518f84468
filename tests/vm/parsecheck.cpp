// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// ovra-vm-parsecheck: reads an output of the usbip tool, recorded on a real
// kernel, with the program's own grammars and prints the records the window
// builds from it, one line each, so that the guest test can compare them with
// what the kernel reports in sysfs.
//
//   ovra-vm-parsecheck local FILE         usbip list -l
//   ovra-vm-parsecheck remote HOST FILE   usbip list -r HOST
//   ovra-vm-parsecheck port FILE          usbip port (the PortsInfo text)

#include "devicematch.h"
#include "usbdevice.h"
#include "usbipgrammar.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace {

QString describe(const UsbDevice &device)
{
    return QStringLiteral("busid=%1 vidpid=%2 name=\"%3\" valid=%4")
        .arg(device.busId(), device.vidPid(), device.name(),
             device.isValid() ? QStringLiteral("yes") : QStringLiteral("no"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QString kind = arguments.value(0);
    const int needed = kind == QLatin1String("remote") ? 3 : 2;
    if (arguments.size() != needed
        || !QStringList{QStringLiteral("local"), QStringLiteral("remote"), QStringLiteral("port")}
                .contains(kind)) {
        err << "usage: ovra-vm-parsecheck local FILE | remote HOST FILE | port FILE\n";
        return 2;
    }
    QFile file(arguments.last());
    if (!file.open(QIODevice::ReadOnly)) {
        err << "ovra-vm-parsecheck: cannot read " << file.fileName() << ": " << file.errorString()
            << '\n';
        return 1;
    }
    const QString text = QString::fromUtf8(file.readAll());

    if (kind == QLatin1String("local")) {
        // Every block, valid or not, so that the guest can count them.
        const QList<UsbIpGrammar::LocalDevice> devices = UsbIpGrammar::parseLocalList(text);
        for (const UsbIpGrammar::LocalDevice &device : devices)
            out << "local " << describe(UsbDevice::fromLocal(device)) << '\n';
    } else if (kind == QLatin1String("remote")) {
        // The device's id, and which of "localhost/..." and "HOST/..." the
        // program takes for this device (the names resolve alike).
        const QString host = arguments.at(1);
        const DeviceMatch match({QStringLiteral("localhost"), host});
        const QStringList blocks = UsbIpGrammar::splitRemoteBlocks(text);
        for (const QString &block : blocks) {
            const UsbDevice device =
                UsbDevice::fromExported(UsbIpGrammar::parseRemoteBlock(block), host);
            QStringList keys;
            for (const QString &name : {QStringLiteral("localhost"), host}) {
                const QString id =
                    QStringLiteral("%1/%2/%3").arg(name, device.busId(), device.vidPid());
                if (match.matches(device, DeviceId::parse(id)))
                    keys << id;
            }
            out << "remote " << describe(device) << " host=" << device.host()
                << " id=" << device.deviceId() << " keys=" << keys.join(QLatin1Char(',')) << '\n';
        }
    } else {
        const QStringList blocks = UsbIpGrammar::splitPortBlocks(text);
        for (const QString &block : blocks) {
            const UsbDevice device = UsbDevice::fromPortBlock(block);
            out << "portdevice " << describe(device) << " host=" << device.host() << '\n';
        }
        const QList<AttachedPort> ports = attachedPorts(text);
        for (const AttachedPort &port : ports)
            out << "port " << port.port << " key=" << port.device.text << '\n';
    }
    return 0;
}
