// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "accesshosts.h"

#include "outsidetext.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>

namespace AccessHosts {

namespace {

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

Host invalid(const QString &reason)
{
    return Host{QString(), reason};
}

} // namespace

Host canonicalHost(const QString &text)
{
    if (text.isEmpty())
        return invalid(QCoreApplication::translate("AccessHosts", "it is empty"));
    if (text.size() > MaxHostLength)
        return invalid(QCoreApplication::translate("AccessHosts", "it is longer than %1 characters")
                           .arg(MaxHostLength));
    const int slash = text.indexOf(QLatin1Char('/'));
    const QString addressText = slash < 0 ? text : text.left(slash);
    // Dotted decimal with four parts and no leading zeros: "10.1" and
    // "010.0.0.1" read differently elsewhere. \A and \z: "$" would also match
    // before a final newline.
    static const QRegularExpression ipv4(
        QStringLiteral("\\A((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
                       "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\z"));
    static const QRegularExpression ipv6(QStringLiteral("\\A[0-9A-Fa-f:.]{2,45}\\z"));
    QHostAddress address;
    if (ipv4.match(addressText).hasMatch()) {
        address.setAddress(addressText);
    } else if (!addressText.contains(QLatin1Char(':')) || !ipv6.match(addressText).hasMatch()
               || !address.setAddress(addressText)
               || address.protocol() != QAbstractSocket::IPv6Protocol) {
        return invalid(QCoreApplication::translate("AccessHosts",
                                                   "it is not an IPv4 or IPv6 address or prefix"));
    }
    const int fullLength = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    int length = fullLength;
    if (slash >= 0) {
        static const QRegularExpression digits(QStringLiteral("\\A(0|[1-9][0-9]{0,2})\\z"));
        const QString lengthText = text.mid(slash + 1);
        length = digits.match(lengthText).hasMatch() ? lengthText.toInt() : -1;
        if (length < 0 || length > fullLength)
            return invalid(
                QCoreApplication::translate("AccessHosts",
                                            "its prefix length is not a number from 0 to %1")
                    .arg(fullLength));
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
    return Host{length == addressLength ? canonical
                                        : canonical + QLatin1Char('/') + QString::number(length),
                QString()};
}

List canonicalHosts(const QStringList &hosts)
{
    List result;
    if (hosts.size() > MaxHosts) {
        result.reason =
            QCoreApplication::translate("AccessHosts",
                                        "The host list has %1 entries; at most %2 are allowed.")
                .arg(hosts.size())
                .arg(MaxHosts);
        return result;
    }
    QSet<QString> seen;
    for (int i = 0; i < hosts.size(); ++i) {
        const Host host = canonicalHost(hosts.at(i));
        if (!host.isValid()) {
            // Long enough to recognise, short enough for one line of a log.
            constexpr int MaxQuotedChars = 64;
            const QString quoted = QLatin1Char('"')
                                 + OutsideText::cleaned(hosts.at(i), MaxQuotedChars)
                                 + QLatin1Char('"');
            result.reason =
                QCoreApplication::translate("AccessHosts",
                                            "Invalid host %1 (entry %2 of the list): %3.")
                    .arg(quoted, QString::number(i + 1), host.reason);
            result.canonical.clear();
            return result;
        }
        if (!seen.contains(host.canonical)) {
            seen.insert(host.canonical);
            result.canonical.append(host.canonical);
        }
    }
    return result;
}

} // namespace AccessHosts
