// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerarguments.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace ManagerArguments {

namespace {

bool matchesWhole(const QRegularExpression &expression, const QString &text)
{
    // \A and \z in the patterns: "$" would also match before a final newline.
    return expression.match(text).hasMatch();
}

} // namespace

bool isBusId(const QString &text)
{
    static const QRegularExpression expression(QStringLiteral("\\A[0-9]+-[0-9]+(\\.[0-9]+)*\\z"));
    return text.size() <= 31 && matchesWhole(expression, text);
}

bool isVidPid(const QString &text)
{
    static const QRegularExpression expression(
        QStringLiteral("\\A[0-9a-fA-F]{4}:[0-9a-fA-F]{4}\\z"));
    return matchesWhole(expression, text);
}

bool isPort(const QString &text)
{
    static const QRegularExpression expression(QStringLiteral("\\A[0-9]{1,3}\\z"));
    return matchesWhole(expression, text);
}

bool isHost(const QString &text)
{
    if (text.isEmpty() || text.size() > 253)
        return false;
    // Host names and IPv4 addresses: dot-separated labels of letters, digits,
    // hyphens and underscores, each starting with a letter, digit or underscore.
    static const QRegularExpression name(QStringLiteral(
        "\\A[A-Za-z0-9_][A-Za-z0-9_-]{0,62}(\\.[A-Za-z0-9_][A-Za-z0-9_-]{0,62})*\\z"));
    if (matchesWhole(name, text))
        return true;
    // IPv6, optionally with a zone ("fe80::1%eth0").
    static const QRegularExpression ipv6(
        QStringLiteral("\\A[0-9A-Fa-f:.]{2,45}(%[A-Za-z0-9_.-]{1,15})?\\z"));
    if (!matchesWhole(ipv6, text))
        return false;
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

bool parseDeviceId(const QString &text, DeviceId *result, QString *reason)
{
    auto fail = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (text.size() > MaxDeviceIdLength)
        return fail(
            QStringLiteral("The device id is longer than %1 characters.").arg(MaxDeviceIdLength));
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 3)
        return fail(QStringLiteral("The device id must have the form host/busid/vid:pid."));
    if (!isHost(parts.at(0)))
        return fail(QStringLiteral("The device id does not start with a valid host."));
    if (!isBusId(parts.at(1)))
        return fail(QStringLiteral("The device id does not hold a valid bus id."));
    if (!parts.at(2).isEmpty() && !isVidPid(parts.at(2)))
        return fail(QStringLiteral("The device id does not end in a valid vid:pid."));
    if (result)
        *result = DeviceId{parts.at(0), parts.at(1), parts.at(2)};
    return true;
}

QList<LocalDevice> parseLocalList(const QString &text)
{
    static const QRegularExpression separator(QStringLiteral("(?:\\A|\\n) - (?=busid )"));
    static const QRegularExpression header(
        QStringLiteral("\\Abusid (\\S+) \\(([0-9a-fA-F]{4}:[0-9a-fA-F]{4})\\)"));
    QList<LocalDevice> devices;
    const QStringList blocks = text.split(separator, Qt::SkipEmptyParts);
    for (const QString &block : blocks) {
        const QRegularExpressionMatch match = header.match(block);
        if (!match.hasMatch() || !isBusId(match.captured(1)))
            continue;
        devices.append(LocalDevice{match.captured(1), match.captured(2)});
    }
    return devices;
}

QList<DeviceId> parsePortHosts(const QString &text)
{
    // "       3-1 -> usbip://127.0.0.5:3240/1-1"; IPv6 hosts carry colons, so
    // the host is everything up to the last colon before the port.
    static const QRegularExpression line(
        QStringLiteral("-> usbip://(.+):[0-9]+/([0-9]+-[0-9]+(?:\\.[0-9]+)*)[ \\t\\r]*$"),
        QRegularExpression::MultilineOption);
    QList<DeviceId> result;
    QRegularExpressionMatchIterator it = line.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        QString host = match.captured(1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        result.append(DeviceId{host, match.captured(2), QString()});
    }
    return result;
}

} // namespace ManagerArguments
