// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "simworld.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>

#include <cstdio>

namespace SimUsbIp {

namespace {

const char defaultClass[] = "(Defined at Interface level) (00/00/00)";
const char defaultInterface[] = "Mass Storage / SCSI / Bulk-Only (08/06/50)";
const int lockTimeoutMs = 30000;

// printf's "%Ns": right-aligned in a field of `width` characters.
QByteArray padLeft(const QByteArray &text, int width)
{
    return text.size() >= width ? text : QByteArray(width - text.size(), ' ') + text;
}

QByteArray twoDigits(int value)
{
    return QByteArray::number(value).rightJustified(2, '0');
}

QByteArray threeDigits(int value)
{
    return QByteArray::number(value).rightJustified(3, '0');
}

QString realTool()
{
    const QByteArray overridden = qgetenv("OVRA_SIM_REAL_USBIP");
    return overridden.isEmpty() ? QStringLiteral("/usr/sbin/usbip")
                                : QString::fromLocal8Bit(overridden);
}

QByteArray error(const QString &text)
{
    return "usbip: error: " + text.toUtf8() + '\n';
}

QByteArray info(const QString &text)
{
    return "usbip: info: " + text.toUtf8() + '\n';
}

QByteArray connectError(const QString &host, const QString &service)
{
    return error(QStringLiteral("could not connect to %1:%2: System error").arg(host, service));
}

// What the tool prints when the vhci driver is not loaded (the first line is
// libusbip's own).
QByteArray noVhciError()
{
    return "libusbip: error: udev_device_new_from_subsystem_sysname failed\n"
         + error(QStringLiteral("open vhci_driver"));
}

// The sub-command's options, in the real tool's spellings: "-r HOST",
// "-rHOST", "--remote HOST" and "--remote=HOST".
struct Options
{
    QString command;
    QMap<QString, QString> values; // long option name -> value ("" for flags)
    QStringList unknown;
    QString tcpPort = QStringLiteral("3240");
    bool tcpPortGiven = false;
};

bool parse(const QStringList &arguments, Options *options)
{
    // An option's short and long name, and whether it takes a value.
    struct OptionName
    {
        char shortName;
        const char *longName;
        bool value;
    };
    static const OptionName globals[] = {{'d', "debug", false},
                                         {'l', "log", false},
                                         {'t', "tcp-port", true}};
    static const OptionName subs[] = {{'r', "remote", true},
                                      {'l', "local", false},
                                      {'p', "port", true},
                                      {'b', "busid", true},
                                      {'d', "device", true}};

    int i = 0;
    // Global options come before the sub-command.
    while (i < arguments.size() && arguments.at(i).startsWith(QLatin1Char('-'))) {
        const QString argument = arguments.at(i++);
        bool known = false;
        for (const OptionName &option : globals) {
            const QString longName = QStringLiteral("--") + QLatin1String(option.longName);
            const QString shortName = QStringLiteral("-") + QLatin1Char(option.shortName);
            if (argument == longName || argument == shortName) {
                known = true;
                if (option.value) {
                    if (i >= arguments.size())
                        return false;
                    options->tcpPort = arguments.at(i++);
                    options->tcpPortGiven = true;
                }
            } else if (option.value && argument.startsWith(longName + QLatin1Char('='))) {
                known = true;
                options->tcpPort = argument.mid(longName.size() + 1);
                options->tcpPortGiven = true;
            }
        }
        if (!known)
            return false;
    }
    if (i >= arguments.size())
        return false;
    options->command = arguments.at(i++);

    while (i < arguments.size()) {
        const QString argument = arguments.at(i++);
        // "-p" is --parsable for list (a flag) and --port for detach.
        if (options->command == QLatin1String("list")
            && (argument == QLatin1String("-p") || argument == QLatin1String("--parsable"))) {
            options->values.insert(QStringLiteral("parsable"), QString());
            continue;
        }
        bool known = false;
        for (const OptionName &option : subs) {
            const QString longName = QStringLiteral("--") + QLatin1String(option.longName);
            const QString shortName = QStringLiteral("-") + QLatin1Char(option.shortName);
            QString value;
            bool matched = false;
            if (argument == longName || argument == shortName) {
                matched = true;
                if (option.value) {
                    if (i >= arguments.size())
                        return false;
                    value = arguments.at(i++);
                }
            } else if (option.value && argument.startsWith(longName + QLatin1Char('='))) {
                matched = true;
                value = argument.mid(longName.size() + 1);
            } else if (option.value && argument.startsWith(shortName) && argument.size() > 2) {
                matched = true;
                value = argument.mid(2);
            }
            if (matched) {
                options->values.insert(QLatin1String(option.longName), value);
                known = true;
                break;
            }
        }
        if (!known)
            options->unknown << argument;
    }
    return true;
}

QByteArray usage()
{
    return "usage: usbip [--debug] [--log] [--tcp-port PORT] [version]\n"
           "             [help] <command> <args>\n\n"
           "  attach     Attach a remote USB device\n"
           "  detach     Detach a remote USB device\n"
           "  list       List exportable or local USB devices\n"
           "  bind       Bind device to usbip-host.ko\n"
           "  unbind     Unbind device from usbip-host.ko\n"
           "  port       Show imported USB devices\n\n";
}

bool readState(const QString &path, World *world, QByteArray *problem)
{
    QFile file(path);
    QByteArray json;
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            *problem = error(QStringLiteral("cannot read the simulated world %1").arg(path));
            return false;
        }
        json = file.readAll();
    }
    QString message;
    if (!world->fromJson(json, &message)) {
        *problem = error(QStringLiteral("simulated world %1: %2").arg(path, message));
        return false;
    }
    return true;
}

