// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "healer.h"

#include "listfile.h"
#include "managerarguments.h"
#include "outsidetext.h"
#include "usbipgrammar.h"
#include "usbiplisting.h"
#include "usbipprober.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QLoggingCategory>

#include <utility>

Q_LOGGING_CATEGORY(lcHeal, "ovra.managerd.heal", QtInfoMsg)

namespace {

// How often an open probe is looked at; probes are open only while a lost
// connection's host is asked.
constexpr int ProbePollMs = 50;
// The file watcher reports a rewrite as several changes: they are read once.
constexpr int RereadDelayMs = 100;
// What of a tool's message goes into a log line.
constexpr int MaxProblemChars = 300;

int nextBackoff(int ms)
{
    return ms <= 0 ? Healer::FirstRetryMs : qMin(ms * 2, Healer::LastRetryMs);
}

QString oneLine(const QString &text)
{
    return OutsideText::cleaned(text.simplified(), MaxProblemChars);
}

// Why `host` does not offer the device `busId` with the ids `vidPid` (any
// ids when empty), read from its `usbip list -r`; empty when it does.
QString exportProblem(const ToolResult &result, const QString &host, const QString &busId,
                      const QString &vidPid)
{
    if (!result.succeeded())
        return oneLine(result.failureText());
    const QList<UsbIpGrammar::ExportedDevice> devices =
        UsbIpListing::exportedDevices(QString::fromUtf8(result.standardOutput));
    for (const UsbIpGrammar::ExportedDevice &device : devices) {
        if (device.busId != busId)
            continue;
        const QString ids = UsbIpGrammar::vidPidText(device.vendorId, device.productId);
        if (!vidPid.isEmpty() && ids.compare(vidPid, Qt::CaseInsensitive) != 0)
            return QStringLiteral("%1 exports %2 as another device (%3), which is not attached")
                .arg(host, busId, oneLine(ids));
        return QString();
    }
    return QStringLiteral("%1 does not export %2").arg(host, busId);
}

} // namespace

Healer::Healer(const Sysfs &sysfs, const Files &files, int toolTimeoutMs, const Tools &tools,
               QObject *parent)
    : QObject(parent)
    , m_sysfs(sysfs)
    , m_files(files)
    , m_toolTimeoutMs(toolTimeoutMs)
    , m_tools(tools)
{
    connect(&m_watch, &QTimer::timeout, this, &Healer::look);
    m_reread.setSingleShot(true);
    connect(&m_reread, &QTimer::timeout, this, &Healer::reread);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [this]() {
        m_reread.start(RereadDelayMs);
    });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this]() {
        m_reread.start(RereadDelayMs);
    });
    connect(&m_probePoll, &QTimer::timeout, this, &Healer::pollProbes);
}

Healer::~Healer() = default;

void Healer::start()
{
    m_started = true;
    reread();
}

// ---- the lists -----------------------------------------------------------

void Healer::reread()
{
    if (!m_started)
        return;
    // A list that cannot be read keeps what was read of it before.
    QString problem;
    QStringList lines;
    if (ListFile(m_files.remoteDevices).read(&lines, &problem)) {
        QSet<QString> wanted;
        for (const QString &line : qAsConst(lines)) {
            ManagerArguments::DeviceId device;
            if (!ManagerArguments::parseDeviceId(line, &device))
                continue; // the restore at start says why
            wanted.insert(line);
            if (!m_connections.contains(line))
                m_connections.insert(line, newConnection(line, device));
        }
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (wanted.contains(it.key())) {
                ++it;
                continue;
            }
            abandon(**it);
            it = m_connections.erase(it);
        }
        m_disconnected.intersect(wanted);
    }
    ShareRecords::Map records;
    if (ListFile(m_files.sharedDevices).read(&lines, problem.isEmpty() ? &problem : nullptr)
        && ShareRecords(m_files.shareRecords)
               .read(&records, problem.isEmpty() ? &problem : nullptr)) {
        m_shareModels.clear();
        for (const QString &line : qAsConst(lines)) {
            if (ManagerArguments::isVidPid(line))
                m_shareModels.insert(line);
        }
        m_shareRecords = records;
    }
    if (problem != m_listProblem && !problem.isEmpty())
        qCWarning(lcHeal).noquote() << "cannot read the lists:" << problem;
    m_listProblem = problem;
    look();
    updateWatch();
}

