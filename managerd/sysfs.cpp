// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "sysfs.h"

#include "usbipgrammar.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Attributes are one short line; this bounds what a broken tree can make
// the service read.
constexpr qint64 MaxAttributeSize = 4096;

bool readAttribute(const QString &path, QByteArray *value, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *value = file.read(MaxAttributeSize);
    // The kernel ends every attribute with one newline; only that goes.
    if (value->endsWith('\n'))
        value->chop(1);
    return true;
}

} // namespace

Sysfs::Sysfs(const QString &root)
    : m_root(root)
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
