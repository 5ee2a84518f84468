// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

class QTcpServer;
class QTcpSocket;

// A small USB/IP server: it answers the device-list request (OP_REQ_DEVLIST,
// version 0x0111, code 0x8005 -> reply code 0x0005) on one loopback address,
// by default on the protocol's port 3240, with a configurable list of
// devices. It runs in a thread of its own, so it keeps answering while the
// test's thread blocks on a `usbip` child process. The test suites use it as
// a remote host, the sandbox's daemons for the hosts of the simulated world.
//
//     UsbIpPeer peer;
//     peer.setDevices({UsbIpPeer::storageDevice("1-1", 0x0781, 0x5567)});
//     if (!peer.listen(QStringLiteral("127.0.0.5")))
//         QSKIP(qPrintable(peer.errorString()));
//
// In Hang mode it accepts connections and never answers (the `usbip` client
// then waits forever); in Fail mode it answers with a reply of status 1 and
// no list, as a server that cannot list its devices; in Drop mode it closes
// the connection without a word. Every setter may be called at any time from
// any thread.
class UsbIpPeer : public QObject
{
    Q_OBJECT
public:
    enum Mode { Answer, Hang, Fail, Drop };

    struct Interface
    {
        quint8 interfaceClass = 0x08; // mass storage
        quint8 interfaceSubClass = 0x06; // SCSI
        quint8 interfaceProtocol = 0x50; // bulk-only
    };

    struct Device
    {
        QString busid = QStringLiteral("1-1");
        QString path; // empty: /sys/devices/pci0000:00/0000:00:14.0/usb1/<busid>
        quint32 busnum = 1;
        quint32 devnum = 2;
        quint32 speed = 3; // high speed
        quint16 idVendor = 0;
        quint16 idProduct = 0;
        quint16 bcdDevice = 0x0100;
        quint8 deviceClass = 0;
        quint8 deviceSubClass = 0;
        quint8 deviceProtocol = 0;
        quint8 configurationValue = 1;
        quint8 numConfigurations = 1;
        QList<Interface> interfaces{Interface()};
    };

    // What the peer does with one request.
    struct Reply
    {
        Mode mode = Answer;
        QList<Device> devices;
        int delayMs = 0; // before the answer
    };
    // Asked in the peer's thread at each request, for owners whose answer
    // lives elsewhere (a world file); without one the peer answers as
    // setMode() and setDevices() say, at once.
    using Source = std::function<Reply()>;

    // A mass-storage device with one bulk-only interface.
    static Device storageDevice(const QString &busid, quint16 idVendor, quint16 idProduct);

    explicit UsbIpPeer(QObject *parent = nullptr);
    ~UsbIpPeer() override;

    // Starts listening (in the peer's thread); false with errorString() when
    // the address cannot be bound.
    bool listen(const QString &address, quint16 port = 3240);
    void close();
    bool isListening() const;
    QString address() const { return m_address; }
    QString errorString() const;

    void setMode(Mode mode) { m_mode = mode; }
    Mode mode() const { return m_mode; }
    void setDevices(const QList<Device> &devices);
    QList<Device> devices() const;
    void setSource(const Source &source);

    // Connections accepted and device-list requests answered so far.
    int connectionCount() const { return m_connections; }
    int requestCount() const { return m_requests; }

    // The encoded reply to a device-list request for `devices`.
    static QByteArray encodeDeviceList(const QList<Device> &devices);

private:
    void onNewConnection();
    void onRequest(QTcpSocket *socket);
    Reply reply() const;

    QThread m_thread;
    QObject *m_context = nullptr; // lives in m_thread
    QTcpServer *m_server = nullptr; // lives in m_thread
    QString m_address;
    QString m_error;
    mutable QMutex m_mutex;
    QList<Device> m_devices;
    Source m_source;
    std::atomic<Mode> m_mode{Answer};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_requests{0};
};

Q_DECLARE_METATYPE(UsbIpPeer::Device)