bool writeState(const QString &path, const World &world, QByteArray *problem)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(world.toJson()) < 0 || !file.commit()) {
        *problem = error(QStringLiteral("cannot write the simulated world %1").arg(path));
        return false;
    }
    return true;
}

// The devices a real peer exports, read from the real tool's listing.
bool realExports(const QString &host, const QString &tcpPort, QList<Device> *devices)
{
    QProcess tool;
    tool.start(realTool(), {QStringLiteral("--tcp-port"), tcpPort, QStringLiteral("list"),
                            QStringLiteral("-r"), host});
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit
        || tool.exitCode() != 0) {
        tool.kill();
        tool.waitForFinished(1000);
        return false;
    }
    static const QRegularExpression head(
        QStringLiteral("^\\s*(\\S+): (.*) : (.*) \\((\\w{4}):(\\w{4})\\)$"));
    static const QRegularExpression detail(QStringLiteral("^\\s*: (.*)$"));
    const QStringList lines =
        QString::fromUtf8(tool.readAllStandardOutput()).split(QLatin1Char('\n'));
    int details = 0;
    for (const QString &line : lines) {
        const QRegularExpressionMatch device = head.match(line);
        if (device.hasMatch()) {
            Device found;
            found.busid = device.captured(1);
            found.vendor = device.captured(2);
            found.product = device.captured(3);
            found.vendorId = device.captured(4);
            found.productId = device.captured(5);
            devices->append(found);
            details = 0;
            continue;
        }
        const QRegularExpressionMatch more = detail.match(line);
        if (more.hasMatch() && !devices->isEmpty()) {
            Device &last = devices->last();
            if (details == 0)
                last.path = more.captured(1);
            else if (details == 1)
                last.deviceClass = more.captured(1);
            else if (details == 2)
                last.interfaces = QStringList{more.captured(1).mid(5)};
            else
                last.interfaces << more.captured(1).mid(5);
            ++details;
        }
    }
    return true;
}

Result fail(const QByteArray &err)
{
    Result result;
    result.err = err;
    result.exitCode = 1;
    return result;
}

// The sub-commands. Each works on the loaded world; `changed` tells the
// caller to write it back.
Result listCommand(const Options &options, const World &world, const QStringList &arguments)
{
    Result result;
    if (options.values.contains(QStringLiteral("local"))) {
        result.out = formatLocalList(world.localDevices,
                                     options.values.contains(QStringLiteral("parsable")));
        return result;
    }
    if (!options.values.contains(QStringLiteral("remote"))) {
        // Without -l or -r the real tool lists the local devices as well.
        result.out = formatLocalList(world.localDevices, false);
        return result;
    }
    const QString name = options.values.value(QStringLiteral("remote"));
    Host scratch;
    const Host *host = world.host(name, &scratch);
    if (!host)
        return fail(connectError(name, options.tcpPort));
    if (host->real) {
        result.runReal = arguments;
        return result;
    }
    result.delayMs = host->delayMs;
    result.hang = host->hang;
    if (options.tcpPort != QLatin1String("3240"))
        return fail(connectError(name, options.tcpPort));
    // usbipd lists only the devices nobody has imported.
    QList<Device> exportable;
    for (const Device &device : host->devices) {
        if (!world.inUse(name, device.busid))
            exportable << device;
    }
    if (exportable.isEmpty())
        result.err = info(QStringLiteral("no exportable devices found on %1").arg(name));
    else
        result.out = formatRemoteList(name, exportable);
    return result;
}

