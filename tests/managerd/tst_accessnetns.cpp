// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Who may attach, proven in the kernel's packet filter. The real Manager runs
// in a network namespace of its own (its private system bus is a socket in a
// temporary folder, which every namespace reaches) with the real nft, beside
// a stand-in listener on TCP port 3240. A second namespace, joined to the
// first by a veth pair, connects from listed and unlisted IPv4 and IPv6
// source addresses; a dropped connection times out after 1.5 s. Nothing
// leaves the two namespaces, and the namespace the test runs in is never
// changed. The namespaces live as long as their processes (started with
// `unshare -n`, entered with `nsenter`): nothing is left behind.
//
// The steps build on each other and run in order. Run as root; the test
// exits with 77 (skipped) where it cannot make namespaces.
//
// The same executable is the helpers it starts inside the namespaces:
//   --listen PORT                  listens on every address until standard input ends
//   --hold                         keeps a namespace alive until standard input ends
//   --connect SOURCE TARGET PORT MS  exits 0 when connected, 1 on a time-out

#include "fakepolkit.h"
#include "managerprocess.h"
#include "ovrausbipmanager.h"
#include "privatebus.h"
#include "testenvironment.h"

#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int UsbIpPort = 3240;
constexpr int ConnectTimeoutMs = 1500;

// ---- the helpers inside the namespaces ---------------------------------------

bool inputEnded(int fd)
{
    char buffer[64];
    return ::read(fd, buffer, sizeof buffer) <= 0;
}

int listenUntilInputEnds(int port)
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int no = 0;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no); // IPv4 too
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_any;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(fd, 128) != 0) {
        std::printf("cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    pollfd watched[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0 && errno != EINTR)
            return 1;
        if (watched[1].revents && inputEnded(0))
            return 0;
        if (watched[0].revents & POLLIN) {
            const int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0)
                ::close(connection);
        }
    }
}

int holdUntilInputEnds()
{
    std::printf("holding\n");
    std::fflush(stdout);
    while (!inputEnded(0)) { }
    return 0;
}

// 0: connected; 1: no answer in time (a dropped SYN); 2: anything else.
int connectFrom(const char *source, const char *target, int port, int timeoutMs)
{
    sockaddr_storage from = {};
    sockaddr_storage to = {};
    socklen_t length = 0;
    int family = AF_INET;
    auto *from4 = reinterpret_cast<sockaddr_in *>(&from);
    auto *to4 = reinterpret_cast<sockaddr_in *>(&to);
    auto *from6 = reinterpret_cast<sockaddr_in6 *>(&from);
    auto *to6 = reinterpret_cast<sockaddr_in6 *>(&to);
    if (::inet_pton(AF_INET, source, &from4->sin_addr) == 1
        && ::inet_pton(AF_INET, target, &to4->sin_addr) == 1) {
        from4->sin_family = to4->sin_family = AF_INET;
        to4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, source, &from6->sin6_addr) == 1
               && ::inet_pton(AF_INET6, target, &to6->sin6_addr) == 1) {
        family = from6->sin6_family = to6->sin6_family = AF_INET6;
        to6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof(sockaddr_in6);
    } else {
        std::printf("bad addresses\n");
        return 2;
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&from), length) != 0) {
        std::printf("cannot bind %s: %s\n", source, std::strerror(errno));
        return 2;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), length) != 0 && errno != EINPROGRESS) {
        std::printf("cannot connect: %s\n", std::strerror(errno));
        return 2;
    }
    pollfd watched = {fd, POLLOUT, 0};
    if (::poll(&watched, 1, timeoutMs) == 0) {
        std::printf("timeout\n");
        return 1;
    }
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    std::printf("%s\n", error == 0 ? "connected" : std::strerror(error));
    return error == 0 ? 0 : 2;
}

// ---- the test ------------------------------------------------------------------

QString tool(const char *name)
{
    return QStandardPaths::findExecutable(QLatin1String(name),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                           QStringLiteral("/sbin"), QStringLiteral("/bin")});
}

