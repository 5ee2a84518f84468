// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QObject>

#include <functional>

// Waiting for a blocking call (a Manager call, a run of a tool) on the GUI
// thread without freezing the window. The caller still gets its answer as a
// return value, but while it waits the window keeps painting and answering
// the window manager; user input to the program's windows is dropped (no
// second click or key can start another request), the busy indicator is on,
// and work that must not run in the middle of a call (drive notifications,
// the lost-connection check, queued scan results, error boxes) is held with
// whenIdle and runs, in order, once control is back in an idle event loop.
//
// On any other thread, or without a GUI application, nothing of this
// applies: until() returns at once and the caller blocks as it always did.
namespace OvraWait {

// True on the thread of a running GUI application.
bool isAvailable();

// Processes events until `done` holds or `timeoutMs` (-1: no limit) has
// passed; returns whether `done` holds. Whatever `done` waits for must post
// an event to this thread when it happens (a finished process, a
// QDBusPendingCallWatcher, ...), else it is seen at the limit only.
bool until(const std::function<bool()> &done, int timeoutMs);

// A pause of the GUI thread that keeps the window alive.
void pause(int ms);

// Runs `work` now, or, during a wait or while work held earlier has not run
// yet, after it, in order of arrival, while `context` still exists.
void whenIdle(QObject *context, const std::function<void()> &work);

// Called with true when the outermost wait starts and false when it ends
// (the window sets its busy cursor). Empty: nothing is shown.
void setBusyIndicator(const std::function<void(bool busy)> &indicator);

} // namespace OvraWait