Result bindCommand(const Options &options, World &world, bool *changed)
{
    const QString busid = options.values.value(QStringLiteral("busid"));
    if (busid.isEmpty())
        return fail("usage: usbip bind <args>\n    -b, --busid=<busid>    Bind usbip-host.ko to "
                    "device on <busid>\n");
    const int index = world.localIndex(busid);
    if (index < 0)
        return fail(error(QStringLiteral("device with the specified bus ID does not exist")));
    Device &device = world.localDevices[index];
    if (device.bound)
        return fail(
            error(QStringLiteral("device on busid %1 is already bound to usbip-host").arg(busid)));
    if (!world.usbipHost)
        return fail(error(QStringLiteral("unable to bind device on %1").arg(busid)));
    device.bound = true;
    *changed = true;
    Result result;
    result.err = info(QStringLiteral("bind device on busid %1: complete").arg(busid));
    return result;
}

Result unbindCommand(const Options &options, World &world, bool *changed)
{
    const QString busid = options.values.value(QStringLiteral("busid"));
    if (busid.isEmpty())
        return fail("usage: usbip unbind <args>\n    -b, --busid=<busid>    Unbind usbip-host.ko "
                    "from device on <busid>\n");
    const int index = world.localIndex(busid);
    if (index < 0)
        return fail(error(QStringLiteral("device with the specified bus ID does not exist")));
    Device &device = world.localDevices[index];
    if (!device.bound)
        return fail(error(QStringLiteral("device is not bound to usbip-host driver")));
    device.bound = false;
    *changed = true;
    Result result;
    result.err = info(QStringLiteral("unbind device on busid %1: complete").arg(busid));
    return result;
}

Result attachCommand(const Options &options, World &world, bool *changed)
{
    const QString name = options.values.value(QStringLiteral("remote"));
    QString busid = options.values.value(QStringLiteral("busid"));
    if (busid.isEmpty())
        busid = options.values.value(QStringLiteral("device"));
    if (name.isEmpty() || busid.isEmpty())
        return fail("usage: usbip attach <args>\n    -r, --remote=<host>      The machine with "
                    "exported USB devices\n"
                    "    -b, --busid=<busid>    Busid of the device on <host>\n");
    // The tool connects first and asks for the device; it opens the vhci
    // driver only once the host has agreed to export it.
    Host scratch;
    const Host *host = world.host(name, &scratch);
    if (!host || (!host->real && options.tcpPort != QLatin1String("3240")))
        return fail(error(QStringLiteral("tcp connect")));

    QList<Device> exports = host->devices;
    if (host->real && !realExports(name, options.tcpPort, &exports))
        return fail(error(QStringLiteral("tcp connect")));
    const Device *found = nullptr;
    for (const Device &device : qAsConst(exports)) {
        if (device.busid == busid)
            found = &device;
    }
    if (!found)
        return fail(
            error(QStringLiteral("Attach Request for %1 failed - Device not found\n").arg(busid)));
    if (world.inUse(name, busid))
        return fail(error(
            QStringLiteral("Attach Request for %1 failed - Device busy (exported)\n").arg(busid)));
    if (!world.vhci)
        return fail(noVhciError());

    // High-speed and slower devices take the first free port of a
    // high-speed hub, super-speed ones one of a super-speed hub, the first
    // controller's hubs first.
    const bool super = found->speed >= 5;
    int free = -1;
    for (int port = 0; port < world.totalPorts(); ++port) {
        if (world.isSuperSpeedPort(port) == super && world.portIndex(port) < 0) {
            free = port;
            break;
        }
    }
    if (free < 0)
        return fail(error(QStringLiteral("no free port")));

    Port port;
    port.port = free;
    port.host = name;
    port.service = options.tcpPort;
    port.device = *found;
    port.device.bound = false;
    world.attached.append(port);
    *changed = true;
    return Result();
}

