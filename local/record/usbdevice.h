// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbipgrammar.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One USB device, local or remote: a plain value record, filled from the
// fields the tool's output grammars (usbipgrammar.h) read, with the keys
// that name a remote device across host names and addresses.
class UsbDevice
{
public:
    // Key forms: the device id (the host as listed, name or address), the
    // address key and the host-name key (the reverse look-up's name when it
    // leads back to the address, else the address).
    enum KeyForm { DeviceId = 0, AddressKey = 1, HostNameKey = 2 };

    UsbDevice() = default;

    // One block of `usbip list -l` (starting with "busid ").
    static UsbDevice fromLocalBlock(const QString &block);
    // One device block of `usbip list -r HOST`; the keys are filled: the
    // host-name key, the address key, then the device id unless it is one
    // of them.
    static UsbDevice fromRemoteBlock(const QString &block, const QString &host);
    // One port block of the port text (what follows "Port "); the keys are
    // filled; the host is the one the port shows (as the tool was given it).
    static UsbDevice fromPortBlock(const QString &block);

    QString busid() const { return m_busid; }
    QString name() const { return m_name; }
    QString vendorId() const { return m_vendorId; }
    QString productId() const { return m_productId; }
    QString host() const { return m_host; }
    QStringList keys() const { return m_keys; }

    // "vvvv:pppp"; empty when both ids are empty.
    QString vidPid() const;
    // Bus id and name both non-empty.
    bool isValid() const;
    // "%1/%2/%3": host text of the form, bus id, vid:pid; empty for an
    // unknown form.
    QString key(int form) const;

    bool operator==(const UsbDevice &other) const;
    bool operator!=(const UsbDevice &other) const { return !(*this == other); }

private:
    UsbDevice(const QString &busid, const QString &name, const QString &vendorId,
              const QString &productId, const QString &host);
    void fillKeys();

    QString m_busid;
    QString m_name;
    QString m_vendorId;
    QString m_productId;
    QString m_host;
    QStringList m_keys;
};

Q_DECLARE_METATYPE(UsbDevice)

// The whole output of `usbip list -l` to one record per block, valid or not.
QList<UsbDevice> parseLocalList(const QString &text);

// One attached port: its key ("host/busid/vid:pid" as the port shows them)
// and its number, as text ("00" stays "00").
struct PortInfo
{
    QString key;
    QString port;

    static PortInfo fromPortBlock(const QString &block);
    bool isValid() const { return !key.isEmpty() && !port.isEmpty(); }
};

// The port text of `usbip port` (as the Manager's PortsInfo returns it) to
// its port blocks: the header goes, each block starts after "Port ".
using UsbIpGrammar::splitPortBlocks;

// Every port block to the table port key -> port number (later blocks win).
QHash<QString, QString> portTable(const QStringList &portBlocks);

// The remote list's device blocks (header removed, split at empty lines).
using UsbIpGrammar::splitRemoteBlocks;