Healer::ConnectionPtr Healer::newConnection(const QString &line,
                                            const ManagerArguments::DeviceId &device)
{
    auto connection = std::make_shared<Connection>();
    connection->name = QStringLiteral("the constant connection ") + line;
    connection->id = line;
    connection->host = device.host;
    connection->busId = device.busId;
    connection->vidPid = device.vidPid;
    connection->retry.setSingleShot(true);
    const std::weak_ptr<Connection> weak = connection;
    connect(&connection->retry, &QTimer::timeout, this, [this, weak]() {
        if (const ConnectionPtr item = weak.lock())
            attemptConnection(item);
    });
    return connection;
}

void Healer::updateWatch()
{
    const bool needed = !m_connections.isEmpty() || !m_shareModels.isEmpty();
    if (needed != m_watch.isActive()) {
        if (needed) {
            m_watch.start(WatchIntervalMs);
            qCInfo(lcHeal).noquote() << "watching" << m_connections.size()
                                     << "constant connection(s) and the constant shares of"
                                     << m_shareModels.size() << "model(s)";
        } else {
            m_watch.stop();
            qCInfo(lcHeal).noquote() << "no constant connection or share to watch";
        }
    }
    // The folders see a list written anew (renamed over the old one), the
    // files an edit in place; a file replaced drops out of the watch.
    QStringList paths;
    for (const QString &file : {m_files.remoteDevices, m_files.sharedDevices, m_files.shareRecords})
        paths << QFileInfo(file).absolutePath() << file;
    for (const QString &path : qAsConst(paths)) {
        if (QFileInfo::exists(path) && !m_watcher.files().contains(path)
            && !m_watcher.directories().contains(path))
            m_watcher.addPath(path);
    }
}

// ---- looking at the kernel ------------------------------------------------

void Healer::look()
{
    if (!m_connections.isEmpty())
        lookAtConnections();
    if (!m_shareModels.isEmpty())
        lookAtShares();
}

void Healer::lookAtConnections()
{
    QList<Sysfs::ImportedPort> ports;
    QString error;
    if (!m_sysfs.importedPorts(&ports, &error)) {
        // Nothing is known: nothing counts as lost.
        if (error != m_tableProblem)
            qCWarning(lcHeal).noquote() << "cannot read the virtual ports:" << error;
        m_tableProblem = error;
        return;
    }
    m_tableProblem.clear();
    const QList<ConnectionPtr> connections = m_connections.values();
    for (const ConnectionPtr &connection : connections) {
        if (m_connectionHolds.contains(connection->id) || m_disconnected.contains(connection->id))
            continue;
        seen(connection,
             Sysfs::findImported(ports, connection->host, connection->busId) != nullptr);
    }
}

void Healer::seen(const ConnectionPtr &connection, bool attached)
{
    Connection &item = *connection;
    if (attached) {
        if (item.state == State::Lost) {
            healed(item, QStringLiteral("is attached again"));
            emit connectionChanged(item.id, true);
        }
        item.state = State::Good;
        return;
    }
    if (item.state == State::Lost) {
        resume(item);
        return;
    }
    const bool wasGood = item.state == State::Good;
    const bool now = lose(item);
    qCInfo(lcHeal).noquote() << item.name
                             << (wasGood ? QStringLiteral("was lost: attaching it again as soon "
                                                          "as its host exports it")
                                         : QStringLiteral("is not attached: attaching it as soon "
                                                          "as its host exports it"));
    if (wasGood)
        emit connectionChanged(item.id, false);
    if (now)
        attemptConnection(connection);
}

