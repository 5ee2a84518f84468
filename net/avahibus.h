// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QDBusMessage>
#include <QString>
#include <QVariantList>

// Avahi's interface on the system bus, as the Manager announces through it,
// the window browses through it and the tests' stand-in serves it: the names
// of avahi-daemon's introspection files (org.freedesktop.Avahi.*.xml) and
// the values of its enums (avahi-common/defs.h).
namespace AvahiBus {

inline constexpr char Service[] = "org.freedesktop.Avahi";
inline constexpr char ServerPath[] = "/";
inline constexpr char ServerInterface[] = "org.freedesktop.Avahi.Server";
inline constexpr char Server2Interface[] = "org.freedesktop.Avahi.Server2";
inline constexpr char GroupInterface[] = "org.freedesktop.Avahi.EntryGroup";
inline constexpr char BrowserInterface[] = "org.freedesktop.Avahi.ServiceBrowser";
// Avahi's errors are named below this prefix ("...CollisionError").
inline constexpr char ErrorPrefix[] = "org.freedesktop.Avahi.";
inline constexpr char CollisionError[] = "org.freedesktop.Avahi.CollisionError";

// AvahiServerState
inline constexpr int ServerRunning = 2;
// AvahiEntryGroupState
inline constexpr int GroupEstablished = 2;
inline constexpr int GroupCollision = 3;
inline constexpr int GroupFailure = 4;
// AvahiIfIndex and AvahiProtocol: any
inline constexpr int AnyInterface = -1;
inline constexpr int AnyProtocol = -1;

// A call of Avahi's that does not start it: a stopped Avahi stays stopped,
// where bus activation would start it.
inline QDBusMessage methodCall(const QString &interface, const QString &path, const QString &method,
                               const QVariantList &arguments)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(QLatin1String(Service), path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    return message;
}

} // namespace AvahiBus