// Why this machine cannot run the test; empty when it can.
QString whyNoNamespaces()
{
    if (::geteuid() != 0)
        return QStringLiteral("not root");
    for (const char *name : {"unshare", "nsenter", "ip", "nft"}) {
        if (tool(name).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QLatin1String(name));
    }
    QProcess probe;
    probe.start(tool("unshare"),
                {QStringLiteral("-n"), QStringLiteral("--"), tool("ip"), QStringLiteral("link"),
                 QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
    if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
        return QStringLiteral("no network namespace can be made here: %1")
            .arg(QString::fromLocal8Bit(probe.readAllStandardError()).trimmed());
    return QString();
}

struct Probe
{
    const char *name;
    bool fromManagerSide; // else from the second namespace
    const char *source;
    const char *target;
};

const Probe Probes[] = {
    {"listed IPv4", false, "192.0.2.11", "192.0.2.1"},
    {"unlisted IPv4", false, "192.0.2.12", "192.0.2.1"},
    {"listed IPv6", false, "2001:db8::11", "2001:db8::1"},
    {"unlisted IPv6", false, "2001:db8::12", "2001:db8::1"},
    {"loopback IPv4", true, "127.0.0.1", "127.0.0.1"},
    {"loopback IPv6", true, "::1", "::1"},
    {"own address", true, "192.0.2.1", "192.0.2.1"},
};

// 192.0.2.8/30 holds .8 to .11: .11 is listed, .12 is not.
const QStringList Listed{QStringLiteral("192.0.2.8/30"), QStringLiteral("2001:db8::11")};

QStringList expectOpen(bool listedOnly)
{
    QStringList expected;
    for (const Probe &probe : Probes) {
        const bool open = !listedOnly || !QByteArray(probe.name).startsWith("unlisted");
        expected << QLatin1String(probe.name)
                        + (open ? QStringLiteral(": open") : QStringLiteral(": closed"));
    }
    return expected;
}

} // namespace

class AccessNetnsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void anyHostByDefault();
    void onlyListedHosts();
    void refusedChangeChangesNothing();
    void failedApplyKeepsRulesAndList();
    void rulesSurviveRestart();
    void timeToApply();
    void liftingOpensAgain();

private:
    bool startHelper(QProcess &process, const QStringList &arguments, const QByteArray &ready);
    // Runs COMMAND inside the namespace of `holder`; its output on failure.
    QString inside(const QProcess &holder, const QStringList &command,
                   const QByteArray &input = QByteArray());
    QStringList probeAll();
    bool startManager();
    QDBusMessage setAccess(bool restricted, const QStringList &hosts);
    QString shareAccess();

    PrivateBus m_bus;
    TestEnvironment m_env;
    FakePolkit m_polkit;
    QProcess m_managerSide; // the listener, which holds the Manager's namespace
    QProcess m_peerSide; // holds the second namespace
    ManagerProcess m_service;
    QString m_nftWrapper;
};

bool AccessNetnsTest::startHelper(QProcess &process, const QStringList &arguments,
                                  const QByteArray &ready)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool("unshare"), QStringList{QStringLiteral("-n"), QStringLiteral("--"),
                                               QCoreApplication::applicationFilePath()}
                                       + arguments);
    if (!process.waitForStarted(10000))
        return false;
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000))
            return false;
    }
    return process.readLine().trimmed() == ready;
}

QString AccessNetnsTest::inside(const QProcess &holder, const QStringList &command,
                                const QByteArray &input)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool("nsenter"),
                  QStringList{QStringLiteral("-t"), QString::number(holder.processId()),
                              QStringLiteral("-n"), QStringLiteral("--")}
                      + command);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000))
        return command.join(QLatin1Char(' ')) + QStringLiteral(": did not finish");
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return QString();
    return command.join(QLatin1Char(' ')) + QStringLiteral(": ")
         + QString::fromLocal8Bit(process.readAll());
}