void Healer::lookAtShares()
{
    const QList<Sysfs::UsbDevice> devices = m_sysfs.usbDevices([this](const QString &vidPid) {
        return m_shareModels.contains(vidPid);
    });
    QSet<QString> present;
    QSet<QString> busIds;
    for (const Sysfs::UsbDevice &device : devices) {
        if (device.imported)
            continue; // a twin attached back from an exporter is not this machine's device
        busIds.insert(device.busId);
        const QString serial = m_sysfs.serial(device.busId);
        if (!ShareRecords::matches(m_shareRecords, device.vidPid, serial))
            continue;
        const QString key =
            device.busId + QLatin1Char(' ') + device.vidPid + QLatin1Char(' ') + serial;
        present.insert(key);
        SharePtr share = m_shares.value(key);
        if (!share) {
            share = newShare(key, device, serial);
            m_shares.insert(key, share);
        }
        if (!isHeld(*share) && !m_unshared.contains(share->busId))
            seen(share, device.driver == QLatin1String(Sysfs::UsbipHostDriver));
    }
    for (auto it = m_shares.begin(); it != m_shares.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        abandon(**it);
        it = m_shares.erase(it);
    }
    // An unplugged device comes back as a new one.
    m_unshared.intersect(busIds);
}

Healer::SharePtr Healer::newShare(const QString &key, const Sysfs::UsbDevice &device,
                                  const QString &serial)
{
    auto share = std::make_shared<Share>();
    share->name =
        QStringLiteral("the constantly shared device %1 (%2)").arg(device.busId, device.vidPid);
    share->key = key;
    share->busId = device.busId;
    share->vidPid = device.vidPid;
    share->serial = serial;
    share->retry.setSingleShot(true);
    const std::weak_ptr<Share> weak = share;
    connect(&share->retry, &QTimer::timeout, this, [this, weak]() {
        if (const SharePtr item = weak.lock())
            attemptShare(item);
    });
    return share;
}

void Healer::seen(const SharePtr &share, bool bound)
{
    Share &item = *share;
    if (bound) {
        if (item.state == State::Lost)
            healed(item, QStringLiteral("is shared again"));
        item.state = State::Good;
        return;
    }
    if (item.state == State::Lost) {
        resume(item);
        return;
    }
    const bool wasGood = item.state == State::Good;
    const bool now = lose(item);
    qCInfo(lcHeal).noquote() << item.name
                             << (wasGood ? QStringLiteral("is no longer shared: sharing it again")
                                         : QStringLiteral("is not shared: sharing it"));
    if (now)
        attemptShare(share);
}

// ---- attempts --------------------------------------------------------------

void Healer::attemptConnection(const ConnectionPtr &connection)
{
    Connection &item = *connection;
    if (item.busy || item.state != State::Lost || m_connectionHolds.contains(item.id)
        || m_disconnected.contains(item.id))
        return;
    item.busy = true;
    const quint64 number = ++item.attempt;
    auto counts = [this, connection, number]() {
        return connection->attempt == number && m_connections.value(connection->id) == connection;
    };
    const QString host = item.host;
    probe(host, [this, connection, counts, host](bool answered) {
        if (!counts())
            return;
        if (!answered) {
            retryLater(*connection,
                       QStringLiteral("%1 does not answer on the USB/IP port").arg(host));
            return;
        }
        m_tools.runUsbip(
            UsbIpListing::remoteArguments(host), qMin(m_toolTimeoutMs, UsbIpListing::ListTimeoutMs),
            [this, connection, counts, host](const ToolResult &listed) {
                if (!counts())
                    return;
                const QString problem =
                    exportProblem(listed, host, connection->busId, connection->vidPid);
                if (!problem.isEmpty()) {
                    retryLater(*connection, problem);
                    return;
                }
                m_tools.loadModule(
                    QLatin1String(Sysfs::VhciModule), m_toolTimeoutMs,
                    [this, connection, counts, host](const QString &unavailable) {
                        if (!counts())
                            return;
                        if (!unavailable.isEmpty()) {
                            retryLater(*connection, oneLine(unavailable));
                            return;
                        }
                        if (!mayAttach(*connection)) {
                            // Its line has gone (the reading drops it) or
                            // cannot be read (then it is tried later).
                            retryLater(*connection,
                                       QStringLiteral("it is not in the list of constant "
                                                      "connections now"));
                            m_reread.start(0);
                            return;
                        }
                        connection->acting = true;
                        m_tools.runUsbip({QStringLiteral("attach"), QStringLiteral("-r"), host,
                                          QStringLiteral("-b"), connection->busId},
                                         m_toolTimeoutMs,
                                         [this, connection, counts](const ToolResult &result) {
                                             connection->acting = false;
                                             if (!counts()) {
                                                 connection->busy = false;
                                                 resume(*connection);
                                             } else if (result.succeeded()) {
                                                 healed(*connection,
                                                        QStringLiteral("is attached again"));
                                                 emit connectionChanged(connection->id, true);
                                             } else {
                                                 retryLater(*connection,
                                                            QStringLiteral("usbip attach: ")
                                                                + oneLine(result.failureText()));
                                             }
                                             settle(*connection);
                                         });
                    });
            });
    });
}

