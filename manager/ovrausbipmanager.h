// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

// Where the Manager service lives on the system bus, and where it keeps its
// files. Shared by the program's proxy and by the service itself.

#include <QByteArray>
#include <QString>

namespace OvraUsbIp {

inline constexpr char ManagerService[] = "org.ovra.admin.usbip";
inline constexpr char ManagerPath[] = "/";
inline constexpr char ManagerInterface[] = "org.ovra.admin.usbip.Manager";

// The Manager's signal, sent to every listener, that a constant connection
// was lost or is attached again: ConnectionChanged(s deviceId, b attached).
inline constexpr char ConnectionChangedSignal[] = "ConnectionChanged";
// The port to give DisconnectDevice(deviceId, port) when the caller does not
// know it (a constant connection that is lost and being attached again): the
// Manager detaches the device wherever the kernel shows it, if anywhere, and
// removes it from the constant connections.
inline constexpr char UnknownPort[] = "";

// The polkit actions the Manager asks for: sharing, and connecting.
inline constexpr char ShareAction[] = "org.ovra.admin.usbip.share";
inline constexpr char ConnectAction[] = "org.ovra.admin.usbip.connect";

// Bus errors of the Manager's own, such as org.ovra.admin.usbip.Error.ModuleUnavailable,
// carry a message written for the user; every other error is known by its type only.
inline constexpr char ManagerErrorPrefix[] = "org.ovra.admin.usbip.Error.";

// The Manager answers every call within this time (its --call-budget default),
// waiting for an authorisation dialog included.
inline constexpr int ManagerCallBudgetMs = 24000;
// How long the program waits for an answer: the budget and a margin for the
// bus. Past it the call fails as a bus time-out.
inline constexpr int ManagerReplyTimeoutMs = ManagerCallBudgetMs + 3000;

// The longest text of the Manager or of the tool that an error box shows.
inline constexpr int MessageMaxLength = 400;

// A message from outside the program (the Manager's own error text, the
// tool's standard error) as an error box may show it: control and format
// characters removed (tabs become blanks, line breaks stay), trimmed, and
// cut to MessageMaxLength characters.
inline QString printableMessage(const QString &text)
{
    QString result;
    result.reserve(qMin(text.size(), MessageMaxLength + 1));
    const QString unified = QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (const QChar c : unified) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            result.append(QLatin1Char('\n'));
        else if (c == QLatin1Char('\t'))
            result.append(QLatin1Char(' '));
        else if (c.category() != QChar::Other_Control && c.category() != QChar::Other_Format)
            result.append(c);
    }
    result = result.trimmed();
    if (result.size() > MessageMaxLength) {
        int cut = MessageMaxLength - 1;
        if (result.at(cut - 1).isHighSurrogate())
            --cut;
        result = result.left(cut) + QChar(0x2026);
    }
    return result;
}

// The bus error of a call that needs a kernel module (usbip-host, vhci-hcd)
// which cannot be loaded; its message names the module and the reason:
// "the kernel module vhci-hcd is not available: ...".
inline constexpr char ModuleUnavailableError[] = "org.ovra.admin.usbip.Error.ModuleUnavailable";

// The folder of the blacklist, the constant-sharing file and the
// constant-connections file: /etc/usbip, unless the test seam
// OVRA_USBIP_CONFIG_DIR points somewhere else.
inline QString configDir()
{
    const QByteArray overridden = qgetenv("OVRA_USBIP_CONFIG_DIR");
    return overridden.isEmpty() ? QStringLiteral("/etc/usbip") : QString::fromLocal8Bit(overridden);
}

inline QString blacklistPath()
{
    return configDir() + QStringLiteral("/blacklist");
}
inline QString sharedDevicesPath()
{
    return configDir() + QStringLiteral("/shared-usb-devices");
}
inline QString remoteDevicesPath()
{
    return configDir() + QStringLiteral("/remote-usb-devices");
}

} // namespace OvraUsbIp
