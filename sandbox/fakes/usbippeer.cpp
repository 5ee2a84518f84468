// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbippeer.h"

#include <QDataStream>
#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr quint16 ProtocolVersion = 0x0111;
constexpr quint16 RequestDeviceList = 0x8005;
constexpr quint16 ReplyDeviceList = 0x0005;

void writeFixed(QDataStream &out, const QByteArray &text, int size)
{
    QByteArray field = text.left(size - 1); // keep the terminating NUL
    field.append(QByteArray(size - field.size(), '\0'));
    out.writeRawData(field.constData(), field.size());
}

} // namespace

UsbIpPeer::Device UsbIpPeer::storageDevice(const QString &busid, quint16 idVendor,
                                           quint16 idProduct)
{
    Device device;
    device.busid = busid;
    device.idVendor = idVendor;
    device.idProduct = idProduct;
    return device;
}

UsbIpPeer::UsbIpPeer(QObject *parent)
    : QObject(parent)
{
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("UsbIpPeer"));
    m_thread.start();
}

UsbIpPeer::~UsbIpPeer()
{
    close();
    QObject *context = m_context;
    QMetaObject::invokeMethod(
        context,
        [context] {
            delete context;
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

bool UsbIpPeer::listen(const QString &address, quint16 port)
{
    close();
    bool ok = false;
    QMetaObject::invokeMethod(
        m_context,
        [this, address, port, &ok] {
            m_server = new QTcpServer(m_context);
            connect(m_server, &QTcpServer::newConnection, m_server, [this] {
                onNewConnection();
            });
            ok = m_server->listen(QHostAddress(address), port);
            if (!ok) {
                m_error = QStringLiteral("cannot listen on %1:%2: %3")
                              .arg(address)
                              .arg(port)
                              .arg(m_server->errorString());
                delete m_server;
                m_server = nullptr;
            }
        },
        Qt::BlockingQueuedConnection);
    if (ok)
        m_address = address;
    return ok;
}

void UsbIpPeer::close()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            delete m_server; // closes the server and every accepted socket (its children)
            m_server = nullptr;
        },
        Qt::BlockingQueuedConnection);
}

bool UsbIpPeer::isListening() const
{
    bool listening = false;
    QMetaObject::invokeMethod(
        m_context,
        [this, &listening] {
            listening = m_server && m_server->isListening();
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

QString UsbIpPeer::errorString() const
{
    return m_error;
}

void UsbIpPeer::setDevices(const QList<Device> &devices)
{
    QMutexLocker locker(&m_mutex);
    m_devices = devices;
}

QList<UsbIpPeer::Device> UsbIpPeer::devices() const
{
    QMutexLocker locker(&m_mutex);
    return m_devices;
}

void UsbIpPeer::setSource(const Source &source)
{
    QMutexLocker locker(&m_mutex);
    m_source = source;
}

UsbIpPeer::Reply UsbIpPeer::reply() const
{
    QMutexLocker locker(&m_mutex);
    const Source source = m_source;
    const Reply own{m_mode, m_devices, 0};
    locker.unlock(); // the owner's source may take its time
    return source ? source() : own;
}

QByteArray UsbIpPeer::encodeDeviceList(const QList<Device> &devices)
{
    QByteArray reply;
    QDataStream out(&reply, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out << ProtocolVersion << ReplyDeviceList << quint32(0) << quint32(devices.size());
    for (const Device &device : devices) {
        const QString path = device.path.isEmpty()
                               ? QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb%1/%2")
                                     .arg(device.busnum)
                                     .arg(device.busid)
                               : device.path;
        writeFixed(out, path.toLatin1(), 256);
        writeFixed(out, device.busid.toLatin1(), 32);
        out << device.busnum << device.devnum << device.speed << device.idVendor << device.idProduct
            << device.bcdDevice << device.deviceClass << device.deviceSubClass
            << device.deviceProtocol << device.configurationValue << device.numConfigurations
            << quint8(device.interfaces.size());
        for (const Interface &interface : device.interfaces)
            out << interface.interfaceClass << interface.interfaceSubClass
                << interface.interfaceProtocol << quint8(0);
    }
    return reply;
}

void UsbIpPeer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_connections;
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            onRequest(socket);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void UsbIpPeer::onRequest(QTcpSocket *socket)
{
    if (socket->bytesAvailable() < 8)
        return;
    QDataStream in(socket->read(8));
    in.setByteOrder(QDataStream::BigEndian);
    quint16 version = 0;
    quint16 code = 0;
    quint32 status = 0;
    in >> version >> code >> status;
    if (version != ProtocolVersion || code != RequestDeviceList) {
        socket->abort();
        return;
    }
    const Reply answer = reply();
    QByteArray bytes;
    switch (answer.mode) {
    case Hang:
        return; // answer nothing, keep the connection open
    case Drop:
        socket->abort();
        return;
    case Fail: {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setByteOrder(QDataStream::BigEndian);
        out << ProtocolVersion << ReplyDeviceList << quint32(1);
        break;
    }
    case Answer:
        bytes = encodeDeviceList(answer.devices);
        break;
    }
    ++m_requests;
    // Not at all once the socket is gone (the client gave up).
    QTimer::singleShot(answer.delayMs, socket, [socket, bytes] {
        socket->write(bytes);
        socket->disconnectFromHost();
    });
}
