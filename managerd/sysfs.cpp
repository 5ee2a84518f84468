// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "sysfs.h"

#include "usbipgrammar.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Attributes are one short line; this bounds what a broken tree can make
// the service read.
constexpr qint64 MaxAttributeSize = 4096;

// Read every 2 s for a watch: one open, one read, one close, no more.
bool readAttribute(const QString &path, QByteArray *value, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    char buffer[MaxAttributeSize];
    ssize_t got = -1;
    if (fd >= 0) {
        do {
            got = ::read(fd, buffer, sizeof buffer);
        } while (got < 0 && errno == EINTR);
    }
    const int readErrno = errno;
    if (fd >= 0)
        ::close(fd);
    if (got < 0) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(readErrno)));
        return false;
    }
    *value = QByteArray(buffer, int(got));
    // The kernel ends every attribute with one newline; only that goes.
    if (value->endsWith('\n'))
        value->chop(1);
    return true;
}

} // namespace

Sysfs::Sysfs(const QString &root, const QString &vhciStateDir)
    : m_root(root)
    , m_vhciStateDir(vhciStateDir)
{
}

bool Sysfs::isModuleLoaded(const QString &module) const
{
    QString name = module;
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    return QFileInfo(m_root + QStringLiteral("/module/") + name).isDir();
}

QString Sysfs::serial(const QString &busId) const
{
    QByteArray value;
    if (!readAttribute(m_root + QStringLiteral("/bus/usb/devices/") + busId
                           + QStringLiteral("/serial"),
                       &value, nullptr))
        return QString();
    return QString::fromUtf8(value);
}

int Sysfs::vhciPortCount(QString *error) const
{
    QByteArray value;
    const QString path = m_root + QStringLiteral("/devices/platform/vhci_hcd.0/nports");
    if (!readAttribute(path, &value, error))
        return -1;
    bool ok = false;
    const int count = value.trimmed().toInt(&ok);
    if (!ok || count < 0) {
        if (error)
            *error = QStringLiteral("%1 does not hold a port count").arg(path);
        return -1;
    }
    return count;
}

int Sysfs::sharedDeviceCount() const
{
    // Besides a link per bound device the folder holds the driver's files
    // (bind, unbind, match_busid, module, ...), none of them named like a bus id.
    const QStringList entries =
        QDir(m_root + QStringLiteral("/bus/usb/drivers/usbip-host"))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    int count = 0;
    for (const QString &entry : entries)
        count += UsbIpGrammar::isBusId(entry) ? 1 : 0;
    return count;
}

bool Sysfs::reprobe(const QString &busId, QString *error) const
{
    // A bind stopped half-way may leave the device in usbip-host's match
    // table, and the probe would export it. Writing fails when it is not
    // there (or usbip-host is not loaded): nothing to undo then.
    QFile match(m_root + QStringLiteral("/bus/usb/drivers/usbip-host/match_busid"));
    if (match.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        match.write("del " + busId.toLatin1() + '\n');

    const QString path = m_root + QStringLiteral("/bus/usb/drivers_probe");
    QFile file(path);
    // Never create the file: outside a real sysfs that would hide a mistake.
    if (!file.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = busId.toLatin1() + '\n';
    if (file.write(text) != text.size()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

const Sysfs::ImportedPort *Sysfs::findImported(const QList<ImportedPort> &ports,
                                               const QString &host, const QString &busId)
{
    for (const ImportedPort &port : ports) {
        if (port.host == host && port.busId == busId)
            return &port;
    }
    return nullptr;
}

bool Sysfs::importedPorts(QList<ImportedPort> *ports, QString *error) const
{
    ports->clear();
    const QString folder = m_root + QStringLiteral("/devices/platform/vhci_hcd.0");
    // status for the first controller, status.1 and on for the others; the
    // first one missing ends the list.
    for (int controller = 0;; ++controller) {
        const QString path = folder + QStringLiteral("/status")
                           + (controller ? QStringLiteral(".%1").arg(controller) : QString());
        QByteArray text;
        if (!readAttribute(path, &text, controller == 0 ? error : nullptr))
            // Without the vhci driver nothing is attached.
            return controller > 0 || !QFileInfo(folder).isDir();
        const QList<int> inUse = UsbIpGrammar::vhciPortsInUse(QString::fromLatin1(text));
        for (const int port : inUse) {
            QByteArray record;
            UsbIpGrammar::PortRemote remote;
            if (readAttribute(m_vhciStateDir + QStringLiteral("/port%1").arg(port), &record,
                              nullptr))
                remote = UsbIpGrammar::portRecord(QString::fromUtf8(record));
            ports->append(ImportedPort{port, remote.host, remote.busId});
        }
    }
}

QList<Sysfs::UsbDevice> Sysfs::usbDevices(
    const std::function<bool(const QString &vidPid)> &wanted) const
{
    QList<UsbDevice> devices;
    const QString folder = m_root + QStringLiteral("/bus/usb/devices/");
    // Looked at every 2 s while a constant share is watched: the names
    // alone, without a stat of each entry's target as QDir would make.
    QStringList names;
    if (DIR *directory = ::opendir(QFile::encodeName(folder).constData())) {
        while (const dirent *entry = ::readdir(directory))
            names.append(QFile::decodeName(entry->d_name));
        ::closedir(directory);
    }
    for (const QString &name : qAsConst(names)) {
        // "usb1" (a root hub) and "1-1:1.0" (an interface) are no devices.
        if (name.contains(QLatin1Char(':')) || !UsbIpGrammar::isBusId(name))
            continue;
        QByteArray vendor;
        QByteArray product;
        if (!readAttribute(folder + name + QStringLiteral("/idVendor"), &vendor, nullptr)
            || !readAttribute(folder + name + QStringLiteral("/idProduct"), &product, nullptr))
            continue;
        const QString vidPid = QString::fromLatin1(vendor + ':' + product);
        if (!wanted(vidPid))
            continue;
        UsbDevice device;
        device.busId = name;
        device.vidPid = vidPid;
        const QString driver = QFile::symLinkTarget(folder + name + QStringLiteral("/driver"));
        device.driver = driver.isEmpty() ? QString() : QFileInfo(driver).fileName();
        // The entry links to the device's place: below the vhci driver for
        // a device attached over USB/IP.
        device.imported = QFile::symLinkTarget(folder + name).contains(QLatin1String("/vhci_hcd."));
        devices.append(device);
    }
    return devices;
}