Result detachCommand(const Options &options, World &world, bool *changed)
{
    if (!options.values.contains(QStringLiteral("port")))
        return fail("usage: usbip detach <args>\n    -p, --port=<port>    port the device is on\n");
    // Digits only; no digit at all reads as port 0, and only the number's
    // lowest byte counts ("300" is port 44), as in the real tool.
    const QString text = options.values.value(QStringLiteral("port"));
    int number = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return fail(error(QStringLiteral("invalid port %1").arg(text)));
        number = (number * 10 + (c.unicode() - '0')) % 256;
    }
    if (!world.vhci)
        return fail(noVhciError());
    if (number >= world.totalPorts())
        return fail(error(
            QStringLiteral("Invalid port %1 > maxports %2").arg(text).arg(world.totalPorts())));
    Result result;
    const int index = world.portIndex(number);
    if (index < 0) {
        // A free port is no failure: the tool says so and exits 0.
        result.err = info(QStringLiteral("Port %1 is already detached!\n").arg(number));
        return result;
    }
    world.attached.removeAt(index);
    *changed = true;
    result.err = info(QStringLiteral("Port %1 is now detached!\n").arg(number));
    return result;
}

} // namespace

QByteArray Device::nameLine() const
{
    const QByteArray vendorText = vendor.isEmpty() ? QByteArray("unknown vendor") : vendor.toUtf8();
    const QByteArray productText =
        product.isEmpty() ? QByteArray("unknown product") : product.toUtf8();
    return vendorText + " : " + productText + " (" + vendorId.toUtf8() + ':' + productId.toUtf8()
         + ')';
}

Device Device::fromJson(const QJsonObject &object)
{
    Device device;
    device.busid = object.value(QStringLiteral("busid")).toString();
    device.vendorId = object.value(QStringLiteral("vendorId")).toString();
    device.productId = object.value(QStringLiteral("productId")).toString();
    device.vendor = object.value(QStringLiteral("vendor")).toString();
    device.product = object.value(QStringLiteral("product")).toString();
    device.path =
        object.value(QStringLiteral("path"))
            .toString(QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/") + device.busid);
    device.busnum = object.value(QStringLiteral("busnum")).toInt(1);
    device.devnum = object.value(QStringLiteral("devnum")).toInt(2);
    device.speed = object.value(QStringLiteral("speed")).toInt(3);
    device.deviceClass =
        object.value(QStringLiteral("deviceClass")).toString(QLatin1String(defaultClass));
    if (object.contains(QStringLiteral("interfaces"))) {
        const QJsonArray interfaces = object.value(QStringLiteral("interfaces")).toArray();
        for (const QJsonValue &value : interfaces)
            device.interfaces << value.toString();
    } else {
        device.interfaces << QLatin1String(defaultInterface);
    }
    device.bound = object.value(QStringLiteral("bound")).toBool(false);
    device.serial = object.value(QStringLiteral("serial")).toString();
    return device;
}

QJsonObject Device::toJson(bool withBound) const
{
    QJsonObject object{{QStringLiteral("busid"), busid},
                       {QStringLiteral("vendorId"), vendorId},
                       {QStringLiteral("productId"), productId},
                       {QStringLiteral("vendor"), vendor},
                       {QStringLiteral("product"), product},
                       {QStringLiteral("path"), path},
                       {QStringLiteral("busnum"), busnum},
                       {QStringLiteral("devnum"), devnum},
                       {QStringLiteral("speed"), speed},
                       {QStringLiteral("deviceClass"), deviceClass},
                       {QStringLiteral("interfaces"), QJsonArray::fromStringList(interfaces)}};
    if (withBound)
        object.insert(QStringLiteral("bound"), bound);
    if (!serial.isEmpty())
        object.insert(QStringLiteral("serial"), serial);
    return object;
}

bool World::fromJson(const QByteArray &json, QString *error)
{
    *this = World();
    if (json.trimmed().isEmpty())
        return true;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : QStringLiteral("not a JSON object");
        return false;
    }
    const QJsonObject root = document.object();
    usbipd = root.value(QStringLiteral("usbipd")).toBool(true);
    vhci = root.value(QStringLiteral("vhci")).toBool(true);
    usbipHost = root.value(QStringLiteral("usbipHost")).toBool(true);
    controllers = qBound(1, root.value(QStringLiteral("controllers")).toInt(8), 16);
    portCount = qBound(1, root.value(QStringLiteral("portCount")).toInt(15), 64);
    const QJsonArray local = root.value(QStringLiteral("localDevices")).toArray();
    for (const QJsonValue &value : local)
        localDevices << Device::fromJson(value.toObject());
    const QJsonObject hostObjects = root.value(QStringLiteral("hosts")).toObject();
    for (auto it = hostObjects.constBegin(); it != hostObjects.constEnd(); ++it) {
        const QJsonObject object = it.value().toObject();
        Host host;
        host.delayMs = qMax(0, object.value(QStringLiteral("delayMs")).toInt(0));
        host.hang = object.value(QStringLiteral("hang")).toBool(false);
        host.real = object.value(QStringLiteral("real")).toBool(false);
        const QJsonArray devices = object.value(QStringLiteral("devices")).toArray();
        for (const QJsonValue &value : devices) {
            Device device = Device::fromJson(value.toObject());
            device.bound = false;
            host.devices << device;
        }
        hosts.insert(it.key(), host);
    }
    const QJsonArray ports = root.value(QStringLiteral("attached")).toArray();
    for (const QJsonValue &value : ports) {
        const QJsonObject object = value.toObject();
        Port port;
        port.port = object.value(QStringLiteral("port")).toInt(-1);
        port.host = object.value(QStringLiteral("host")).toString();
        port.service = object.value(QStringLiteral("service")).toString(QStringLiteral("3240"));
        port.device = Device::fromJson(object.value(QStringLiteral("device")).toObject());
        if (port.port >= 0 && port.port < totalPorts() && portIndex(port.port) < 0)
            attached << port;
    }
    const QJsonObject mirror = root.value(QStringLiteral("mirror")).toObject();
    sysfsMirror = mirror.value(QStringLiteral("sysfs")).toString();
    vhciStateMirror = mirror.value(QStringLiteral("vhciState")).toString();
    return true;
}

