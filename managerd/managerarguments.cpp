// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerarguments.h"

#include "outsidetext.h"

#include "usbipgrammar.h"

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
    return text.size() <= MaxBusIdLength && UsbIpGrammar::isBusId(text);
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

QString quoted(const QString &text)
{
    // Long enough to recognise, short enough for one line of the log.
    constexpr int MaxQuotedChars = 64;
    return QLatin1Char('"') + OutsideText::cleaned(text, MaxQuotedChars) + QLatin1Char('"');
}

} // namespace ManagerArguments
