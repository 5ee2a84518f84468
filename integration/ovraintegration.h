// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

class QSettings;
class QWidget;

// Per-application desktop set-up: application name and version, the
// organisation "ovra" (which scopes the user settings), the desktop file
// name, and the translators of Qt and of the program for the system locale.
// Call once, right after the application object exists.
void ovraInit(const char *version, const char *name);

// Shows the program's help page in a non-modal help window; the same window
// is reused by later calls. `topic` names an anchor of the page; an empty
// topic shows the page from its top.
void ovraHelpShow(const QString &topic);

// Stores the geometry of `widget` in `settings` (key "geometry" of the
// settings' current group). With `withState`, a QMainWindow's tool bar and
// dock state is stored too (key "windowState").
void ovraSaveGeometry(QWidget *widget, QSettings &settings, bool withState);

// Restores what ovraSaveGeometry stored. When nothing usable is stored, the
// widget takes `defaultRect`, or keeps its own geometry when `defaultRect` is
// null. A window placed outside every screen is moved back onto the available
// area of the nearest screen and shrunk to fit it.
void ovraRestoreGeometry(QWidget *widget, QSettings &settings, const QRect &defaultRect,
                         bool withState);

namespace Ovra {

// Folders searched for the program's data (help, translations), most
// specific first: the extra folder, the installed data folder, the folders
// around the executable and the source and build trees. Only existing
// folders are listed.
QStringList dataDirectories();
// A folder searched before all others (the sandbox's and the tests' data);
// set it before ovraInit, which loads the translations.
void setExtraDataDirectory(const QString &dir);

// The help page that ovraHelpShow shows: the first data folder holding
// help/index.html, or the copy compiled into the program.
QString helpPagePath();

// The help window of ovraHelpShow, or nullptr before the first call.
QWidget *helpWindow();

// Moves and shrinks `widget` so that it lies on the available area of the
// screen it overlaps most (or the primary screen). Returns true when it moved.
bool ensureOnScreen(QWidget *widget);

} // namespace Ovra
