// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QObject>
#include <QString>

class HostBrowser;
class QAction;
class QLineEdit;
class QMenu;

// The hosts that announce shared devices, offered from the host field: an
// arrow at the field's end, there while at least one host announces, opens
// a menu of them ("name (address)"), as Alt+Down in the field does. The menu
// follows the announcements while it is open. Choosing a host tells what the
// field is to hold: its address (or its name, when it has none).
class HostOffer : public QObject
{
    Q_OBJECT
public:
    HostOffer(const HostBrowser *browser, QLineEdit *field);

Q_SIGNALS:
    void chosen(const QString &host);

private:
    void update();
    void popup();

    const HostBrowser *m_browser;
    QLineEdit *m_field;
    QAction *m_action;
    QMenu *m_menu;
};