QStringList AccessNetnsTest::probeAll()
{
    // All at once: a closed port costs one time-out, not one per source.
    QList<QProcess *> running;
    for (const Probe &probe : Probes) {
        auto *process = new QProcess(this);
        process->setProcessChannelMode(QProcess::MergedChannels);
        const QProcess &holder = probe.fromManagerSide ? m_managerSide : m_peerSide;
        process->start(tool("nsenter"),
                       {QStringLiteral("-t"), QString::number(holder.processId()),
                        QStringLiteral("-n"), QStringLiteral("--"),
                        QCoreApplication::applicationFilePath(), QStringLiteral("--connect"),
                        QLatin1String(probe.source), QLatin1String(probe.target),
                        QString::number(UsbIpPort), QString::number(ConnectTimeoutMs)});
        running << process;
    }
    QStringList result;
    for (int i = 0; i < running.size(); ++i) {
        QProcess *process = running.at(i);
        process->waitForFinished(ConnectTimeoutMs + 10000);
        const int code = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
        result << QLatin1String(Probes[i].name)
                      + (code == 0 ? QStringLiteral(": open")
                         : code == 1
                             ? QStringLiteral(": closed")
                             : QStringLiteral(": failed (%1)")
                                   .arg(QString::fromLocal8Bit(process->readAll()).trimmed()));
        delete process;
    }
    return result;
}

bool AccessNetnsTest::startManager()
{
    m_service.setLauncher({tool("nsenter"), QStringLiteral("-t"),
                           QString::number(m_managerSide.processId()), QStringLiteral("-n"),
                           QStringLiteral("--")});
    const int logStart = m_service.log().size();
    if (!m_service.start({QStringLiteral("--config-dir"), m_env.configDir(),
                          QStringLiteral("--nft"), m_nftWrapper, QStringLiteral("--no-restore"),
                          QStringLiteral("--tool-timeout"), QStringLiteral("10000")},
                         false))
        return false;
    // The start has put the list in force.
    QElapsedTimer timer;
    timer.start();
    while (!m_service.log().mid(logStart).contains(QStringLiteral("share access in force"))) {
        if (timer.hasExpired(15000))
            return false;
        QTest::qWait(20);
    }
    return true;
}

QDBusMessage AccessNetnsTest::setAccess(bool restricted, const QStringList &hosts)
{
    return ManagerProcess::call(QStringLiteral("SetShareAccess"), {restricted, hosts});
}

QString AccessNetnsTest::shareAccess()
{
    const QDBusMessage reply = ManagerProcess::call(QStringLiteral("ShareAccess"), {});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return reply.errorName();
    return (QStringList{reply.arguments().value(0).toBool() ? QStringLiteral("true")
                                                            : QStringLiteral("false")}
            + reply.arguments().value(1).toStringList())
        .join(QLatin1Char(' '));
}

