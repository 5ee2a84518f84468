// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovrawait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QList>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <utility>

namespace {

// Drops the user's input to every window of the program while a call waits.
// Dropped rather than delayed: a click queued behind a busy window would
// start a request the user no longer sees coming.
class InputHold : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
            return true;
        case QEvent::Close:
            // The window manager's close button: the window stays until the
            // call is over. A close the program asks for itself goes through.
            if (event->spontaneous()) {
                event->ignore();
                return true;
            }
            return false;
        default:
            return QObject::eventFilter(watched, event);
        }
    }
};

struct Held
{
    QPointer<QObject> context;
    std::function<void()> work;
};

// Touched on the GUI thread only.
struct State
{
    int depth = 0;
    bool flushPosted = false;
    bool flushing = false;
    QList<Held> held;
    std::function<void(bool)> busy;
    InputHold *inputHold = nullptr;
};

State &state()
{
    static State instance;
    return instance;
}

void flush();

void scheduleFlush()
{
    State &s = state();
    if (s.flushPosted || s.held.isEmpty())
        return;
    s.flushPosted = true;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &flush, Qt::QueuedConnection);
}

// Runs the held work once no wait is in progress; a wait that starts meanwhile
// leaves the rest for the flush posted when it ends. Work that runs an event
// loop of its own (an error box) keeps the rest behind it: a flush that
// arrives inside that loop leaves them to the one already running.
void flush()
{
    State &s = state();
    s.flushPosted = false;
    if (s.flushing)
        return;
    s.flushing = true;
    while (s.depth == 0 && !s.held.isEmpty()) {
        const Held item = s.held.takeFirst();
        if (item.context)
            item.work();
    }
    s.flushing = false;
}

// One wait of the GUI thread; the outermost one holds the input back.
class WaitScope
{
public:
    WaitScope()
    {
        State &s = state();
        if (s.depth++ == 0) {
            s.inputHold = new InputHold;
            QCoreApplication::instance()->installEventFilter(s.inputHold);
            if (s.busy)
                s.busy(true);
        }
    }
    ~WaitScope()
    {
        State &s = state();
        if (--s.depth == 0) {
            delete s.inputHold; // also removes the filter
            s.inputHold = nullptr;
            if (s.busy)
                s.busy(false);
            scheduleFlush();
        }
    }
    WaitScope(const WaitScope &) = delete;
    WaitScope &operator=(const WaitScope &) = delete;
};

} // namespace

bool OvraWait::isAvailable()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread() && app->inherits("QGuiApplication");
}

bool OvraWait::until(const std::function<bool()> &done, int timeoutMs)
{
    if (done() || !isAvailable())
        return done();
    const WaitScope scope;
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                : QDeadlineTimer(timeoutMs));
    // Only its timer event matters: it wakes the loop below at the limit. It
    // is set again for what is left whenever it has fired too early.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (timeoutMs >= 0 && !wake.isActive())
            wake.start(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void OvraWait::pause(int ms)
{
    if (isAvailable())
        until(
            []() {
                return false;
            },
            ms);
    else
        QThread::msleep(static_cast<unsigned long>(ms));
}

void OvraWait::whenIdle(QObject *context, const std::function<void()> &work)
{
    if (!isAvailable()) {
        work();
        return;
    }
    // Work held earlier runs first, also when its flush is still to come.
    State &s = state();
    if (s.depth == 0 && !s.flushing && s.held.isEmpty()) {
        work();
        return;
    }
    s.held.append(Held{context, work});
    if (s.depth == 0)
        scheduleFlush();
}

void OvraWait::setBusyIndicator(const std::function<void(bool busy)> &indicator)
{
    state().busy = indicator;
}
