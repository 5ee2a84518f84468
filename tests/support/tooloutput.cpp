// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "tooloutput.h"

#include <QFile>

namespace ToolOutput {

QByteArray read(const QString &name)
{
    QFile file(QStringLiteral(OVRA_TOOL_OUTPUT_DIR "/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("no recorded tool output %s: %s", qPrintable(file.fileName()),
                 qPrintable(file.errorString()));
        return QByteArray();
    }
    return file.readAll();
}

QString text(const QString &name)
{
    return QString::fromUtf8(read(name));
}

QByteArray localBlock(const QByteArray &busid, const QByteArray &ids, const QByteArray &names)
{
    return " - busid " + busid + " (" + ids + ")\n   " + names + " (" + ids + ")\n\n";
}

QByteArray remoteHeader(const QByteArray &host)
{
    return "Exportable USB devices\n======================\n - " + host + "\n";
}

QByteArray remoteBlock(const QByteArray &busid, const QByteArray &description)
{
    return busid.rightJustified(11, ' ') + ": " + description + "\n"
         + "           : /sys/devices/pci0000:00/0000:00:14.0/usb1/" + busid + "\n"
         + "           : (Defined at Interface level) (00/00/00)\n"
         + "           :  0 - Mass Storage / SCSI / Bulk-Only (08/06/50)\n\n";
}

QByteArray portHeader()
{
    return "Imported USB devices\n====================\n";
}

QByteArray portBlock(const QByteArray &number, const QByteArray &description,
                     const QByteArray &remote)
{
    return "Port " + number + ": <Port in Use> at High Speed(480Mbps)\n       " + description
         + "\n       3-1 -> usbip://" + remote + "\n           -> remote bus/dev 001/002\n";
}

} // namespace ToolOutput