void Healer::attemptShare(const SharePtr &share)
{
    Share &item = *share;
    if (item.busy || item.state != State::Lost || isHeld(item) || m_unshared.contains(item.busId))
        return;
    if (!mayBind(item)) {
        retryLater(item, QStringLiteral("it is not in the list of constant shares now"));
        m_reread.start(0);
        return;
    }
    item.busy = true;
    const quint64 number = ++item.attempt;
    auto counts = [this, share, number]() {
        return share->attempt == number && m_shares.value(share->key) == share;
    };
    m_tools.loadModule(QLatin1String(Sysfs::UsbipHostModule), m_toolTimeoutMs,
                       [this, share, counts](const QString &unavailable) {
                           if (!counts())
                               return;
                           if (!unavailable.isEmpty()) {
                               retryLater(*share, oneLine(unavailable));
                               return;
                           }
                           share->acting = true;
                           m_tools.runUsbip(
                               {QStringLiteral("bind"), QStringLiteral("-b"), share->busId},
                               m_toolTimeoutMs, [this, share, counts](const ToolResult &result) {
                                   share->acting = false;
                                   const bool bound = m_tools.settleBind(share->busId, result);
                                   if (!counts()) {
                                       share->busy = false;
                                       resume(*share);
                                   } else if (bound) {
                                       healed(*share, QStringLiteral("is shared again"));
                                   } else {
                                       retryLater(*share, QStringLiteral("usbip bind: ")
                                                              + oneLine(result.failureText()));
                                   }
                                   settle(*share);
                               });
                       });
}

void Healer::healed(Item &item, const QString &how)
{
    abandon(item);
    item.state = State::Good;
    item.goodSince.start();
    item.problem.clear();
    qCInfo(lcHeal).noquote() << item.name << how;
}

bool Healer::mayAttach(const Connection &connection) const
{
    QStringList lines;
    return !m_connectionHolds.contains(connection.id) && !m_disconnected.contains(connection.id)
        && ListFile(m_files.remoteDevices).read(&lines) && lines.contains(connection.id);
}

bool Healer::mayBind(const Share &share) const
{
    QStringList lines;
    ShareRecords::Map records;
    return !isHeld(share) && !m_unshared.contains(share.busId)
        && ListFile(m_files.sharedDevices).read(&lines) && lines.contains(share.vidPid)
        && ShareRecords(m_files.shareRecords).read(&records)
        && ShareRecords::matches(records, share.vidPid, share.serial);
}

bool Healer::isHeld(const Share &share) const
{
    return m_shareHolds.contains(share.busId);
}

// ---- the probe -------------------------------------------------------------

