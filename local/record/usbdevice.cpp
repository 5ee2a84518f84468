// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbdevice.h"

#include "nethelpers.h"

#include <QRegularExpression>

namespace {

QStringList nonEmptyLines(const QString &block)
{
    return block.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

UsbDevice UsbDevice::fromLocalBlock(const QString &block)
{
    UsbDevice device;
    const QStringList lines = nonEmptyLines(block);
    if (lines.size() < 2)
        return device;

    static const QRegularExpression first(
        QStringLiteral("^busid (?<busid>\\d+-\\d+) [(](?<venid>.{4}):(?<devid>.{4})[)]"));
    const QRegularExpressionMatch ids = first.match(lines.at(0));
    if (!ids.hasMatch())
        return device;
    device.m_busid = ids.captured(QStringLiteral("busid"));
    device.m_vendorId = ids.captured(QStringLiteral("venid"));
    device.m_productId = ids.captured(QStringLiteral("devid"));

    static const QRegularExpression second(QStringLiteral("^.* : (?<name>.*) [(]"));
    const QRegularExpressionMatch name = second.match(lines.at(1));
    if (name.hasMatch())
        device.m_name = name.captured(QStringLiteral("name"));
    return device;
}

UsbDevice UsbDevice::fromRemoteBlock(const QString &block, const QString &host)
{
    UsbDevice device;
    const QStringList lines = nonEmptyLines(block);
    if (lines.isEmpty())
        return device;
    const QString &line = lines.at(0);

    static const QRegularExpression busidExpression(QStringLiteral("^\\s*(?<busid>\\d+-\\d+):.*"));
    const QRegularExpressionMatch busid = busidExpression.match(line);
    if (!busid.hasMatch())
        return device;
    device.m_busid = busid.captured(QStringLiteral("busid"));

    static const QRegularExpression idsExpression(
        QStringLiteral("^.*[(](?<venid>.{4}):(?<devid>.{4})[)].*"));
    const QRegularExpressionMatch ids = idsExpression.match(line);
    if (ids.hasMatch()) {
        device.m_vendorId = ids.captured(QStringLiteral("venid"));
        device.m_productId = ids.captured(QStringLiteral("devid"));
    }

    static const QRegularExpression nameBeforeIds(QStringLiteral("^(.*:){2} (?<name>.*) [(]"));
    static const QRegularExpression nameToEnd(QStringLiteral("^(.*:){2} (?<name>.*)$"));
    QRegularExpressionMatch name = nameBeforeIds.match(line);
    if (!name.hasMatch())
        name = nameToEnd.match(line);
    if (name.hasMatch())
        device.m_name = name.captured(QStringLiteral("name"));

    device.m_host = host;
    // Keys cost name look-ups; a record that is dropped needs none.
    if (device.isValid())
        device.fillKeys();
    return device;
}

UsbDevice UsbDevice::fromPortBlock(const QString &block)
{
    UsbDevice device;
    const QStringList lines = nonEmptyLines(block);
    if (lines.size() < 4)
        return device;

    static const QRegularExpression nameExpression(
        QStringLiteral("^.*: (?<name>.*) [(](?<venid>.{4}):(?<devid>.{4})[)].*"));
    const QRegularExpressionMatch name = nameExpression.match(lines.at(1));
    if (!name.hasMatch())
        return device;
    device.m_name = name.captured(QStringLiteral("name"));
    device.m_vendorId = name.captured(QStringLiteral("venid"));
    device.m_productId = name.captured(QStringLiteral("devid"));

    static const QRegularExpression remoteExpression(
        QStringLiteral("^.*usbip://(?<ip>[^:]+).*/(?<busid>\\d+-\\d+).*$"));
    const QRegularExpressionMatch remote = remoteExpression.match(lines.at(2));
    if (remote.hasMatch()) {
        device.m_busid = remote.captured(QStringLiteral("busid"));
        device.m_host = remote.captured(QStringLiteral("ip"));
    }

    if (device.isValid())
        device.fillKeys();
    return device;
}

QString UsbDevice::vidPid() const
{
    if (m_vendorId.isEmpty() && m_productId.isEmpty())
        return QString();
    return m_vendorId + QLatin1Char(':') + m_productId;
}

bool UsbDevice::isValid() const
{
    return !m_busid.isEmpty() && !m_name.isEmpty();
}

QString UsbDevice::key(int form) const
{
    QString hostText;
    switch (form) {
    case DeviceId: {
        static const QRegularExpression dottedQuad(QStringLiteral("(\\d{1,3}\\.){3}\\d{1,3}"));
        hostText = dottedQuad.match(m_host).hasMatch() ? m_host : cachedHostName(m_host);
        break;
    }
    case AddressKey:
        hostText = cachedHostAddress(m_host);
        break;
    case HostNameKey:
        hostText = cachedHostName(m_host);
        break;
    default:
        return QString();
    }
    return QStringLiteral("%1/%2/%3").arg(hostText, m_busid, vidPid());
}

bool UsbDevice::operator==(const UsbDevice &other) const
{
    return m_busid == other.m_busid && m_name == other.m_name && m_vendorId == other.m_vendorId
        && m_productId == other.m_productId && m_host == other.m_host && m_keys == other.m_keys;
}

void UsbDevice::fillKeys()
{
    m_keys = QStringList{key(HostNameKey), key(AddressKey)};
}

QList<UsbDevice> parseLocalList(const QString &text)
{
    // A block starts with " - busid " at the start of the text or of a line;
    // a " - " inside a vendor or product text does not start one.
    static const QRegularExpression blockStart(QStringLiteral("(^|\\n) - (?=busid )"));
    QList<UsbDevice> devices;
    const QStringList blocks = text.split(blockStart, Qt::SkipEmptyParts);
    for (const QString &block : blocks)
        devices.append(UsbDevice::fromLocalBlock(block));
    return devices;
}

PortInfo PortInfo::fromPortBlock(const QString &block)
{
    PortInfo info;
    const QStringList lines = block.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() < 3)
        return info;

    static const QRegularExpression numberExpression(QStringLiteral("^(?<number>.+):.*"));
    const QRegularExpressionMatch number = numberExpression.match(lines.at(0));
    if (!number.hasMatch())
        return info;
    info.port = number.captured(QStringLiteral("number"));

    static const QRegularExpression vidPidExpression(
        QStringLiteral("^.*[(](?<vidpid>.{4}:.{4})[)].*"));
    const QString vidPid = vidPidExpression.match(lines.at(1)).captured(QStringLiteral("vidpid"));

    static const QRegularExpression remoteExpression(
        QStringLiteral("^.*-> usbip://(?<host>.*):.*/(?<busid>\\d+-\\d+)$"));
    const QRegularExpressionMatch remote = remoteExpression.match(lines.at(2));
    if (remote.hasMatch())
        info.key = QStringLiteral("%1/%2/%3")
                       .arg(remote.captured(QStringLiteral("host")),
                            remote.captured(QStringLiteral("busid")), vidPid);
    return info;
}

QStringList splitPortBlocks(const QString &portText)
{
    static const QRegularExpression header(QStringLiteral("^.*\\n.*\\n"));
    static const QRegularExpression portStart(QStringLiteral("\\nPort "));
    QString text = portText;
    text.replace(header, QString());
    text.prepend(QLatin1Char('\n'));
    return text.split(portStart, Qt::SkipEmptyParts);
}

QHash<QString, QString> portTable(const QStringList &portBlocks)
{
    QHash<QString, QString> table;
    for (const QString &block : portBlocks) {
        const PortInfo info = PortInfo::fromPortBlock(block);
        if (info.isValid())
            table.insert(info.key, info.port);
    }
    return table;
}

QStringList splitRemoteBlocks(const QString &text)
{
    static const QRegularExpression header(QStringLiteral("^.*\\n.*\\n.*\\n"));
    QString rest = text;
    rest.replace(header, QString());
    return rest.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts);
}
