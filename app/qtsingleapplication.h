// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QApplication>
#include <QLockFile>
#include <QPointer>

class QLocalServer;

// A QApplication that knows whether another instance of the same program
// already runs for the same user, and lets a later instance send the running
// one a text message.
//
// The first instance takes a lock file and listens on a local socket, both
// named after the application identifier, in the user's runtime folder.
// Taking the lock is atomic, so of two instances started at the same moment
// exactly one becomes the running instance. The lock of an instance that
// crashed is recognised as stale (its process is gone, or the file is
// unreadable and nobody holds it) and taken over.
class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    // `appId` empty: the identifier is derived from the application's file
    // path, so every copy of the program has its own.
    QtSingleApplication(int &argc, char **argv, bool GUIenabled = true,
                        const QString &appId = QString());
    ~QtSingleApplication() override;

    // True when another instance held the lock when this one was created.
    bool isRunning() const { return m_running; }
    QString id() const { return m_id; }

    // Sends `message` to the running instance; false when there is none, it
    // cannot be reached, or it did not acknowledge within `timeout` ms.
    bool sendMessage(const QString &message, int timeout = 5000);

    void setActivationWindow(QWidget *window, bool activateOnMessage = true);
    QWidget *activationWindow() const { return m_activationWindow; }

    // The folder holding the lock file and the socket.
    static QString runtimeDirectory();
    // The default identifier for an application file path.
    static QString defaultId(const QString &applicationFilePath);

public Q_SLOTS:
    // Shows, raises and activates the activation window; nothing without one.
    void activateWindow();

Q_SIGNALS:
    void messageReceived(const QString &message);

private:
    bool removeAbandonedLock(QLockFile::LockError error) const;
    void startServer();
    void readMessages();

    QString m_id;
    QString m_socketName;
    QString m_lockFileName;
    QLockFile *m_lock = nullptr;
    QLocalServer *m_server = nullptr;
    QPointer<QWidget> m_activationWindow;
    bool m_activateOnMessage = false;
    bool m_running = false;
};
