// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "qtsingleapplication.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// A message is a 32-bit length and that many bytes of UTF-8; the receiver
// answers with one acknowledge byte.
const char ackByte = '\x06';
const quint32 maxMessageSize = 1024 * 1024;
const int readTimeoutMs = 5000;
// How old an unreadable, unlocked lock file must be to count as abandoned.
const int abandonedLockAgeSeconds = 2;

} // namespace

QString QtSingleApplication::runtimeDirectory()
{
    // XDG_RUNTIME_DIR is private to the user; Qt falls back to a private
    // folder below /tmp when it is not set.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

QString QtSingleApplication::defaultId(const QString &applicationFilePath)
{
    // A readable prefix and a hash of the whole path, per user.
    QString name = QFileInfo(applicationFilePath).fileName();
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.-]")), QStringLiteral("_"));
    const QByteArray hash =
        QCryptographicHash::hash(applicationFilePath.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("qtsingleapp-%1-%2-%3")
        .arg(name, QString::fromLatin1(hash.left(16)))
        .arg(::getuid());
}

QtSingleApplication::QtSingleApplication(int &argc, char **argv, bool GUIenabled,
                                         const QString &appId)
    : QApplication(argc, argv, GUIenabled)
{
    m_id = appId.isEmpty() ? defaultId(applicationFilePath()) : appId;
    const QString base = runtimeDirectory() + QLatin1Char('/') + m_id;
    m_socketName = base + QStringLiteral(".socket");

    m_lockFileName = base + QStringLiteral(".lock");
    m_lock = new QLockFile(m_lockFileName);
    // A lock is stale only when its process is gone, never by age: the
    // running instance holds it for as long as it runs.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0) || (removeAbandonedLock(m_lock->error()) && m_lock->tryLock(0))) {
        startServer();
        return;
    }
    // Only a lock held by a live process means another instance; a lock
    // file that cannot be written at all must not keep the program from
    // starting.
    m_running = m_lock->error() == QLockFile::LockFailedError;
}

QtSingleApplication::~QtSingleApplication()
{
    if (m_server) {
        m_server->close();
        delete m_server;
    }
    delete m_lock; // unlocks when held
}

bool QtSingleApplication::removeAbandonedLock(QLockFile::LockError error) const
{
    // QLockFile takes over the lock of a dead process of this machine by
    // itself. A lock file it cannot read (empty, damaged, or naming another
    // host name) it keeps for ever when locks never expire by age. A live
    // holder keeps the file locked with flock() for as long as it runs, so
    // an unlocked file that is older than the few moments between its
    // creation and its locking was left by a dead instance.
    if (error != QLockFile::LockFailedError)
        return false;
    const QByteArray path = QFile::encodeName(m_lockFileName);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool removed = false;
    struct stat opened;
    struct stat named;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0
        && ::stat(path.constData(), &named) == 0 && opened.st_ino == named.st_ino
        && opened.st_dev == named.st_dev
        && ::time(nullptr) - opened.st_mtime >= abandonedLockAgeSeconds) {
        removed = ::unlink(path.constData()) == 0;
    }
    ::close(fd); // releases the flock
    return removed;
}

void QtSingleApplication::startServer()
{
    // Holding the lock makes any socket file left at this name a remnant
    // of a crashed instance.
    QLocalServer::removeServer(m_socketName);
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketName))
        return;
    connect(m_server, &QLocalServer::newConnection, this, &QtSingleApplication::readMessages);
}

void QtSingleApplication::readMessages()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Collect the whole message before handling it; the sender waits.
        struct Pending
        {
            quint32 size = 0;
            bool haveSize = false;
            bool done = false;
            QByteArray data;
        };
        auto pending = std::make_shared<Pending>();
        auto handle = [this, socket, pending]() {
            if (pending->done)
                return;
            if (!pending->haveSize) {
                if (socket->bytesAvailable() < qint64(sizeof(quint32)))
                    return;
                QDataStream in(socket);
                in >> pending->size;
                if (pending->size > maxMessageSize) {
                    socket->abort();
                    return;
                }
                pending->haveSize = true;
            }
            pending->data += socket->read(pending->size - pending->data.size());
            if (quint32(pending->data.size()) < pending->size)
                return;
            pending->done = true;
            socket->write(&ackByte, 1);
            socket->flush();
            socket->disconnectFromServer();
            const QString message = QString::fromUtf8(pending->data);
            Q_EMIT messageReceived(message);
            if (m_activateOnMessage)
                activateWindow();
        };
        connect(socket, &QLocalSocket::readyRead, socket, handle);
        QTimer::singleShot(readTimeoutMs, socket, [socket]() {
            socket->abort();
        });
        if (socket->bytesAvailable() > 0)
            handle();
    }
}

bool QtSingleApplication::sendMessage(const QString &message, int timeout)
{
    if (!m_running)
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_socketName);
    if (!socket.waitForConnected(timeout))
        return false;
    QByteArray packet;
    {
        const QByteArray data = message.toUtf8();
        QDataStream out(&packet, QIODevice::WriteOnly);
        out << quint32(data.size());
    }
    packet += message.toUtf8();
    socket.write(packet);
    if (!socket.waitForBytesWritten(timeout))
        return false;
    if (!socket.waitForReadyRead(timeout))
        return false;
    return socket.read(1) == QByteArray(1, ackByte);
}

void QtSingleApplication::setActivationWindow(QWidget *window, bool activateOnMessage)
{
    m_activationWindow = window;
    m_activateOnMessage = activateOnMessage;
}

void QtSingleApplication::activateWindow()
{
    if (!m_activationWindow)
        return;
    m_activationWindow->setWindowState(m_activationWindow->windowState() & ~Qt::WindowMinimized);
    m_activationWindow->show();
    m_activationWindow->raise();
    m_activationWindow->activateWindow();
}
