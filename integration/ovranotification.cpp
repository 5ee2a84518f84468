// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovranotification.h"

#include <KNotification>

namespace {

// The notifyrc's name, as the desktop file's.
const char componentName[] = "ovra-admin-usbip";

} // namespace

void ovraNotify(const QString &eventId, const QString &title, const QString &text)
{
    // The notification deletes itself once it is closed or cannot be shown;
    // its icon is the notifyrc's.
    KNotification::event(eventId, title, text, QString(), nullptr, KNotification::CloseOnTimeout,
                         QString::fromLatin1(componentName));
}
