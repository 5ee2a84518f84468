// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipgrammar.h"

#include "outsidetext.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextCodec>

namespace UsbIpGrammar {

namespace {

// A bus id names a USB device as the kernel does: bus, hyphen, port on the
// root hub ("1-1"), then ".port" for every hub on the way ("3-1.2.4").
const QString BusIdPattern = QStringLiteral("[0-9]+-[0-9]+(?:\\.[0-9]+)*");

// An expression whose "%1" stands for a bus id.
QRegularExpression withBusId(const QString &pattern)
{
    return QRegularExpression(pattern.arg(BusIdPattern));
}

QStringList nonEmptyLines(const QString &block)
{
    return block.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString captured(const QRegularExpressionMatch &match, const char *group)
{
    return match.captured(QLatin1String(group));
}

// Every device name passes here, whichever output it comes from.
QString nameOf(const QRegularExpressionMatch &match)
{
    return OutsideText::cleaned(captured(match, "name"));
}

// The vendor and product ids stand beside the name on the same line: a
// peer that writes the line writes them too.
QString idOf(const QRegularExpressionMatch &match, const char *group)
{
    return OutsideText::cleaned(captured(match, group));
}

} // namespace

bool isBusId(const QString &text)
{
    // \A and \z: "$" would also match before a final newline.
    static const QRegularExpression whole = withBusId(QStringLiteral("\\A%1\\z"));
    return whole.match(text).hasMatch();
}

QString busIdOfDevicePath(const QString &path)
{
    // Both wildcards are greedy: the last component that is a bus id wins.
    static const QRegularExpression expression =
        withBusId(QStringLiteral("^.*/usb.*/(?<busid>%1)(?=/|$)"));
    return captured(expression.match(path), "busid");
}

QString leadingBusId(const QString &text)
{
    static const QRegularExpression expression = withBusId(QStringLiteral("^(?<busid>%1)"));
    return captured(expression.match(text), "busid");
}

QString vidPidText(const QString &vendorId, const QString &productId)
{
    if (vendorId.isEmpty() && productId.isEmpty())
        return QString();
    return vendorId + QLatin1Char(':') + productId;
}

// ---- `usbip list -l` -----------------------------------------------------

QStringList splitLocalBlocks(const QString &text)
{
    static const QRegularExpression blockStart(QStringLiteral("(^|\\n) - (?=busid )"));
    return text.split(blockStart, Qt::SkipEmptyParts);
}

QList<LocalDevice> parseLocalList(const QString &text)
{
    QList<LocalDevice> devices;
    const QStringList blocks = splitLocalBlocks(text);
    for (const QString &block : blocks)
        devices.append(parseLocalBlock(block));
    return devices;
}

LocalDevice parseLocalBlock(const QString &block)
{
    LocalDevice device;
    const QStringList lines = nonEmptyLines(block);
    if (lines.isEmpty())
        return device;

    static const QRegularExpression first =
        withBusId(QStringLiteral("^busid (?<busid>%1) [(](?<venid>.{4}):(?<devid>.{4})[)]"));
    const QRegularExpressionMatch ids = first.match(lines.at(0));
    if (!ids.hasMatch())
        return device;
    device.busId = captured(ids, "busid");
    device.vendorId = idOf(ids, "venid");
    device.productId = idOf(ids, "devid");

    device.described = lines.size() >= 2;
    if (device.described) {
        static const QRegularExpression second(QStringLiteral("^.* : (?<name>.*) [(]"));
        device.name = nameOf(second.match(lines.at(1)));
    }
    return device;
}

// ---- `usbip list -r HOST` ------------------------------------------------

QStringList splitRemoteBlocks(const QString &text)
{
    static const QRegularExpression header(QStringLiteral("^.*\\n.*\\n.*\\n"));
    QString rest = text;
    rest.replace(header, QString());
    return rest.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts);
}

ExportedDevice parseRemoteBlock(const QString &block)
{
    ExportedDevice device;
    const QStringList lines = nonEmptyLines(block);
    if (lines.isEmpty())
        return device;
    const QString &line = lines.at(0);

    static const QRegularExpression busId = withBusId(QStringLiteral("^\\s*(?<busid>%1):.*"));
    const QRegularExpressionMatch start = busId.match(line);
    if (!start.hasMatch())
        return device;
    device.busId = captured(start, "busid");

    static const QRegularExpression idsExpression(
        QStringLiteral("^.*[(](?<venid>.{4}):(?<devid>.{4})[)].*"));
    const QRegularExpressionMatch ids = idsExpression.match(line);
    device.vendorId = idOf(ids, "venid");
    device.productId = idOf(ids, "devid");

    static const QRegularExpression nameBeforeIds(QStringLiteral("^(.*:){2} (?<name>.*) [(]"));
    static const QRegularExpression nameToEnd(QStringLiteral("^(.*:){2} (?<name>.*)$"));
    QRegularExpressionMatch name = nameBeforeIds.match(line);
    if (!name.hasMatch())
        name = nameToEnd.match(line);
    device.name = nameOf(name);
    return device;
}

// ---- `usbip port` --------------------------------------------------------

QStringList splitPortBlocks(const QString &portText)
{
    static const QRegularExpression header(QStringLiteral("^.*\\n.*\\n"));
    static const QRegularExpression portStart(QStringLiteral("\\nPort "));
    QString text = portText;
    text.replace(header, QString());
    text.prepend(QLatin1Char('\n'));
    return text.split(portStart, Qt::SkipEmptyParts);
}

PortBlock parsePortBlock(const QString &block)
{
    PortBlock port;
    const QStringList lines = nonEmptyLines(block);
    port.lineCount = lines.size();

    if (lines.size() >= 1) {
        static const QRegularExpression number(QStringLiteral("^(?<number>.+):.*"));
        port.port = captured(number.match(lines.at(0)), "number");
    }

    if (lines.size() >= 2) {
        static const QRegularExpression named(
            QStringLiteral("^.*: (?<name>.*) [(](?<venid>.{4}):(?<devid>.{4})[)].*"));
        static const QRegularExpression idsOnly(
            QStringLiteral("^.*[(](?<venid>.{4}):(?<devid>.{4})[)].*"));
        QRegularExpressionMatch description = named.match(lines.at(1));
        if (description.hasMatch())
            port.name = nameOf(description);
        else
            description = idsOnly.match(lines.at(1));
        port.vendorId = idOf(description, "venid");
        port.productId = idOf(description, "devid");
    }

    if (lines.size() >= 3) {
        // IPv6 hosts carry colons: the host runs up to the last colon that
        // is followed by the port number.
        static const QRegularExpression remote(
            QStringLiteral("-> usbip://(?<host>.*):[0-9]+/(?<busid>[^/]*?)[ \\t\\r]*$"));
        const QRegularExpressionMatch match = remote.match(lines.at(2));
        QString host = captured(match, "host");
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        port.remoteHost = host;
        port.remoteBusId = captured(match, "busid");
    }
    return port;
}

QList<PortRemote> portRemotes(const QString &portText)
{
    QList<PortRemote> result;
    const QStringList blocks = splitPortBlocks(portText);
    for (const QString &block : blocks) {
        const PortBlock port = parsePortBlock(block);
        if (!port.remoteHost.isEmpty() && isBusId(port.remoteBusId))
            result.append(PortRemote{port.remoteHost, port.remoteBusId});
    }
    return result;
}

// ---- the vhci driver's port table and the tool's port records -------------

QList<int> vhciPortsInUse(const QString &statusText)
{
    // VDEV_ST_NOTASSIGNED (5) and VDEV_ST_USED (6) of the driver; a free port
    // reads 4, one being torn down 7. The header line does not match.
    static const QRegularExpression line(
        QStringLiteral("^(?:hs|ss) +(?<port>[0-9]{1,5}) +(?<status>[0-9]{1,3}) "));
    // Read every 2 s while a connection is watched: a free port's line,
    // the same text every time, is passed over without the expression.
    static const QLatin1String freePort(" 004 000 00000000 000000 0-0");
    QList<int> ports;
    const QStringList lines = nonEmptyLines(statusText);
    for (const QString &text : lines) {
        if (text.endsWith(freePort))
            continue;
        const QRegularExpressionMatch match = line.match(text);
        const int status = captured(match, "status").toInt();
        if (match.hasMatch() && (status == 5 || status == 6))
            ports.append(captured(match, "port").toInt());
    }
    return ports;
}

PortRemote portRecord(const QString &text)
{
    static const QRegularExpression record = withBusId(
        QStringLiteral("\\A(?<host>[^ \\n]+) (?<service>[0-9]{1,5}) (?<busid>%1)\\n?\\z"));
    const QRegularExpressionMatch match = record.match(text);
    if (!match.hasMatch())
        return PortRemote();
    return PortRemote{captured(match, "host"), captured(match, "busid")};
}

// ---- list files ----------------------------------------------------------

QStringList listEntries(const QByteArray &content, const ListFileRules &rules)
{
    QByteArray bytes = content;
    if (rules.dropCarriageReturns)
        bytes.replace('\r', QByteArray());
    const QString text =
        rules.decoding == ListFileRules::Decoding::Utf8
            ? QString::fromUtf8(bytes)
            : QTextCodec::codecForUtfText(bytes, QTextCodec::codecForLocale())->toUnicode(bytes);
    QStringList entries;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        QString entry = rules.trimmed ? line.trimmed() : line;
        if (entry.isEmpty() || (rules.comments && entry.startsWith(QLatin1Char('#'))))
            continue;
        entries.append(rules.lowerCased ? entry.toLower() : entry);
    }
    return entries;
}

bool readListFileContent(const QString &path, QByteArray *content, QString *error)
{
    content->clear();
    QFile file(path);
    if (!file.exists())
        return true;
    if (file.open(QIODevice::ReadOnly)) {
        *content = file.readAll();
        if (file.error() == QFileDevice::NoError)
            return true;
        content->clear();
    }
    if (error)
        *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
    return false;
}

bool readListFile(const QString &path, const ListFileRules &rules, QStringList *entries,
                  QString *error)
{
    QByteArray content;
    const bool read = readListFileContent(path, &content, error);
    *entries = listEntries(content, rules);
    return read;
}

// ---- the share-access file -----------------------------------------------

AccessEntries accessEntries(const QStringList &entries)
{
    AccessEntries result;
    const QString mode = entries.value(0);
    if (mode == QLatin1String(AccessRestricted))
        result.mode = AccessEntries::Mode::Restricted;
    else if (mode == QLatin1String(AccessUnrestricted))
        result.mode = AccessEntries::Mode::Unrestricted;
    else
        return result;
    result.hosts = entries.mid(1);
    return result;
}

} // namespace UsbIpGrammar