void Healer::probe(const QString &host, std::function<void(bool answered)> done)
{
    QHostAddress address;
    if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        done(true);
        return;
    }
    if (!m_prober)
        m_prober = std::make_unique<UsbIpProber>(ProbeTimeoutMs);
    const quint32 tag = ++m_probeTag;
    if (!m_prober->start(address.toIPv4Address(), tag)) {
        done(true); // short of sockets for a moment: the listing decides
        return;
    }
    m_probes.insert(tag, std::move(done));
    if (!m_probePoll.isActive())
        m_probePoll.start(ProbePollMs);
}

void Healer::pollProbes()
{
    const QVector<UsbIpProber::Result> results = m_prober->poll(0);
    for (const UsbIpProber::Result &result : results) {
        const std::function<void(bool)> done = m_probes.take(result.tag);
        if (done)
            done(result.answered);
    }
    if (m_prober->pending() == 0)
        m_probePoll.stop();
}

// ---- holds -------------------------------------------------------------------

void Healer::holdConnection(const QString &deviceId, const std::function<void()> &settled)
{
    ++m_connectionHolds[deviceId];
    const ConnectionPtr connection = m_connections.value(deviceId);
    if (connection) {
        abandon(*connection);
        if (connection->acting) {
            qCInfo(lcHeal).noquote() << "waiting for the attach of" << deviceId << "to end";
            connection->settled.append(settled);
            return;
        }
    }
    settled();
}

void Healer::releaseConnection(const QString &deviceId, bool disconnected)
{
    release(m_connectionHolds, m_disconnected, deviceId, disconnected);
}

void Healer::holdShare(const QString &busId, const std::function<void()> &settled)
{
    ++m_shareHolds[busId];
    QList<std::function<void()>> *waiting = nullptr;
    for (const SharePtr &share : qAsConst(m_shares)) {
        if (share->busId != busId)
            continue;
        abandon(*share);
        if (share->acting)
            waiting = &share->settled;
    }
    if (waiting)
        waiting->append(settled);
    else
        settled();
}

void Healer::releaseShare(const QString &busId, bool unshared)
{
    release(m_shareHolds, m_unshared, busId, unshared);
}

void Healer::release(QHash<QString, int> &holds, QSet<QString> &ended, const QString &key,
                     bool hasEnded)
{
    if (--holds[key] <= 0)
        holds.remove(key);
    if (hasEnded)
        ended.insert(key);
    else
        ended.remove(key);
    reread();
}

// ---- back-off ----------------------------------------------------------------

bool Healer::lose(Item &item)
{
    const bool wasGood = item.state == State::Good;
    item.state = State::Lost;
    item.problem.clear();
    // Gone again soon after it came back: the back-off goes on.
    if (wasGood && item.goodSince.isValid() && !item.goodSince.hasExpired(LastRetryMs)) {
        item.backoffMs = nextBackoff(item.backoffMs);
        item.retry.start(item.backoffMs);
        return false;
    }
    item.backoffMs = 0;
    return true;
}

void Healer::abandon(Item &item)
{
    ++item.attempt;
    item.retry.stop();
    if (!item.acting)
        item.busy = false;
}

void Healer::resume(Item &item)
{
    if (item.state == State::Lost && !item.busy && !item.retry.isActive())
        item.retry.start(item.backoffMs);
}

void Healer::retryLater(Item &item, const QString &problem)
{
    item.busy = false;
    item.backoffMs = nextBackoff(item.backoffMs);
    if (problem != item.problem)
        qCInfo(lcHeal).noquote() << item.name << "is not back yet:" << problem
                                 << QStringLiteral("(trying again after %1 s, then less and less "
                                                   "often, at least every %2 s)")
                                        .arg(item.backoffMs / 1000)
                                        .arg(LastRetryMs / 1000);
    item.problem = problem;
    item.retry.start(item.backoffMs);
}

void Healer::settle(Item &item)
{
    const QList<std::function<void()>> waiting = std::exchange(item.settled, {});
    for (const std::function<void()> &settled : waiting)
        settled();
}
