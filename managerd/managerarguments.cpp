// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "managerarguments.h"

#include "outsidetext.h"

#include "ovrausbipmanager.h"
#include "usbipgrammar.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>

namespace ManagerArguments {

namespace {

bool matchesWhole(const QRegularExpression &expression, const QString &text)
{
    // \A and \z in the patterns: "$" would also match before a final newline.
    return expression.match(text).hasMatch();
}

// Longest host entry accepted at all (a full IPv4-mapped form with a prefix
// has 49 characters).
constexpr int MaxAccessHostLength = 64;

// `address` with every bit past the first `length` cleared.
QHostAddress network(const QHostAddress &address, int length)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = length == 0 ? 0 : ~quint32(0) << (32 - length);
        return QHostAddress(address.toIPv4Address() & mask);
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int bit = length; bit < 128; ++bit)
        bytes[bit / 8] &= static_cast<quint8>(~(0x80 >> (bit % 8)));
    return QHostAddress(bytes);
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

QString canonicalAccessHost(const QString &text, QString *reason)
{
    auto fail = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return QString();
    };
    if (text.isEmpty())
        return fail(QStringLiteral("it is empty"));
    if (text.size() > MaxAccessHostLength)
        return fail(QStringLiteral("it is longer than %1 characters").arg(MaxAccessHostLength));
    const int slash = text.indexOf(QLatin1Char('/'));
    const QString addressText = slash < 0 ? text : text.left(slash);
    // Dotted decimal with four parts and no leading zeros: "10.1" and "010.0.0.1"
    // read differently elsewhere.
    static const QRegularExpression ipv4(
        QStringLiteral("\\A((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
                       "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\z"));
    static const QRegularExpression ipv6(QStringLiteral("\\A[0-9A-Fa-f:.]{2,45}\\z"));
    QHostAddress address;
    if (matchesWhole(ipv4, addressText)) {
        address.setAddress(addressText);
    } else if (!addressText.contains(QLatin1Char(':')) || !matchesWhole(ipv6, addressText)
               || !address.setAddress(addressText)
               || address.protocol() != QAbstractSocket::IPv6Protocol) {
        return fail(QStringLiteral("it is not an IPv4 or IPv6 address or prefix"));
    }
    const int fullLength = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    int length = fullLength;
    if (slash >= 0) {
        static const QRegularExpression digits(QStringLiteral("\\A(0|[1-9][0-9]{0,2})\\z"));
        const QString lengthText = text.mid(slash + 1);
        bool ok = matchesWhole(digits, lengthText);
        length = ok ? lengthText.toInt() : -1;
        if (length < 0 || length > fullLength)
            return fail(
                QStringLiteral("its prefix length is not a number from 0 to %1").arg(fullLength));
    }
    if (fullLength == 128 && length >= 96) {
        bool mapped = false;
        const quint32 ipv4Address = address.toIPv4Address(&mapped);
        if (mapped) {
            address = QHostAddress(ipv4Address);
            length -= 96;
        }
    }
    const int addressLength = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    const QString canonical = network(address, length).toString();
    return length == addressLength ? canonical
                                   : canonical + QLatin1Char('/') + QString::number(length);
}

bool canonicalAccessHosts(const QStringList &hosts, QStringList *canonical, QString *reason)
{
    if (hosts.size() > OvraUsbIp::MaxAccessHosts) {
        if (reason)
            *reason = QStringLiteral("The host list has %1 entries; at most %2 are allowed.")
                          .arg(hosts.size())
                          .arg(OvraUsbIp::MaxAccessHosts);
        return false;
    }
    QStringList result;
    QSet<QString> seen;
    for (int i = 0; i < hosts.size(); ++i) {
        QString why;
        const QString host = canonicalAccessHost(hosts.at(i), &why);
        if (host.isEmpty()) {
            if (reason)
                *reason = QStringLiteral("Invalid host %1 (entry %2 of the list): %3.")
                              .arg(quoted(hosts.at(i)), QString::number(i + 1), why);
            return false;
        }
        if (!seen.contains(host)) {
            seen.insert(host);
            result.append(host);
        }
    }
    if (canonical)
        *canonical = result;
    return true;
}

QString quoted(const QString &text)
{
    // Long enough to recognise, short enough for one line of the log.
    constexpr int MaxQuotedChars = 64;
    return QLatin1Char('"') + OutsideText::cleaned(text, MaxQuotedChars) + QLatin1Char('"');
}

} // namespace ManagerArguments