QByteArray World::toJson() const
{
    QJsonArray local;
    for (const Device &device : localDevices)
        local.append(device.toJson(true));
    QJsonObject hostObjects;
    for (auto it = hosts.constBegin(); it != hosts.constEnd(); ++it) {
        QJsonArray devices;
        for (const Device &device : it.value().devices)
            devices.append(device.toJson(false));
        QJsonObject object{{QStringLiteral("devices"), devices}};
        if (it.value().delayMs > 0)
            object.insert(QStringLiteral("delayMs"), it.value().delayMs);
        if (it.value().hang)
            object.insert(QStringLiteral("hang"), true);
        if (it.value().real)
            object.insert(QStringLiteral("real"), true);
        hostObjects.insert(it.key(), object);
    }
    QJsonArray ports;
    for (const Port &port : attached) {
        ports.append(QJsonObject{{QStringLiteral("port"), port.port},
                                 {QStringLiteral("host"), port.host},
                                 {QStringLiteral("service"), port.service},
                                 {QStringLiteral("device"), port.device.toJson(false)}});
    }
    QJsonObject root{
        {QStringLiteral("usbipd"), usbipd},       {QStringLiteral("vhci"), vhci},
        {QStringLiteral("usbipHost"), usbipHost}, {QStringLiteral("controllers"), controllers},
        {QStringLiteral("portCount"), portCount}, {QStringLiteral("localDevices"), local},
        {QStringLiteral("hosts"), hostObjects},   {QStringLiteral("attached"), ports}};
    if (!sysfsMirror.isEmpty())
        root.insert(QStringLiteral("mirror"),
                    QJsonObject{{QStringLiteral("sysfs"), sysfsMirror},
                                {QStringLiteral("vhciState"), vhciStateMirror}});
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool World::isLocalHost(const QString &host)
{
    return host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1")
        || host == QLatin1String("::1") || host == QLatin1String("ip6-localhost");
}

const Host *World::host(const QString &name, Host *localScratch) const
{
    if (isLocalHost(name) && !hosts.contains(name)) {
        if (!usbipd)
            return nullptr;
        localScratch->devices.clear();
        for (const Device &device : localDevices) {
            if (device.bound) {
                localScratch->devices << device;
                localScratch->devices.last().interfaces.clear();
            }
        }
        return localScratch;
    }
    const auto it = hosts.constFind(name);
    return it == hosts.constEnd() ? nullptr : &it.value();
}

int World::localIndex(const QString &busid) const
{
    for (int i = 0; i < localDevices.size(); ++i) {
        if (localDevices.at(i).busid == busid)
            return i;
    }
    return -1;
}

bool World::inUse(const QString &host, const QString &busid) const
{
    for (const Port &port : attached) {
        if (port.device.busid == busid
            && (port.host == host || (isLocalHost(port.host) && isLocalHost(host))))
            return true;
    }
    return false;
}

int World::portIndex(int port) const
{
    for (int i = 0; i < attached.size(); ++i) {
        if (attached.at(i).port == port)
            return i;
    }
    return -1;
}

QString World::portBusid(int port) const
{
    const int hub = port / portCount;
    return QStringLiteral("%1-%2").arg(3 + hub).arg(port % portCount + 1);
}

QByteArray speedText(int speed)
{
    switch (speed) {
    case 1:
        return "Low Speed(1.5Mbps)";
    case 2:
        return "Full Speed(12Mbps)";
    case 3:
        return "High Speed(480Mbps)";
    case 4:
        return "Wireless";
    case 5:
        return "Super Speed(5000Mbps)";
    case 6:
        return "Super Speed Plus(10000Mbps)";
    default:
        return "Unknown Speed";
    }
}

QByteArray formatLocalList(const QList<Device> &devices, bool parsable)
{
    QByteArray out;
    for (const Device &device : devices) {
        const QByteArray vid = device.vendorId.toUtf8().left(4);
        const QByteArray pid = device.productId.toUtf8().left(4);
        if (parsable) {
            out += "busid=" + device.busid.toUtf8() + "#usbid=" + vid + ':' + pid + "#\n";
        } else {
            out += " - busid " + device.busid.toUtf8() + " (" + vid + ':' + pid + ")\n";
            out += "   " + device.nameLine() + '\n';
            out += '\n';
        }
    }
    return out;
}

QByteArray formatRemoteList(const QString &host, const QList<Device> &devices)
{
    QByteArray out = "Exportable USB devices\n"
                     "======================\n"
                     " - "
                   + host.toUtf8() + '\n';
    const QByteArray empty = padLeft(QByteArray(), 11);
    for (const Device &device : devices) {
        out += padLeft(device.busid.toUtf8(), 11) + ": " + device.nameLine() + '\n';
        out += empty + ": " + device.path.toUtf8() + '\n';
        out += empty + ": " + device.deviceClass.toUtf8() + '\n';
        for (int i = 0; i < device.interfaces.size(); ++i)
            out += empty + ": " + padLeft(QByteArray::number(i), 2) + " - "
                 + device.interfaces.at(i).toUtf8() + '\n';
        out += '\n';
    }
    return out;
}

QByteArray formatPorts(const World &world)
{
    QByteArray out = "Imported USB devices\n"
                     "====================\n";
    for (int number = 0; number < world.totalPorts(); ++number) {
        const int index = world.portIndex(number);
        if (index < 0)
            continue;
        const Port &port = world.attached.at(index);
        out += "Port " + twoDigits(number) + ": <Port in Use> at " + speedText(port.device.speed)
             + '\n';
        out += "       " + port.device.nameLine() + '\n';
        out += padLeft(world.portBusid(number).toUtf8(), 10) + " -> usbip://" + port.host.toUtf8()
             + ':' + port.service.toUtf8() + '/' + port.device.busid.toUtf8() + '\n';
        out += padLeft(QByteArray(), 10) + " -> remote bus/dev " + threeDigits(port.device.busnum)
             + '/' + threeDigits(port.device.devnum) + '\n';
    }
    return out;
}

QByteArray formatVhciStatus(const World &world, int controller)
{
    QByteArray out = "hub port sta spd dev      sockfd local_busid\n";
    const int first = controller * 2 * world.portCount;
    for (int number = first; number < first + 2 * world.portCount; ++number) {
        out += (world.isSuperSpeedPort(number) ? "ss  " : "hs  ")
             + QByteArray::number(number).rightJustified(4, '0');
        const int index = world.portIndex(number);
        if (index < 0) {
            out += " 004 000 00000000 000000 0-0\n";
            continue;
        }
        const Device &device = world.attached.at(index).device;
        out += " 006 " + threeDigits(device.speed) + ' '
             + QByteArray::number((device.busnum << 16) | device.devnum, 16).rightJustified(8, '0')
             + ' ' + QByteArray::number(number + 3).rightJustified(6, '0') + ' '
             + world.portBusid(number).toUtf8() + '\n';
    }
    return out;
}

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

// Replaces the file at once: a reader sees the old or the new content.
bool replaceFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
        && file.commit();
}

