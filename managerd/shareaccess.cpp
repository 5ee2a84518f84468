// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "shareaccess.h"

#include "accesshosts.h"
#include "listfile.h"
#include "managerarguments.h"
#include "ovrausbipmanager.h"
#include "usbipgrammar.h"

#include <QFileInfo>

// The bus contract's limit is the grammar's.
static_assert(OvraUsbIp::MaxAccessHosts == AccessHosts::MaxHosts);

namespace Access {

namespace {

constexpr char FileHeader[] =
    "# Who may attach the USB devices this machine shares (TCP port 3240).\n"
    "# Kept by the Ovra admin usbip Manager; set it with the program or the\n"
    "# Manager's SetShareAccess bus method. A hand edit takes effect when the\n"
    "# Manager starts next.\n"
    "# The first entry is \"restricted\" (only this machine and the IPv4 and IPv6\n"
    "# addresses and prefixes below may attach) or \"unrestricted\" (any host that\n"
    "# reaches this machine may; the addresses below are kept but not used).\n"
    "# A file that cannot be read this way lets only this machine attach.\n";

QByteArray elements(const QStringList &hosts)
{
    return hosts.isEmpty()
             ? QByteArray()
             : "\t\telements = { " + hosts.join(QStringLiteral(", ")).toLatin1() + " }\n";
}

QByteArray set(const char *name, const char *type, const QStringList &hosts)
{
    return QByteArray("\tset ") + name + " {\n\t\ttype " + type
         + "\n\t\tflags interval\n\t\tauto-merge\n" + elements(hosts) + "\t}\n";
}

} // namespace

bool read(const QString &path, Setting *setting, QString *error)
{
    *setting = Setting();
    const QFileInfo file(path);
    if (!file.exists() && !file.isSymLink())
        return true; // a link to nowhere is broken, not missing
    QStringList entries;
    if (!ListFile(path, UsbIpGrammar::AccessListRules).read(&entries, error))
        return false;
    auto fail = [path, error](const QString &why) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    };
    const UsbIpGrammar::AccessEntries access = UsbIpGrammar::accessEntries(entries);
    if (access.mode == UsbIpGrammar::AccessEntries::Mode::Unknown)
        return fail(QStringLiteral("its first entry is %1, not \"%2\" or \"%3\"")
                        .arg(entries.isEmpty() ? QStringLiteral("missing")
                                               : ManagerArguments::quoted(entries.first()),
                             QLatin1String(UsbIpGrammar::AccessRestricted),
                             QLatin1String(UsbIpGrammar::AccessUnrestricted)));
    const AccessHosts::List hosts = AccessHosts::canonicalHosts(access.hosts);
    if (!hosts.isValid())
        return fail(hosts.reason);
    setting->hosts = hosts.canonical;
    setting->restricted = access.mode == UsbIpGrammar::AccessEntries::Mode::Restricted;
    return true;
}

Setting inForce(const QString &path, QString *broken)
{
    Setting setting;
    if (!read(path, &setting, broken))
        setting = Setting{true, {}};
    return setting;
}

QString describe(const Setting &setting)
{
    if (!setting.restricted)
        return QStringLiteral("any host may attach");
    return setting.hosts.isEmpty()
             ? QStringLiteral("only this machine may attach")
             : QStringLiteral("only this machine and %1 listed hosts may attach")
                   .arg(setting.hosts.size());
}

QByteArray fileContent(const Setting &setting)
{
    QByteArray content = FileHeader;
    content +=
        setting.restricted ? UsbIpGrammar::AccessRestricted : UsbIpGrammar::AccessUnrestricted;
    content += '\n';
    for (const QString &host : setting.hosts)
        content += host.toLatin1() + '\n';
    return content;
}

QByteArray nftScript(const Setting &setting)
{
    const QByteArray table = QByteArray("table inet ") + OvraUsbIp::AccessTable;
    QByteArray script = table + '\n' + "delete " + table + '\n';
    if (!setting.restricted)
        return script;
    QStringList ipv4;
    QStringList ipv6;
    for (const QString &host : setting.hosts)
        (host.contains(QLatin1Char(':')) ? ipv6 : ipv4).append(host);
    // One statement per line: nft 1.0.6 takes no "}" right after a statement.
    script += table + " {\n";
    script += set("allowed_ipv4", "ipv4_addr", ipv4);
    script += set("allowed_ipv6", "ipv6_addr", ipv6);
    script += "\tchain input {\n"
              "\t\ttype filter hook input priority -10; policy accept;\n"
              "\t\tiif \"lo\" accept\n"
              "\t\ttcp dport 3240 ip saddr @allowed_ipv4 accept\n"
              "\t\ttcp dport 3240 ip6 saddr @allowed_ipv6 accept\n"
              "\t\ttcp dport 3240 drop\n"
              "\t}\n"
              "}\n";
    return script;
}

} // namespace Access
