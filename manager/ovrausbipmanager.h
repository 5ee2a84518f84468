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