// Points the symbolic link `link` at `target`, replacing it at once.
bool replaceLink(const QString &target, const QString &link)
{
    if (QFileInfo(link).symLinkTarget() == target)
        return true;
    const QString temporary = link + QStringLiteral(".new");
    QFile::remove(temporary);
    return QFile::link(target, temporary)
        && ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(link).constData())
               == 0;
}

QString recordPath(const World &world, int port)
{
    return world.vhciStateMirror + QStringLiteral("/port%1").arg(port);
}

bool writeRecord(const World &world, const Port &port)
{
    return world.vhciStateMirror.isEmpty()
        || replaceFile(recordPath(world, port.port), port.host.toUtf8() + ' '
                                                         + port.service.toUtf8() + ' '
                                                         + port.device.busid.toUtf8() + '\n');
}

// What changes in sysfs with the world: the port table and the drivers.
bool syncMirror(const World &world)
{
    const QString root = world.sysfsMirror;
    if (root.isEmpty())
        return true;
    bool ok = true;
    // One table per controller: status, then status.1, status.2, ...
    for (int controller = 0; world.vhci && controller < world.controllers; ++controller)
        ok = ok
          && replaceFile(root + QStringLiteral("/devices/platform/vhci_hcd.0/status")
                             + (controller ? QStringLiteral(".%1").arg(controller) : QString()),
                         formatVhciStatus(world, controller));
    for (const Device &device : world.localDevices) {
        const QString folder = root + QStringLiteral("/bus/usb/devices/") + device.busid;
        ok = ok && QDir().mkpath(folder)
          && replaceLink(root + QStringLiteral("/bus/usb/drivers/")
                             + (device.bound ? QStringLiteral("usbip-host")
                                             : QStringLiteral("usb")),
                         folder + QStringLiteral("/driver"));
    }
    return ok;
}

