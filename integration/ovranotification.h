// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

// Shows a desktop notification (org.freedesktop.Notifications on the session
// bus, through KNotifications) of the event `eventId`, one of the events of
// the program's notifyrc (share/knotifications5/ovra-admin-usbip.notifyrc),
// which also says how each is shown and which the user may change. Returns
// at once: the notification goes out asynchronously, and without a session
// bus, a notification server or the notifyrc nothing is shown and nothing
// fails.
void ovraNotify(const QString &eventId, const QString &title, const QString &text);
