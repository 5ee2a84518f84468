// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "ovraadminusbipinterface.h"
#include "usbdevice.h"
#include "usbipprocess.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <atomic>

// The remote side: lists what one host exports, reads the attached ports
// from the Manager service, attaches and detaches, and scans a network.
// The object lives in the worker thread (for the scan); update, ports,
// connectDevice and disconnectDevice are called directly from the GUI thread.
class UsbIpClient : public QObject
{
    Q_OBJECT
public:
    explicit UsbIpClient(const QString &host, QObject *parent = nullptr);
    ~UsbIpClient() override;

    void setHost(const QString &host);
    void setKernelVersion(int version);

    bool update();
    // A copy of the device list; safe to call while a scan runs.
    QList<UsbDevice> devices() const;
    QStringList portsInfo();
    QHash<QString, QString> ports();

    bool connectDevice(const QString &usbipId, bool isConst);
    bool disconnectDevice(const QStringList &keys, const QString &port);

    // Ends the running scan, and one asked for before this call that has not
    // started yet, within milliseconds; the device list stays as it was.
    void stopScan();

    // The remote list text to records with `host` as their host; on kernels
    // above OwnDevicesOnlyUpToKernel the devices attached here follow (one
    // Manager call).
    QList<UsbDevice> parseRemoteList(const QString &text, const QString &host);

Q_SIGNALS:
    void updated();
    void attached(const QString &usbipId);
    void detached(const QString &port);
    void scanNetworkProgress(int value);
    void error(const QString &error, const QString &detailed = QString());

public Q_SLOTS:
    void scanNetwork(const QString &subnet, int count, int timeout = -1);

private:
    friend class TestUsbIpClient;

    // Up to this kernel major version a listing holds the host's own devices
    // only; it is also the version assumed until the window names one.
    static constexpr int OwnDevicesOnlyUpToKernel = 4;

    // The remote list text to the records of that host only (no port records).
    QList<UsbDevice> parseRemoteBlocks(const QString &text, const QString &host);
    QList<UsbDevice> attachedDevices();
    void setDevices(const QList<UsbDevice> &devices);
    // Reports a failed Manager call as `error` under this headline.
    OvraAdminUsbIpInterface::ErrorReport reportAs(const QString &headline);

    UsbIpProcess m_process;
    QString m_host;
    QList<UsbDevice> m_devices;
    mutable QMutex m_devicesMutex;
    OvraAdminUsbIpInterface m_manager;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_kernelVersion{OwnDevicesOnlyUpToKernel};
};
