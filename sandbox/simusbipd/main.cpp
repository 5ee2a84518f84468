// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The USB/IP daemons of the sandbox's remote hosts. For every host of the
// world (OVRA_SIM_STATE) that is an IPv4 address, not this machine and not
// marked "real" (a test peer serves those), it listens on the address's port
// 3240 and answers the device-list request with what the world says the host
// exports at that moment: after the host's "delayMs", or never when it
// "hang"s. The listings themselves come from the simulated tool; this is what
// the network scan's probe finds. It serves the hosts of the world as it was
// at start and prints one line when it listens.
//
//   ovra-sandbox-usbipd

#include "simworld.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

constexpr quint16 Port = 3240;
constexpr quint16 Version = 0x0111;
constexpr quint16 RequestDeviceList = 0x8005;
constexpr quint16 ReplyDeviceList = 0x0005;

SimUsbIp::World readWorld()
{
    SimUsbIp::World world;
    QFile file(QString::fromLocal8Bit(qgetenv("OVRA_SIM_STATE")));
    QString error;
    if (!file.open(QIODevice::ReadOnly) || !world.fromJson(file.readAll(), &error))
        std::fprintf(stderr, "ovra-sandbox-usbipd: cannot read the world %s %s\n",
                     qPrintable(file.fileName()), qPrintable(error));
    return world;
}

void writeFixed(QDataStream &out, const QByteArray &text, int size)
{
    QByteArray field = text.left(size - 1);
    field.append(QByteArray(size - field.size(), '\0'));
    out.writeRawData(field.constData(), field.size());
}

// The class, subclass and protocol of a class text ending in "(cc/ss/pp)".
void writeClass(QDataStream &out, const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("[(]([0-9a-fA-F]{2})/([0-9a-fA-F]{2})/([0-9a-fA-F]{2})[)]$"));
    const QRegularExpressionMatch match = pattern.match(text);
    for (int i = 1; i <= 3; ++i)
        out << quint8(match.captured(i).toUInt(nullptr, 16));
}

QByteArray deviceList(const QList<SimUsbIp::Device> &devices)
{
    QByteArray reply;
    QDataStream out(&reply, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out << Version << ReplyDeviceList << quint32(0) << quint32(devices.size());
    for (const SimUsbIp::Device &device : devices) {
        writeFixed(out, device.path.toLatin1(), 256);
        writeFixed(out, device.busid.toLatin1(), 32);
        out << quint32(device.busnum) << quint32(device.devnum) << quint32(device.speed)
            << quint16(device.vendorId.toUInt(nullptr, 16))
            << quint16(device.productId.toUInt(nullptr, 16)) << quint16(0x0100);
        writeClass(out, device.deviceClass);
        out << quint8(1) << quint8(1) << quint8(device.interfaces.size());
        for (const QString &interface : device.interfaces) {
            writeClass(out, interface);
            out << quint8(0);
        }
    }
    return reply;
}

void answer(QTcpSocket *socket, const QString &address)
{
    if (socket->bytesAvailable() < 8)
        return;
    QDataStream in(socket->read(8));
    in.setByteOrder(QDataStream::BigEndian);
    quint16 version = 0;
    quint16 code = 0;
    quint32 status = 0;
    in >> version >> code >> status;
    const SimUsbIp::World world = readWorld();
    const auto host = world.hosts.constFind(address);
    if (version != Version || code != RequestDeviceList || host == world.hosts.constEnd()) {
        socket->abort();
        return;
    }
    if (host->hang)
        return; // keeps the connection open and never answers
    const QByteArray reply = deviceList(host->devices);
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(host->delayMs, socket, [guarded, reply]() {
        if (!guarded)
            return;
        guarded->write(reply);
        guarded->disconnectFromHost();
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const SimUsbIp::World world = readWorld();
    QStringList listening;
    for (auto it = world.hosts.constBegin(); it != world.hosts.constEnd(); ++it) {
        const QHostAddress address(it.key());
        if (it->real || SimUsbIp::World::isLocalHost(it.key())
            || address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        auto *server = new QTcpServer(&app);
        if (!server->listen(address, Port)) {
            std::fprintf(stderr, "ovra-sandbox-usbipd: cannot listen on %s:%u: %s\n",
                         qPrintable(it.key()), Port, qPrintable(server->errorString()));
            continue;
        }
        const QString host = it.key();
        QObject::connect(server, &QTcpServer::newConnection, server, [server, host]() {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [socket, host]() { answer(socket, host); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        listening << host;
    }
    std::printf("listening on %s\n", qPrintable(listening.join(QLatin1Char(' '))));
    std::fflush(stdout);
    return app.exec();
}
