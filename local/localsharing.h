// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "ovraadminusbipinterface.h"
#include "platform.h"
#include "usbdevice.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QStringList>

// One row of the local table: a device of this machine and whether it is
// shared, for the session or constantly.
struct LocalRow
{
    enum class Share { None, Session, Constant };
    UsbDevice device;
    Share share = Share::None;

    bool isShared() const { return share != Share::None; }
};

Q_DECLARE_METATYPE(LocalRow)

// Who may attach this machine's shared devices, as the Manager service says.
struct AccessState
{
    enum class Kind {
        Unknown, // the Manager cannot be asked; `problem` says why
        AnyHost, // any host that reaches this machine
        Restricted, // this machine and `hosts` only
        // The Manager's list cannot be read: only this machine may attach
        // until who may attach is set again; `problem` is the Manager's reason.
        Broken,
    };
    Kind kind = Kind::Unknown;
    // The list the Manager keeps, also while any host may attach.
    QStringList hosts;
    QString problem;
};

Q_DECLARE_METATYPE(AccessState)

// Asks the Manager who may attach (ShareAccess), waiting as `manager` does.
AccessState askShareAccess(OvraAdminUsbIpInterface &manager);

// The local side: lists this machine's shareable USB devices with their
// share state and has the Manager service share (bind) and unshare (unbind)
// them. It hands its rows out whole (updated) or one by one (rowChanged).
class LocalSharing : public QObject
{
    Q_OBJECT
public:
    explicit LocalSharing(const Platform &platform, QObject *parent = nullptr);
    ~LocalSharing() override;

    // Lists the devices: of those `usbip list -l` lists (the blacklisted left
    // out), the removable USB storage drives that carry no part of the
    // running system (every device in test mode), and whatever this machine
    // exports already; shared when its daemon exports them, constantly when
    // the constant-sharing file lists their vid:pid. False, with no rows,
    // when the devices cannot be listed.
    bool update();
    bool share(const UsbDevice &device, bool constant);
    bool unshare(const UsbDevice &device);

    QList<LocalRow> rows() const { return m_rows; }

    // Asks the Manager who may attach (accessChanged tells).
    AccessState readAccess();
    // Has the Manager set who may attach, then reads it back; a refusal or
    // failure is an error.
    bool setAccess(bool restricted, const QStringList &hosts);

    // Bus ids of the removable USB storage drives that carry no part of the
    // running system (see SystemDisks) and share no USB device (a dock, a
    // card reader) with a drive that does; none at all when the disks of the
    // system cannot be told, which the first update reports.
    QStringList storageBusIds();

Q_SIGNALS:
    void updated(const QList<LocalRow> &rows);
    void rowChanged(int row, const LocalRow &value);
    void accessChanged(const AccessState &access);
    void error(const QString &error, const QString &detailed);

private:
    friend class TestLocalSharing;

    // Looks at the disks of the running system, once a run.
    void findSystemDisks();
    void setShare(const QString &busId, LocalRow::Share share);
    // Reports a failed Manager call as `error` under this headline.
    OvraAdminUsbIpInterface::ErrorReport reportAs(const QString &headline);

    Platform m_platform;
    OvraAdminUsbIpInterface m_manager;
    QList<LocalRow> m_rows;
    QStringList m_blacklist;
    bool m_systemDisksKnown = false;
    // Device paths of the system's disks and their stacks.
    QStringList m_systemDevices;
    // Why they could not be told; empty when they could.
    QString m_systemDisksProblem;
};