Result writeSysfs(World &world, const QString &root, const QString &vhciState)
{
    if (root.isEmpty())
        return fail("usage: usbip sim-sysfs DIR [VHCI-STATE-DIR]\n");
    QDir(root + QStringLiteral("/module")).removeRecursively();
    QDir(root + QStringLiteral("/bus/usb/devices")).removeRecursively();
    QDir(root + QStringLiteral("/devices/platform/vhci_hcd.0")).removeRecursively();
    bool ok = QDir().mkpath(root + QStringLiteral("/module/usbip_host"))
           && QDir().mkpath(root + QStringLiteral("/bus/usb/devices"))
           && writeFile(root + QStringLiteral("/bus/usb/drivers_probe"), QByteArray());
    if (world.vhci)
        ok = ok && QDir().mkpath(root + QStringLiteral("/module/vhci_hcd"))
          && writeFile(root + QStringLiteral("/devices/platform/vhci_hcd.0/nports"),
                       QByteArray::number(world.totalPorts()) + '\n');
    ok = ok && QDir().mkpath(root + QStringLiteral("/bus/usb/drivers/usb"))
      && QDir().mkpath(root + QStringLiteral("/bus/usb/drivers/usbip-host"));
    for (const Device &device : world.localDevices) {
        const QString folder = root + QStringLiteral("/bus/usb/devices/") + device.busid;
        ok = ok && QDir().mkpath(folder)
          && writeFile(folder + QStringLiteral("/idVendor"), device.vendorId.toUtf8() + '\n')
          && writeFile(folder + QStringLiteral("/idProduct"), device.productId.toUtf8() + '\n');
        if (!device.serial.isEmpty())
            ok = ok && writeFile(folder + QStringLiteral("/serial"), device.serial.toUtf8() + '\n');
    }
    world.sysfsMirror = QDir(root).absolutePath();
    world.vhciStateMirror = vhciState.isEmpty() ? QString() : QDir(vhciState).absolutePath();
    ok = ok && syncMirror(world);
    if (!world.vhciStateMirror.isEmpty()) {
        ok = ok && QDir().mkpath(world.vhciStateMirror);
        for (const Port &port : qAsConst(world.attached))
            ok = ok && writeRecord(world, port);
    }
    return ok ? Result() : fail(error(QStringLiteral("cannot write the sysfs tree %1").arg(root)));
}

// The kernel drops the connection on a port: the port is free, the record
// of `usbip attach` stays.
Result dropCommand(const QString &text, World &world, bool *changed)
{
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    const int index = isNumber ? world.portIndex(number) : -1;
    if (index < 0)
        return fail(error(QStringLiteral("no device on port %1").arg(text)));
    world.attached.removeAt(index);
    *changed = true;
    return Result();
}

} // namespace

