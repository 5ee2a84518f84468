// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

// Where the Manager service lives on the system bus and what it answers with.
// Shared by the program's proxy and by the service itself.

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

// The polkit actions the Manager asks for: sharing, connecting, and setting
// who may attach the shared devices.
inline constexpr char ShareAction[] = "org.ovra.admin.usbip.share";
inline constexpr char ConnectAction[] = "org.ovra.admin.usbip.connect";
inline constexpr char AccessAction[] = "org.ovra.admin.usbip.access";

// Bus errors of the Manager's own, such as org.ovra.admin.usbip.Error.ModuleUnavailable,
// carry a message written for the user; every other error is known by its type only.
inline constexpr char ManagerErrorPrefix[] = "org.ovra.admin.usbip.Error.";

// The Manager answers every call within this time (its --call-budget default),
// waiting for an authorisation dialog included.
inline constexpr int ManagerCallBudgetMs = 24000;
// How long the program waits for an answer: the budget and a margin for the
// bus. Past it the call fails as a bus time-out.
inline constexpr int ManagerReplyTimeoutMs = ManagerCallBudgetMs + 3000;

// While this machine shares at least one device, the Manager announces its
// USB/IP daemon with DNS-SD (through Avahi): a service of this type on the
// protocol's port, named after the host, whose TXT record holds the protocol
// version the daemon speaks (the 0x0111 of every request and reply header)
// and the number of shared devices: "version=1.1.1", "devices=2".
inline constexpr char AnnouncedServiceType[] = "_usbip._tcp";
inline constexpr quint16 UsbIpPort = 3240;
inline constexpr char AnnouncedVersionKey[] = "version";
inline constexpr char AnnouncedProtocolVersion[] = "1.1.1";
inline constexpr char AnnouncedDevicesKey[] = "devices";

// The bus error of a call that needs a kernel module (usbip-host, vhci-hcd)
// which cannot be loaded; its message names the module and the reason:
// "the kernel module vhci-hcd is not available: ...".
inline constexpr char ModuleUnavailableError[] = "org.ovra.admin.usbip.Error.ModuleUnavailable";

// The bus error of a SetShareAccess that was authorised but could not be put
// in force (the packet filter refused the rules, or the access list cannot be
// written); who may attach stays as it was, and the message says why.
inline constexpr char AccessNotAppliedError[] = "org.ovra.admin.usbip.Error.AccessNotApplied";
// The bus error of ShareAccess while the access list cannot be read or is not
// of its form; until it is set again only this machine may attach, and the
// message names the file and the fault.
inline constexpr char AccessListBrokenError[] = "org.ovra.admin.usbip.Error.AccessListBroken";
// SetShareAccess takes at most this many hosts.
inline constexpr int MaxAccessHosts = 256;
// Who may attach: the Manager's table in the kernel's packet filter (family
// inet); the setting's file is Platform::shareAccessPath().
inline constexpr char AccessTable[] = "ovra_admin_usbip";

} // namespace OvraUsbIp
