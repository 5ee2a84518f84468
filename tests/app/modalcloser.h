// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

// Closes the modal message boxes and pop-up menus that the code under test
// opens (their exec() would block the test), and records what they showed.

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

class ModalCloser
{
public:
    struct Box
    {
        QString title;
        QString text;
        QString detailedText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool hasParent = false;
        bool modal = false;
        Qt::CursorShape cursor = Qt::ArrowCursor;
        bool overrideCursor = false;
        bool mainWindowShown = false; // a main window was on the screen with it
    };

    ModalCloser()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this]() {
            poll();
        });
        m_timer.start();
    }

    QList<Box> boxes;
    QList<QStringList> menus; // object names of each menu's actions
    // Set to make the next menu trigger the action of this object name.
    QString actionToTrigger;

private:
    void poll()
    {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            QStringList names;
            QAction *chosen = nullptr;
            const QList<QAction *> actions = menu->actions();
            for (QAction *action : actions) {
                names << action->objectName();
                if (!actionToTrigger.isEmpty() && action->objectName() == actionToTrigger)
                    chosen = action;
            }
            menus << names;
            actionToTrigger.clear();
            if (chosen)
                menu->setActiveAction(chosen);
            // Closing the menu with an active action: exec() returns it, but the
            // action is triggered only by a key press, so trigger it here.
            menu->close();
            if (chosen)
                chosen->trigger();
            return;
        }
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            Box seen;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.detailedText = box->detailedText();
            seen.icon = box->icon();
            seen.hasParent = box->parentWidget() != nullptr;
            seen.modal = box->isModal();
            const QWidgetList windows = QApplication::topLevelWidgets();
            for (QWidget *window : windows)
                seen.mainWindowShown = seen.mainWindowShown
                                    || (window->inherits("QMainWindow") && window->isVisible());
            if (const QCursor *cursor = QApplication::overrideCursor()) {
                seen.overrideCursor = true;
                seen.cursor = cursor->shape();
            }
            boxes << seen;
            box->done(0);
        }
    }

    QTimer m_timer;
};