Result run(const QStringList &arguments, const QString &statePath)
{
    const QString simulation = arguments.value(0);
    if (simulation == QLatin1String("sim-sysfs") || simulation == QLatin1String("sim-drop")
        || simulation == QLatin1String("sim-sync")) {
        QLockFile lock(statePath + QStringLiteral(".lock"));
        World world;
        QByteArray problem;
        if (!lock.tryLock(lockTimeoutMs) || !readState(statePath, &world, &problem))
            return fail(problem.isEmpty() ? error(QStringLiteral("cannot read the world"))
                                          : problem);
        bool changed = simulation == QLatin1String("sim-sysfs");
        Result result;
        if (simulation == QLatin1String("sim-sysfs"))
            result = writeSysfs(world, arguments.value(1), arguments.value(2));
        else if (simulation == QLatin1String("sim-drop"))
            result = dropCommand(arguments.value(1), world, &changed);
        else if (!syncMirror(world))
            result = fail(
                error(QStringLiteral("cannot write the sysfs tree %1").arg(world.sysfsMirror)));
        if (changed && result.exitCode == 0
            && (!writeState(statePath, world, &problem) || !syncMirror(world)))
            return fail(problem.isEmpty() ? error(QStringLiteral("cannot write the mirror"))
                                          : problem);
        return result;
    }
    Options options;
    if (!parse(arguments, &options)) {
        Result result;
        result.out = usage();
        result.exitCode = 1;
        return result;
    }
    static const QStringList commands{QStringLiteral("list"),   QStringLiteral("bind"),
                                      QStringLiteral("unbind"), QStringLiteral("attach"),
                                      QStringLiteral("detach"), QStringLiteral("port")};
    if (options.command == QLatin1String("version")) {
        Result result;
        result.out = "usbip (usbip-utils 2.0)\n";
        return result;
    }
    if (!commands.contains(options.command)) {
        Result result;
        result.out = usage();
        result.exitCode = options.command == QLatin1String("help") ? 0 : 1;
        return result;
    }
    if (!options.unknown.isEmpty())
        return fail(error(QStringLiteral("unrecognized option '%1'").arg(options.unknown.first())));
    if (statePath.isEmpty())
        return fail(error(QStringLiteral("OVRA_SIM_STATE names no simulated world")));

    // The Manager service and the program run the tool concurrently: every
    // command reads, changes and writes the world under one lock.
    QLockFile lock(statePath + QStringLiteral(".lock"));
    if (!lock.tryLock(lockTimeoutMs))
        return fail(error(QStringLiteral("simulated world %1 is locked").arg(statePath)));

    World world;
    QByteArray problem;
    if (!readState(statePath, &world, &problem))
        return fail(problem);

    bool changed = false;
    Result result;
    const QList<Port> before = world.attached;
    if (options.command == QLatin1String("list")) {
        result = listCommand(options, world, arguments);
    } else if (options.command == QLatin1String("port")) {
        if (!world.vhci)
            result = fail(noVhciError() + error(QStringLiteral("list imported devices")));
        else
            result.out = formatPorts(world);
    } else if (options.command == QLatin1String("bind")) {
        result = bindCommand(options, world, &changed);
    } else if (options.command == QLatin1String("unbind")) {
        result = unbindCommand(options, world, &changed);
    } else if (options.command == QLatin1String("attach")) {
        result = attachCommand(options, world, &changed);
    } else if (options.command == QLatin1String("detach")) {
        result = detachCommand(options, world, &changed);
    }
    if (changed && !writeState(statePath, world, &problem))
        return fail(problem);
    if (changed) {
        // The kernel's side at once; the tool's records of the ports it
        // attached or detached.
        bool mirrored = syncMirror(world);
        for (const Port &port : qAsConst(world.attached)) {
            if (std::none_of(before.begin(), before.end(), [&port](const Port &old) {
                    return old.port == port.port;
                }))
                mirrored = mirrored && writeRecord(world, port);
        }
        for (const Port &port : before) {
            if (world.portIndex(port.port) < 0 && !world.vhciStateMirror.isEmpty())
                QFile::remove(recordPath(world, port.port));
        }
        if (!mirrored)
            return fail(
                error(QStringLiteral("cannot write the sysfs tree %1").arg(world.sysfsMirror)));
    }
    if (options.tcpPortGiven && result.runReal.isEmpty())
        result.err.prepend(info(QStringLiteral("using port %1 (\"%2\")")
                                    .arg(options.tcpPort.toUInt())
                                    .arg(options.tcpPort)));
    return result;
}

} // namespace SimUsbIp
