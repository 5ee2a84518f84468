// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "hostoffer.h"

#include "hostbrowser.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QShortcut>
#include <QStyle>

HostOffer::HostOffer(const HostBrowser *browser, QLineEdit *field)
    : QObject(field)
    , m_browser(browser)
    , m_field(field)
    , m_action(new QAction(this))
    , m_menu(new QMenu(field))
{
    m_action->setObjectName(QStringLiteral("m_announcedHostsAction"));
    m_action->setIcon(QIcon::fromTheme(QStringLiteral("go-down"),
                                       field->style()->standardIcon(QStyle::SP_ArrowDown)));
    m_action->setToolTip(tr("Hosts that share devices"));
    m_menu->setObjectName(QStringLiteral("m_announcedHostsMenu"));
    field->addAction(m_action, QLineEdit::TrailingPosition);
    connect(m_action, &QAction::triggered, this, &HostOffer::popup);
    auto *shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Down), field);
    shortcut->setContext(Qt::WidgetShortcut);
    connect(shortcut, &QShortcut::activated, this, &HostOffer::popup);
    connect(browser, &HostBrowser::hostsChanged, this, &HostOffer::update);
    update();
}

void HostOffer::update()
{
    m_menu->clear();
    const QList<AnnouncedHost> hosts = m_browser->hosts();
    for (const AnnouncedHost &host : hosts) {
        // "&" would make a mnemonic of the next letter.
        QAction *item =
            m_menu->addAction(QString(host.label()).replace(QLatin1Char('&'), QLatin1String("&&")));
        const QString target = host.host();
        connect(item, &QAction::triggered, this, [this, target]() {
            Q_EMIT chosen(target);
        });
    }
    m_action->setVisible(!hosts.isEmpty());
    if (hosts.isEmpty())
        m_menu->hide();
}

void HostOffer::popup()
{
    if (m_menu->isEmpty())
        return;
    m_menu->setMinimumWidth(m_field->width());
    m_menu->popup(m_field->mapToGlobal(QPoint(0, m_field->height())));
}