void AccessNetnsTest::initTestCase()
{
    QVERIFY2(m_bus.start(), qPrintable(m_bus.errorString()));
    QString error;
    QVERIFY2(m_polkit.start(&error), qPrintable(error));

    QVERIFY2(startHelper(m_managerSide, {QStringLiteral("--listen"), QString::number(UsbIpPort)},
                         "listening"),
             m_managerSide.readAll().constData());
    QVERIFY(startHelper(m_peerSide, {QStringLiteral("--hold")}, "holding"));
    const QString peer = QString::number(m_peerSide.processId());
    const QString ip = tool("ip");
    const QList<QPair<QProcess *, QStringList>> setUp{
        {&m_managerSide, {ip, "link", "set", "lo", "up"}},
        {&m_peerSide, {ip, "link", "set", "lo", "up"}},
        {&m_managerSide,
         {ip, "link", "add", "ovra-a", "type", "veth", "peer", "name", "ovra-b", "netns", peer}},
        {&m_managerSide, {ip, "address", "add", "192.0.2.1/24", "dev", "ovra-a"}},
        {&m_managerSide, {ip, "address", "add", "2001:db8::1/64", "dev", "ovra-a", "nodad"}},
        {&m_managerSide, {ip, "link", "set", "ovra-a", "up"}},
        {&m_peerSide, {ip, "address", "add", "192.0.2.11/24", "dev", "ovra-b"}},
        {&m_peerSide, {ip, "address", "add", "192.0.2.12/24", "dev", "ovra-b"}},
        {&m_peerSide, {ip, "address", "add", "2001:db8::11/64", "dev", "ovra-b", "nodad"}},
        {&m_peerSide, {ip, "address", "add", "2001:db8::12/64", "dev", "ovra-b", "nodad"}},
        {&m_peerSide, {ip, "link", "set", "ovra-b", "up"}},
    };
    for (const auto &step : setUp) {
        const QString failure = inside(*step.first, step.second);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
    // The administrator's own table, which accepts the port: the Manager's
    // drop holds beside it, and the table stays as it is.
    const QString admin =
        inside(m_managerSide, {tool("nft"), QStringLiteral("-f"), QStringLiteral("-")},
               "table inet admin {\n"
               "\tchain input {\n"
               "\t\ttype filter hook input priority 0; policy accept;\n"
               "\t\ttcp dport 3240 accept\n"
               "\t}\n"
               "}\n");
    QVERIFY2(admin.isEmpty(), qPrintable(admin));

    // The real nft; with a file "fail" beside it, the rules it is given
    // with a line nft cannot read at their end, which it must refuse whole.
    m_nftWrapper =
        m_env.writeFile(QStringLiteral("bin/nft"), "#!/bin/sh\n"
                                                   "if [ -e \"$0.fail\" ]; then\n"
                                                   "    { cat; echo 'this is no rule'; } | "
                                                       + tool("nft").toLocal8Bit()
                                                       + " \"$@\"\n"
                                                         "    exit $?\n"
                                                         "fi\n"
                                                         "exec "
                                                       + tool("nft").toLocal8Bit() + " \"$@\"\n");
    QFile::setPermissions(m_nftWrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY2(startManager(), qPrintable(m_service.errorString() + m_service.log()));
}

void AccessNetnsTest::cleanupTestCase()
{
    m_service.stop();
    if (qEnvironmentVariableIsSet("OVRA_SHOW_SERVICE_LOG"))
        qInfo().noquote() << m_service.log();
    for (QProcess *holder : {&m_managerSide, &m_peerSide}) {
        holder->closeWriteChannel(); // the helper ends, and its namespace with it
        if (!holder->waitForFinished(5000))
            holder->kill();
    }
    m_polkit.stop();
}

void AccessNetnsTest::anyHostByDefault()
{
    QCOMPARE(shareAccess(), QStringLiteral("false"));
    // The link may take a moment to carry traffic.
    QTRY_COMPARE_WITH_TIMEOUT(probeAll(), expectOpen(false), 10000);
}

void AccessNetnsTest::onlyListedHosts()
{
    const QDBusMessage reply = setAccess(true, Listed);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(probeAll(), expectOpen(true));
    QCOMPARE(shareAccess(), QStringLiteral("true 192.0.2.8/30 2001:db8::11"));
}

void AccessNetnsTest::refusedChangeChangesNothing()
{
    m_polkit.setAllowed(QLatin1String(OvraUsbIp::AccessAction), false);
    const QDBusMessage reply = setAccess(false, {});
    m_polkit.setAllowed(true);
    QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    QCOMPARE(probeAll(), expectOpen(true));
    QCOMPARE(shareAccess(), QStringLiteral("true 192.0.2.8/30 2001:db8::11"));
}

void AccessNetnsTest::failedApplyKeepsRulesAndList()
{
    QFile fail(m_nftWrapper + QStringLiteral(".fail"));
    QVERIFY(fail.open(QIODevice::WriteOnly));
    const QDBusMessage reply = setAccess(false, {});
    QFile::remove(fail.fileName());
    QCOMPARE(reply.errorName(), QLatin1String(OvraUsbIp::AccessNotAppliedError));
    QVERIFY2(reply.errorMessage().contains(QStringLiteral("this is no rule")),
             qPrintable(reply.errorMessage()));
    QCOMPARE(probeAll(), expectOpen(true));
    QCOMPARE(shareAccess(), QStringLiteral("true 192.0.2.8/30 2001:db8::11"));
}

void AccessNetnsTest::rulesSurviveRestart()
{
    m_service.stop();
    // The table belongs to the kernel: no Manager, the rules hold.
    QCOMPARE(probeAll(), expectOpen(true));
    QElapsedTimer timer;
    timer.start();
    QVERIFY2(startManager(), qPrintable(m_service.errorString() + m_service.log()));
    qInfo("a restarted Manager had the list in force again after %lld ms", timer.elapsed());
    QCOMPARE(probeAll(), expectOpen(true));
    QCOMPARE(shareAccess(), QStringLiteral("true 192.0.2.8/30 2001:db8::11"));
}

void AccessNetnsTest::timeToApply()
{
    // Figures, not limits: a change's whole call (authorisation, nft, list),
    // from no table to the list, the median of five, for the smallest and
    // the largest list.
    QStringList most = Listed;
    for (int i = 0; most.size() < OvraUsbIp::MaxAccessHosts; ++i)
        most << (i % 2 ? QStringLiteral("2001:db8:1::%1").arg(i, 0, 16)
                       : QStringLiteral("198.51.100.%1").arg(i));
    for (const QStringList &hosts : {QStringList{Listed.first()}, most}) {
        QList<qint64> times;
        for (int round = 0; round < 5; ++round) {
            QVERIFY(setAccess(false, {}).type() == QDBusMessage::ReplyMessage);
            QElapsedTimer timer;
            timer.start();
            const QDBusMessage reply = setAccess(true, hosts);
            times << timer.elapsed();
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        }
        std::sort(times.begin(), times.end());
        qInfo("SetShareAccess with %d entries: median %lld ms (fastest %lld, slowest %lld)",
              int(hosts.size()), times.at(2), times.first(), times.last());
    }
    // The last change put all 256 in force: the listed still reach the port.
    QCOMPARE(probeAll(), expectOpen(true));
}

void AccessNetnsTest::liftingOpensAgain()
{
    const QDBusMessage reply = setAccess(false, Listed);
    QCOMPARE(reply.arguments().value(0), QVariant(true));
    QCOMPARE(probeAll(), expectOpen(false));
    QCOMPARE(shareAccess(), QStringLiteral("false 192.0.2.8/30 2001:db8::11"));
    // The Manager's table is gone; the administrator's is as it was.
    QProcess list;
    list.start(tool("nsenter"), {QStringLiteral("-t"), QString::number(m_managerSide.processId()),
                                 QStringLiteral("-n"), QStringLiteral("--"), tool("nft"),
                                 QStringLiteral("list"), QStringLiteral("tables")});
    QVERIFY(list.waitForFinished(10000));
    QCOMPARE(list.readAllStandardOutput(), QByteArray("table inet admin\n"));
}

int main(int argc, char *argv[])
{
    if (argc >= 2 && std::strcmp(argv[1], "--listen") == 0 && argc == 3)
        return listenUntilInputEnds(std::atoi(argv[2]));
    if (argc >= 2 && std::strcmp(argv[1], "--hold") == 0)
        return holdUntilInputEnds();
    if (argc >= 2 && std::strcmp(argv[1], "--connect") == 0 && argc == 6)
        return connectFrom(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));

    QCoreApplication app(argc, argv);
    const QString why = whyNoNamespaces();
    if (!why.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(why));
        return 77;
    }
    AccessNetnsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_accessnetns.moc"
