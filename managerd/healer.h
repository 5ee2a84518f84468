// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "managerarguments.h"
#include "sharerecords.h"
#include "sysfs.h"
#include "toolrunner.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory>

class UsbIpProber;

// Keeps the constant connections attached and the constant shares bound
// while the service runs.
//
// While a list names something it looks at the kernel every WatchIntervalMs
// (and not at all otherwise): the vhci driver's port tables and the records
// of `usbip attach` for the connections, the USB devices in sysfs for the
// shares; no tool runs for that. A connection that is gone is attached again
// once its host answers the USB/IP probe and lists the device with the ids
// of its line; a constantly shared device (by its recorded serial number)
// that is present but not bound is bound again. A failed attempt is tried
// again after FirstRetryMs, then after twice as long each time, at most
// LastRetryMs apart; a device that goes again within LastRetryMs of coming
// back goes on where its back-off was. One log line per change of state.
//
// Nothing that is not a line of its list is ever attached or bound (the list
// is read again right before), and nothing is done for a device while a
// client's call holds it, nor for one a client disconnected or unshared
// until it connects or shares it again.
class Healer : public QObject
{
    Q_OBJECT
public:
    static constexpr int WatchIntervalMs = 2000;
    static constexpr int FirstRetryMs = 2000;
    static constexpr int LastRetryMs = 60000;
    // How long the host of a lost connection has to answer the probe.
    static constexpr int ProbeTimeoutMs = 2000;

    // What the service does for the healer.
    struct Tools
    {
        std::function<void(const QStringList &arguments, int timeoutMs, ToolRunner::Callback done)>
            runUsbip;
        // `done` gets an empty text, or why the module cannot be loaded.
        std::function<void(const QString &module, int timeoutMs,
                           std::function<void(const QString &problem)> done)>
            loadModule;
        // Whether a bind left the device shared; a failed one gives it back
        // to its usual driver.
        std::function<bool(const QString &busId, const ToolResult &result)> settleBind;
    };
    struct Files
    {
        QString remoteDevices; // the constant connections
        QString sharedDevices; // the constant shares
        QString shareRecords; // the serial numbers of the constant shares
    };

    Healer(const Sysfs &sysfs, const Files &files, int toolTimeoutMs, const Tools &tools,
           QObject *parent = nullptr);
    ~Healer() override;

    // Reads the lists and starts watching them and what they name.
    void start();
    // Reads the lists again (after the service changed one).
    void reread();

    // A client's call about the connection `deviceId` begins: nothing is
    // done for it until releaseConnection(). `settled` runs once no attach of
    // the healer's own is running for it (at once, or when that ends).
    void holdConnection(const QString &deviceId, const std::function<void()> &settled);
    // The call has ended; `disconnected`: the client disconnected the
    // device, which is left alone until a call connects it again (or its
    // line goes and comes back).
    void releaseConnection(const QString &deviceId, bool disconnected);
    // The same for a call about the local device `busId`; `unshared`: it
    // stays unbound until a call shares it again (or it is unplugged).
    void holdShare(const QString &busId, const std::function<void()> &settled);
    void releaseShare(const QString &busId, bool unshared);

Q_SIGNALS:
    // A constant connection was lost (false) or is back (true).
    void connectionChanged(const QString &deviceId, bool attached);

private:
    enum class State { Unknown, Good, Lost };

    // One constant connection or constantly shared device being watched.
    struct Item
    {
        QString name; // for the log
        State state = State::Unknown;
        bool busy = false; // an attempt is on its way
        bool acting = false; // its attach or bind runs
        quint64 attempt = 0; // a newer number makes the running attempt's results void
        int backoffMs = 0;
        QString problem; // why the last attempt failed, as logged
        QElapsedTimer goodSince;
        QTimer retry;
        QList<std::function<void()>> settled;
    };
    struct Connection : Item
    {
        QString id;
        QString host;
        QString busId;
        QString vidPid;
    };
    struct Share : Item
    {
        QString key; // bus id, vid:pid and serial number
        QString busId;
        QString vidPid;
        QString serial;
    };
    using ConnectionPtr = std::shared_ptr<Connection>;
    using SharePtr = std::shared_ptr<Share>;

    // Ends one hold on `key`, which has `hasEnded` (disconnected, unshared)
    // or not, and reads the lists again.
    void release(QHash<QString, int> &holds, QSet<QString> &ended, const QString &key,
                 bool hasEnded);

    ConnectionPtr newConnection(const QString &line, const ManagerArguments::DeviceId &device);
    SharePtr newShare(const QString &key, const Sysfs::UsbDevice &device, const QString &serial);
    void look();
    void lookAtConnections();
    void lookAtShares();
    void updateWatch();

    // The state seen now; a change is logged and, for connections, signalled.
    void seen(const ConnectionPtr &connection, bool attached);
    void seen(const SharePtr &share, bool bound);
    void attemptConnection(const ConnectionPtr &connection);
    void attemptShare(const SharePtr &share);
    void healed(Item &item, const QString &how);
    // Starts the next attempt when the item waits for one and nothing else will.
    void resume(Item &item);
    // Asks the host whether a USB/IP server answers (IPv4 addresses only;
    // other hosts count as answering and are asked by the listing alone).
    void probe(const QString &host, std::function<void(bool answered)> done);
    void pollProbes();
    // Whether the device is (still) a line of its list, read anew, and no
    // call holds or has left it alone.
    bool mayAttach(const Connection &connection) const;
    bool mayBind(const Share &share) const;
    bool isHeld(const Share &share) const;

    // The item is found lost: whether to attempt it at once, or (gone again
    // soon after it came back) after the back-off, whose retry it starts.
    static bool lose(Item &item);
    // Ends the attempt on its way (its results count no more).
    static void abandon(Item &item);
    void retryLater(Item &item, const QString &problem);
    static void settle(Item &item);

    const Sysfs &m_sysfs;
    Files m_files;
    int m_toolTimeoutMs;
    Tools m_tools;
    bool m_started = false;
    QTimer m_watch;
    QFileSystemWatcher m_watcher;
    QTimer m_reread; // gathers the file watcher's bursts

    QHash<QString, ConnectionPtr> m_connections; // by device id
    QHash<QString, SharePtr> m_shares; // by bus id, vid:pid and serial
    QSet<QString> m_shareModels; // the vid:pid lines of the constant-sharing file
    ShareRecords::Map m_shareRecords;
    QHash<QString, int> m_connectionHolds;
    QHash<QString, int> m_shareHolds;
    QSet<QString> m_disconnected; // device ids
    QSet<QString> m_unshared; // bus ids
    QString m_listProblem; // as logged
    QString m_tableProblem; // as logged

    std::unique_ptr<UsbIpProber> m_prober;
    QTimer m_probePoll;
    quint32 m_probeTag = 0;
    QHash<quint32, std::function<void(bool)>> m_probes;
};
