// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakemanager.h"

#include "../../manager/ovrausbipmanager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMutexLocker>

const QString FakeManager::DefaultPortsInfo =
    QStringLiteral("Imported USB devices\n====================\n");

namespace {

const QStringList &knownMethods()
{
    static const QStringList methods{QStringLiteral("ShareDevice"),
                                     QStringLiteral("UnshareDevice"),
                                     QStringLiteral("ConnectDevice"),
                                     QStringLiteral("DisconnectDevice"),
                                     QStringLiteral("PortsInfo"),
                                     QStringLiteral("ShareAccess"),
                                     QStringLiteral("SetShareAccess")};
    return methods;
}

} // namespace

// The object on the bus; runs in the fake's thread.
class FakeManagerObject : public QDBusVirtualObject
{
public:
    explicit FakeManagerObject(FakeManager *owner)
        : m_owner(owner)
    {
    }

    QString introspect(const QString &path) const override
    {
        Q_UNUSED(path)
        return QStringLiteral(
            "  <interface name=\"org.ovra.admin.usbip.Manager\">\n"
            "    <signal name=\"Error\"><arg name=\"error\" type=\"s\"/>"
            "<arg name=\"message\" type=\"s\"/></signal>\n"
            "    <signal name=\"ConnectionChanged\"><arg name=\"deviceId\" type=\"s\"/>"
            "<arg name=\"attached\" type=\"b\"/></signal>\n"
            "    <method name=\"ShareDevice\"><arg name=\"busid\" type=\"s\" direction=\"in\"/>"
            "<arg name=\"vidpid\" type=\"s\" direction=\"in\"/>"
            "<arg type=\"b\" direction=\"out\"/></method>\n"
            "    <method name=\"UnshareDevice\"><arg name=\"busid\" type=\"s\" direction=\"in\"/>"
            "<arg name=\"vidpid\" type=\"s\" direction=\"in\"/>"
            "<arg type=\"b\" direction=\"out\"/></method>\n"
            "    <method name=\"ConnectDevice\"><arg name=\"usbipId\" type=\"s\" direction=\"in\"/>"
            "<arg name=\"isConst\" type=\"b\" direction=\"in\"/>"
            "<arg type=\"b\" direction=\"out\"/></method>\n"
            "    <method name=\"DisconnectDevice\"><arg name=\"usbipId\" type=\"s\" "
            "direction=\"in\"/><arg name=\"port\" type=\"s\" direction=\"in\"/>"
            "<arg type=\"b\" direction=\"out\"/></method>\n"
            "    <method name=\"PortsInfo\"><arg type=\"s\" direction=\"out\"/></method>\n"
            "    <method name=\"ShareAccess\"><arg name=\"restricted\" type=\"b\" "
            "direction=\"out\"/><arg name=\"hosts\" type=\"as\" direction=\"out\"/></method>\n"
            "    <method name=\"SetShareAccess\"><arg name=\"restricted\" type=\"b\" "
            "direction=\"in\"/><arg name=\"hosts\" type=\"as\" direction=\"in\"/>"
            "<arg type=\"b\" direction=\"out\"/></method>\n"
            "  </interface>\n");
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage
            || message.interface() != QLatin1String(OvraUsbIp::ManagerInterface))
            return false;
        if (!knownMethods().contains(message.member())) {
            connection.send(message.createErrorReply(QDBusError::UnknownMethod,
                                                     QStringLiteral("No such method")));
            return true;
        }
        const FakeManager::Call call{message.member(), message.arguments()};
        const FakeManager::Reply reply = m_owner->replyFor(call);
        switch (reply.kind) {
        case FakeManager::Reply::Value:
            connection.send(reply.value.userType() == QMetaType::QVariantList
                                ? message.createReply(reply.value.toList())
                                : message.createReply(reply.value));
            break;
        case FakeManager::Reply::Error:
            connection.send(message.createErrorReply(reply.errorName, reply.errorMessage));
            break;
        case FakeManager::Reply::NoReply:
            break;
        }
        return true;
    }

private:
    FakeManager *m_owner;
};

FakeManager::Reply FakeManager::reply(const QVariant &value)
{
    Reply r;
    r.value = value;
    return r;
}

FakeManager::Reply FakeManager::error(const QString &name, const QString &message)
{
    Reply r;
    r.kind = Reply::Error;
    r.errorName = name;
    r.errorMessage = message.isEmpty() ? QStringLiteral("refused by the fake Manager") : message;
    return r;
}

FakeManager::Reply FakeManager::noReply()
{
    Reply r;
    r.kind = Reply::NoReply;
    return r;
}

FakeManager::FakeManager(QObject *parent)
    : QObject(parent)
    , m_server(QString::fromLatin1(OvraUsbIp::ManagerService), QStringLiteral("fake-manager"))
{
}

FakeManager::~FakeManager() = default;

bool FakeManager::start()
{
    return m_server.start(new FakeManagerObject(this),
                          {QString::fromLatin1(OvraUsbIp::ManagerPath)});
}

void FakeManager::stop()
{
    m_server.stop();
}

bool FakeManager::isRunning() const
{
    return m_server.isRunning();
}

void FakeManager::setReply(const QString &method, const Reply &reply)
{
    QMutexLocker locker(&m_mutex);
    m_replies.insert(method, reply);
}

void FakeManager::setHandler(const Handler &handler)
{
    QMutexLocker locker(&m_mutex);
    m_handler = handler;
}

void FakeManager::resetReplies()
{
    QMutexLocker locker(&m_mutex);
    m_replies.clear();
    m_handler = nullptr;
}

QList<FakeManager::Call> FakeManager::calls() const
{
    QMutexLocker locker(&m_mutex);
    return m_calls;
}

void FakeManager::clearCalls()
{
    QMutexLocker locker(&m_mutex);
    m_calls.clear();
}

bool FakeManager::emitError(const QString &error, const QString &message)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(QString::fromLatin1(OvraUsbIp::ManagerPath),
                                   QString::fromLatin1(OvraUsbIp::ManagerInterface),
                                   QStringLiteral("Error"));
    signal << error << message;
    return m_server.connection().send(signal);
}

bool FakeManager::emitConnectionChanged(const QString &deviceId, bool attached)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(QString::fromLatin1(OvraUsbIp::ManagerPath),
                                   QString::fromLatin1(OvraUsbIp::ManagerInterface),
                                   QString::fromLatin1(OvraUsbIp::ConnectionChangedSignal));
    signal << deviceId << attached;
    return m_server.connection().send(signal);
}

FakeManager::Reply FakeManager::replyFor(const Call &call)
{
    Handler handler;
    {
        QMutexLocker locker(&m_mutex);
        m_calls.append(call);
        handler = m_handler;
    }
    Reply answer;
    if (handler && handler(call, &answer))
        return answer;
    QMutexLocker locker(&m_mutex);
    const auto found = m_replies.constFind(call.method);
    if (found != m_replies.constEnd())
        return found.value();
    if (call.method == QLatin1String("PortsInfo"))
        return reply(DefaultPortsInfo);
    if (call.method == QLatin1String("ShareAccess"))
        return reply(QVariantList{false, QStringList()});
    return reply(true);
}
