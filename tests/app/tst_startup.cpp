// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "startup.h"

#include "fakemanager.h"
#include "fakesystemd.h"
#include "fakeusbip.h"
#include "ovrausbipmanager.h"
#include "platformcheck.h"
#include "privatebus.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <cstdlib>

// The start-up, run for real: the test program starts itself as a child that
// runs runApplication() with a "user" answering its dialogs (see
// DialogAnswerer), and starts the built program to check the single-instance
// guard. uname, dpkg's database, the package manager launcher and systemd
// are fakes; everything lives in a temporary folder.

namespace {

const char childVariable[] = "OVRA_STARTUP_CHILD";
const char answersVariable[] = "OVRA_STARTUP_ANSWERS";
const char logVariable[] = "OVRA_STARTUP_LOG";
// What the child's event loop returns once the main window is up.
const int windowShownStatus = 42;
const int childWatchdogMs = 60000;

const char kernel[] = "5.10.0-8-amd64";
const char toolsPackage[] = "linux-tools-5.10.0-8-amd64";

QString packageWarning(const QString &package)
{
    return QStringLiteral("You need to install %1 package and reboot "
                          "system for correct work with remote USB-devices.\\n"
                          "Do you want to install %1 package now?")
        .arg(package);
}

QString serviceWarning()
{
    return QStringLiteral("You need to start usbipd service for correct work with remote "
                          "USB-devices. Do you want to do it now?");
}

// In the child: logs every message box (icon|title|text|buttons) and answers
// it from the list in OVRA_STARTUP_ANSWERS; logs the main window once it is
// shown and ends the event loop with windowShownStatus.
class DialogAnswerer : public QObject
{
public:
    explicit DialogAnswerer(QObject *parent)
        : QObject(parent)
    {
        m_answers =
            qEnvironmentVariable(answersVariable).split(QLatin1Char(','), Qt::SkipEmptyParts);
        m_log.setFileName(qEnvironmentVariable(logVariable));
        m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &DialogAnswerer::poll);
        timer->start(30);
        QTimer::singleShot(childWatchdogMs, this, [this]() {
            write(QStringLiteral("watchdog"));
            std::_Exit(97);
        });
    }

private:
    void write(const QString &line) { m_log.write((line + QLatin1Char('\n')).toUtf8()); }

    void poll()
    {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            if (!box->isVisible())
                return;
            QString text = box->text();
            text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
            write(QStringLiteral("box|%1|%2|%3|%4|%5|%6")
                      .arg(int(box->icon()))
                      .arg(box->windowTitle(), text)
                      .arg(int(box->standardButtons()))
                      .arg(box->parentWidget() ? QStringLiteral("parent")
                                               : QStringLiteral("no parent"),
                           box->windowIcon().isNull() ? QStringLiteral("no icon")
                                                      : QStringLiteral("icon")));
            const QString answer =
                m_answers.isEmpty() ? QStringLiteral("Escape") : m_answers.takeFirst();
            if (answer == QLatin1String("Escape")) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QCoreApplication::sendEvent(box, &press);
            } else if (answer == QLatin1String("Close")) {
                box->close();
            } else {
                const auto button = answer == QLatin1String("Yes") ? QMessageBox::Yes
                                  : answer == QLatin1String("No")  ? QMessageBox::No
                                                                   : QMessageBox::Ok;
                if (QAbstractButton *b = box->button(button))
                    b->click();
                else
                    box->close();
            }
            return;
        }
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *widget : windows) {
            if (qobject_cast<QMainWindow *>(widget) && widget->isVisible() && !m_windowSeen) {
                m_windowSeen = true;
                write(QStringLiteral("window|") + widget->windowTitle());
                QCoreApplication::exit(windowShownStatus);
            }
        }
    }

    QStringList m_answers;
    QFile m_log;
    bool m_windowSeen = false;
};

void installDialogAnswerer()
{
    if (qEnvironmentVariableIsSet(childVariable))
        new DialogAnswerer(QCoreApplication::instance());
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installDialogAnswerer)

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void kernelReleaseText_data();
    void kernelReleaseText();

    void startupSequence_data();
    void startupSequence();

    void commandLine_data();
    void commandLine();
    void listeningAddresses_data();
    void listeningAddresses();
    void accessCheck_data();
    void accessCheck();

    void secondInstanceExitsSilently();
    void simultaneousStarts_data();
    void simultaneousStarts();

private:
    void writeUname(const QByteArray &output, int exitCode = 0);
    void writeStatus(const QString &database);
    void writeLauncher(bool present);
    int unameCalls() const;
    QStringList readLines(const QString &path) const;
    QString programPath() const;
    QProcessEnvironment childEnvironment() const;
    bool waitForWindowOf(int expectedUnameCalls, QProcess &process, int timeoutMs);

    TestEnvironment m_env;
    FakeUsbip m_usbip;
    PrivateBus m_bus;
    FakeSystemd m_systemd;
    QString m_bin;
};

void TestStartup::initTestCase()
{
    QVERIFY(m_env.isValid());
    if (!m_bus.start())
        QSKIP(qPrintable(m_bus.errorString()));
    QVERIFY2(m_systemd.start(), qPrintable(m_systemd.errorString()));

    m_bin = m_env.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(m_bin));
    QVERIFY(QDir().mkpath(m_env.filePath(QStringLiteral("dpkg/info"))));
    QVERIFY(QDir().mkpath(m_env.filePath(QStringLiteral("dpkg/updates"))));
    QVERIFY(QDir().mkpath(m_env.filePath(QStringLiteral("tmp"))));
    qputenv("DPKG_ADMINDIR", m_env.filePath(QStringLiteral("dpkg")).toLocal8Bit());
    qputenv("OVRA_OS_RELEASE_FILE", m_env.filePath(QStringLiteral("os-release")).toLocal8Bit());
    qputenv("TMPDIR", m_env.filePath(QStringLiteral("tmp")).toLocal8Bit());
    qputenv("PATH", m_bin.toLocal8Bit() + ':' + qgetenv("PATH"));
    // apt's package lists know nothing: an offline machine.
    m_env.writeFile(QStringLiteral("bin/apt-cache"), "#!/bin/sh\nexit 0\n");
    QVERIFY(QFile::setPermissions(m_bin + QStringLiteral("/apt-cache"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner));
}

void TestStartup::init()
{
    writeUname(QByteArray(kernel) + '\n');
    writeStatus(QStringLiteral("ubuntu"));
    writeLauncher(true);
    m_systemd.setActive(true);
    m_systemd.setEnabled(true);
    m_systemd.setStartSucceeds(true);
    m_systemd.setStartDelay(0);
    m_systemd.clearCalls();
    QFile::remove(m_env.filePath(QStringLiteral("launcher.log")));
}

void TestStartup::writeUname(const QByteArray &output, int exitCode)
{
    m_env.writeFile(QStringLiteral("uname.out"), output);
    const QString path = m_bin + QStringLiteral("/uname");
    QFile::remove(path);
    QFile::remove(m_env.filePath(QStringLiteral("uname.log")));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\n"
                              "echo \"$*\" >> '%1'\n"
                              "cat '%2'\n"
                              "exit %3\n")
                   .arg(m_env.filePath(QStringLiteral("uname.log")),
                        m_env.filePath(QStringLiteral("uname.out")))
                   .arg(exitCode)
                   .toLocal8Bit());
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// "ubuntu": kernel-matched tools, an older kernel's installed (and a stray
// usbip package that must not count); "debian": the tools come as usbip,
// linux-perf names a linux-tools package that does not exist, and an old
// linux-tools-3.16 left its configuration; "ubuntu-like": an empty database,
// so os-release decides.
// "-missing" leaves out the package the check wants.
void TestStartup::writeStatus(const QString &database)
{
    const bool installed = !database.endsWith(QLatin1String("-missing"));
    QByteArray status;
    m_env.writeFile(QStringLiteral("os-release"),
                    database.startsWith(QLatin1String("debian"))
                        ? "ID=debian\n"
                        : "ID=linuxmint\nID_LIKE=\"ubuntu debian\"\n");
    if (database.startsWith(QLatin1String("debian"))) {
        status = "Package: linux-perf\nStatus: install ok installed\nBreaks: linux-tools-5.10\n"
                 "Architecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: p\n\n"
                 "Package: linux-tools-3.16\nStatus: deinstall ok config-files\n"
                 "Architecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: o\n\n";
        status += QByteArray("Package: usbip\nStatus: ")
                + (installed ? "install ok installed" : "deinstall ok config-files")
                + "\nArchitecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: u\n\n";
    } else if (!database.startsWith(QLatin1String("ubuntu-like"))) {
        status = "Package: linux-tools-5.10.0-7-amd64\nStatus: install ok installed\n"
                 "Architecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: older\n\n"
                 "Package: usbip\nStatus: install ok installed\n"
                 "Architecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: u\n\n";
        if (installed)
            status += "Package: linux-tools-5.10.0-8-amd64\nStatus: install ok installed\n"
                      "Architecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: t\n\n";
    }
    m_env.writeFile(QStringLiteral("dpkg/status"), status);
}

void TestStartup::writeLauncher(bool present)
{
    const QString path = m_bin + QStringLiteral("/synaptic-pkexec");
    QFile::remove(path);
    if (!present)
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\n"
                              "{ echo \"$*\"; cat \"$2\"; } > '%1.tmp'\n"
                              "mv '%1.tmp' '%1'\n")
                   .arg(m_env.filePath(QStringLiteral("launcher.log")))
                   .toLocal8Bit());
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList TestStartup::readLines(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int TestStartup::unameCalls() const
{
    return readLines(m_env.filePath(QStringLiteral("uname.log"))).size();
}

void TestStartup::kernelReleaseText_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("release");

    QTest::newRow("release and line feed")
        << QByteArray("5.10.0-8-amd64\n") << 0 << QStringLiteral("5.10.0-8-amd64");
    QTest::newRow("no line feed") << QByteArray("6.1.0-13-amd64") << 0
                                  << QStringLiteral("6.1.0-13-amd64");
    QTest::newRow("line feeds inside")
        << QByteArray("5.10\n.0\n\n") << 0 << QStringLiteral("5.10.0");
    QTest::newRow("blanks are kept")
        << QByteArray(" 5.10.0 \r\n") << 0 << QStringLiteral(" 5.10.0 \r");
    QTest::newRow("nothing printed") << QByteArray() << 0 << QString();
    QTest::newRow("failing uname still counts")
        << QByteArray("4.19.0\n") << 1 << QStringLiteral("4.19.0");
}

void TestStartup::kernelReleaseText()
{
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QString, release);

    writeUname(output, exitCode);
    QCOMPARE(kernelRelease(), release);
    QCOMPARE(readLines(m_env.filePath(QStringLiteral("uname.log"))), QStringList{"-r"});
}

QString TestStartup::programPath() const
{
    const QString given = qEnvironmentVariable("OVRA_APP_EXECUTABLE");
    if (!given.isEmpty())
        return given;
    return QDir::cleanPath(QCoreApplication::applicationDirPath()
                           + QStringLiteral("/../../app/ovra-admin-usbip"));
}

QProcessEnvironment TestStartup::childEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

void TestStartup::startupSequence_data()
{
    QTest::addColumn<QString>("database"); // see writeStatus
    QTest::addColumn<bool>("launcher");
    QTest::addColumn<bool>("active");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<QString>("answers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("events"); // boxes as "icon|title|text", then the window
    QTest::addColumn<QStringList>("systemd"); // the state-changing calls, in order

    const QString warning = QStringLiteral("%1|Warning|").arg(int(QMessageBox::Warning));
    const QString critical = QStringLiteral("%1|Error|").arg(int(QMessageBox::Critical));
    const QString window = QStringLiteral("window|Ovra admin usbip");
    const QString pkgBox = warning + packageWarning(QLatin1String(toolsPackage));
    const QString svcBox = warning + serviceWarning();
    const QString start = QStringLiteral("StartUnit usbipd.service replace");
    const QString enable = QStringLiteral("EnableUnitFiles usbipd.service");

    QTest::newRow("all in place: the window, no dialog")
        << "ubuntu" << true << true << true << true << "" << windowShownStatus
        << QStringList{window} << QStringList{};
    QTest::newRow("package missing, No") << "ubuntu-missing" << true << true << true << true << "No"
                                         << 0 << QStringList{pkgBox} << QStringList{};
    QTest::newRow("package missing, box closed")
        << "ubuntu-missing" << true << true << true << true << "Escape" << 0 << QStringList{pkgBox}
        << QStringList{};
    QTest::newRow("package missing, Yes, Synaptic starts: still ends")
        << "ubuntu-missing" << true << true << true << true << "Yes" << 0 << QStringList{pkgBox}
        << QStringList{};
    QTest::newRow("package missing, Yes, Synaptic fails")
        << "ubuntu-missing" << false << true << true << true << "Yes,Ok" << 0
        << QStringList{pkgBox, critical
                                   + QStringLiteral("Synaptic failed to start. Try updating "
                                                    "linux-tools-5.10.0-8-amd64 package manually.")}
        << QStringList{};
    QTest::newRow("package missing, service inactive: no service dialog")
        << "ubuntu-missing" << true << false << false << true << "No" << 0 << QStringList{pkgBox}
        << QStringList{};
    QTest::newRow("service inactive, No") << "ubuntu" << true << false << true << true << "No" << 0
                                          << QStringList{svcBox} << QStringList{};
    QTest::newRow("service inactive, Escape")
        << "ubuntu" << true << false << true << true << "Escape" << 0 << QStringList{svcBox}
        << QStringList{};
    QTest::newRow("service inactive, close button")
        << "ubuntu" << true << false << true << true << "Close" << 0 << QStringList{svcBox}
        << QStringList{};
    QTest::newRow("inactive but enabled, Yes, starts: only started")
        << "ubuntu" << true << false << true << true << "Yes" << windowShownStatus
        << QStringList{svcBox, window} << QStringList{start};
    QTest::newRow("inactive and disabled, Yes, starts: enabled first")
        << "ubuntu" << true << false << false << true << "Yes" << windowShownStatus
        << QStringList{svcBox, window} << QStringList{enable, start};
    QTest::newRow("inactive, Yes, does not start")
        << "ubuntu" << true << false << true << false << "Yes,Ok" << 0
        << QStringList{svcBox, critical + QStringLiteral("Failed to start usbipd service!")}
        << QStringList{start};
    QTest::newRow("inactive and disabled, Yes, does not start")
        << "ubuntu" << true << false << false << false << "Yes,Ok" << 0
        << QStringList{svcBox, critical + QStringLiteral("Failed to start usbipd service!")}
        << QStringList{enable, start};

    // Debian ships the tools as usbip; the box and the package manager name it.
    QTest::newRow("Debian, usbip installed: the window")
        << "debian" << true << true << true << true << "" << windowShownStatus
        << QStringList{window} << QStringList{};
    QTest::newRow("Debian, usbip missing, Yes: the package manager gets usbip")
        << "debian-missing" << true << true << true << true << "Yes" << 0
        << QStringList{warning + packageWarning(QStringLiteral("usbip"))} << QStringList{};
    QTest::newRow("Ubuntu derivative, offline, nothing installed: kernel-matched tools")
        << "ubuntu-like-missing" << true << true << true << true << "No" << 0 << QStringList{pkgBox}
        << QStringList{};
}

void TestStartup::startupSequence()
{
    QFETCH(QString, database);
    QFETCH(bool, launcher);
    QFETCH(bool, active);
    QFETCH(bool, enabled);
    QFETCH(bool, starts);
    QFETCH(QString, answers);
    QFETCH(int, status);
    QFETCH(QStringList, events);
    QFETCH(QStringList, systemd);

    writeStatus(database);
    writeLauncher(launcher);
    const bool installed = !database.endsWith(QLatin1String("-missing"));
    const QString package = database.startsWith(QLatin1String("debian"))
                              ? QStringLiteral("usbip")
                              : QLatin1String(toolsPackage);
    m_systemd.setActive(active);
    m_systemd.setEnabled(enabled);
    m_systemd.setStartSucceeds(starts);
    m_systemd.setStartDelay(200);

    const QString log = m_env.filePath(QStringLiteral("child.log"));
    QFile::remove(log);
    QProcessEnvironment env = childEnvironment();
    env.insert(QLatin1String(childVariable), QStringLiteral("1"));
    env.insert(QLatin1String(answersVariable), answers);
    env.insert(QLatin1String(logVariable), log);

    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForStarted(10000));
    QVERIFY2(child.waitForFinished(90000), "the start-up did not end");
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);

    // Boxes are logged as "box|icon|title|text|buttons|parent|window icon".
    QStringList seen;
    const QStringList lines = readLines(log);
    for (const QString &line : lines) {
        const QStringList parts = line.split(QLatin1Char('|'));
        if (parts.value(0) == QLatin1String("box")) {
            seen << parts.mid(1, 3).join(QLatin1Char('|'));
            const auto expectedButtons = parts.value(2) == QLatin1String("Warning")
                                           ? int(QMessageBox::Yes | QMessageBox::No)
                                           : int(QMessageBox::Ok);
            QCOMPARE(parts.value(4).toInt(), expectedButtons);
            QCOMPARE(parts.value(5), QStringLiteral("no parent"));
            // The application icon "rud-devices", set before the checks.
            QCOMPARE(parts.value(6), QStringLiteral("icon"));
        } else {
            seen << line;
        }
    }
    QCOMPARE(seen, events);
    QCOMPARE(child.exitCode(), status);

    // The package check asks uname once; the window asks again.
    QCOMPARE(unameCalls(), status == windowShownStatus ? 2 : 1);

    QStringList changes;
    const QStringList calls = m_systemd.calls();
    for (const QString &call : calls) {
        if (call.startsWith(QLatin1String("StartUnit")) || call.startsWith(QLatin1String("Enable")))
            changes << call;
    }
    QCOMPARE(changes, systemd);
    // The service is not even looked at when the package is missing.
    if (!installed)
        QCOMPARE(calls, QStringList());

    const QString launcherLog = m_env.filePath(QStringLiteral("launcher.log"));
    const bool askedForPackage = answers.startsWith(QLatin1String("Yes")) && !installed;
    // The launcher runs detached and may still be writing.
    if (askedForPackage && launcher)
        QVERIFY(QTest::qWaitFor(
            [&]() {
                return QFile::exists(launcherLog);
            },
            10000));
    const QStringList launched = readLines(launcherLog);
    if (askedForPackage && launcher) {
        QCOMPARE(launched.size(), 2);
        QVERIFY(launched.at(0).startsWith(QLatin1String("--set-selections-file ")));
        QCOMPARE(launched.at(1), QStringLiteral("%1\tinstall").arg(package));
    } else {
        QCOMPARE(launched, QStringList());
    }
}

void TestStartup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // a pattern for the whole standard output
    QTest::addColumn<QString>("err"); // the whole standard error

    QTest::newRow("--help, after a Qt option")
        << QStringList{"-style", "fusion", "--help"} << 0
        << "Usage: ovra-admin-usbip \\[--check \\| --help \\| --version\\]\n.*"
        << "";
    QTest::newRow("--version") << QStringList{"--version"} << 0
                               << QStringLiteral("ovra-admin-usbip %1\n")
                                      .arg(QRegularExpression::escape(OVRA_VERSION_STRING))
                               << "";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << ""
                                    << "ovra-admin-usbip: unknown option '--frobnicate' (see "
                                       "--help)\n";
    QTest::newRow("stray argument") << QStringList{"--help", "extra"} << 2 << ""
                                    << "ovra-admin-usbip: unexpected argument 'extra' (see "
                                       "--help)\n";
    QTest::newRow("Qt option without its value") << QStringList{"-platform"} << 2 << ""
                                                 << "ovra-admin-usbip: option '-platform' "
                                                    "needs a value (see --help)\n";
    // Nothing of the platform here: every requirement but the usbip
    // executable (this machine's own may be found in /usr/sbin) is missing.
    const QString missing = QStringLiteral("MISSING  %1: [^\n]+\n");
    QTest::newRow("--check, bare")
        << QStringList{"--check"} << 1
        << missing.arg("tools package (linux-tools-5\\.10\\.0-8-amd64|usbip)")
               + "(OK       |MISSING  )usbip executable: [^\n]+\n"
               + missing.arg("kernel module usbip-host") + missing.arg("kernel module vhci-hcd")
               + missing.arg("usbipd service") + missing.arg("usbipd listening on TCP 3240")
               + missing.arg("Manager service org\\.ovra\\.admin\\.usbip")
               + missing.arg("polkit actions") + missing.arg("who may attach shared devices")
               + missing.arg("packet filter table inet ovra_admin_usbip")
               + "OPTIONAL DNS-SD discovery: unavailable: the system bus cannot be reached[^\n]*\n"
        << "";
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const QString program = programPath();
    if (!QFileInfo(program).isExecutable())
        QSKIP(qPrintable(QStringLiteral("the program is not built: %1").arg(program)));

    // No display at all: the window would abort.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(variable));
    const QString bare = m_env.filePath(QStringLiteral("bare"));
    QVERIFY(QDir().mkpath(bare + QStringLiteral("/dpkg/info")));
    QVERIFY(QDir().mkpath(bare + QStringLiteral("/dpkg/updates")));
    m_env.writeFile(QStringLiteral("bare/dpkg/status"), QByteArray());
    env.insert(QStringLiteral("DPKG_ADMINDIR"), bare + QStringLiteral("/dpkg"));
    for (const char *variable :
         {"OVRA_SYSFS_ROOT", "OVRA_MODULES_ROOT", "OVRA_PROC_ROOT", "OVRA_POLKIT_ACTIONS_DIR"})
        env.insert(QLatin1String(variable), bare);
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
               QStringLiteral("unix:path=%1/no-bus").arg(bare));
    env.insert(QStringLiteral("OVRA_NFT_PROGRAM"), bare + QStringLiteral("/no-nft"));

    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    const QString stdOut = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out),
                                QRegularExpression::DotMatchesEverythingOption)
                 .match(stdOut)
                 .hasMatch(),
             qPrintable(stdOut));
    QCOMPARE(stdErr, err);
    QCOMPARE(process.exitCode(), status);
    // Only --check looks at the kernel; nothing started the window.
    QCOMPARE(unameCalls(), arguments.contains(QLatin1String("--check")) ? 1 : 0);
}

void TestStartup::listeningAddresses_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QStringList>("addresses");
    const QByteArray header = "  sl  local_address rem_address   st tx_queue rx_queue\n";
    const QByteArray tail = " 00000000:00000000 00:00000000 00000000     0        0 1\n";

    QTest::newRow("one address, in the kernel's byte order")
        << header + "   0: 0104A8C0:0CA8 00000000:0000 0A" + tail << QStringList{"192.168.4.1"};
    QTest::newRow("IPv6 loopback, word by word in the kernel's byte order")
        << header
               + "   0: 00000000000000000000000001000000:0CA8 "
                 "00000000000000000000000000000000:0000 0A"
               + tail
        << QStringList{"::1"};
    QTest::newRow("connections and other ports do not count")
        << header + "   0: 0100007F:0CA8 0100007F:A000 01" + tail
               + "   1: 00000000:0CA9 00000000:0000 0A" + tail + "garbage\n"
        << QStringList{};
}

void TestStartup::listeningAddresses()
{
    QFETCH(QByteArray, table);
    QFETCH(QStringList, addresses);
    QCOMPARE(PlatformCheck::listeningAddresses(table, 3240), addresses);
}

// The lines of --check about who may attach and the packet filter, from the
// Manager's answer and what nft says (without a Manager and nft: see above).
// A Manager that is only activatable is not started to be asked.
void TestStartup::accessCheck_data()
{
    QTest::addColumn<bool>("running"); // else activatable
    QTest::addColumn<QStringList>("hosts"); // the Manager's list, restricted
    QTest::addColumn<int>("nftStatus");
    QTest::addColumn<QByteArray>("nftSays"); // on standard error unless it succeeds
    // usbipd listening, the Manager, who may attach, packet filter
    QTest::addColumn<QString>("lines");

    const QString restricted = "OK .*0.0.0.0 \\(every interface; who may attach is restricted, "
                               "see below\\)\nOK .*: running on the system bus\nOK .*: only "
                               "this machine";
    QTest::newRow("in place") << true << QStringList{"10.0.0.1", "fd00::/64"} << 0
                              << QByteArray("table")
                              << restricted + " and 2 listed hosts\nOK .*: in place";
    QTest::newRow("gone") << true << QStringList() << 1
                          << QByteArray("Error: No such file or directory")
                          << restricted
                                 + "\nMISSING .*: not in place, so any host that reaches "
                                   "TCP 3240 may attach; put the list in force: sudo "
                                   "systemctl restart ovra-admin-usbip-manager.service";
    QTest::newRow("not root") << true << QStringList{"10.0.0.1"} << 1
                              << QByteArray("Operation not permitted (you must be root)")
                              << restricted
                                     + " and 1 listed host\nOK .*: it takes root to check "
                                       "whether it is in place: sudo ovra-admin-usbip "
                                       "--check";
    QTest::newRow("Manager not running: not started")
        << false << QStringList{"10.0.0.1"} << 0 << QByteArray("table")
        << "OK .*0.0.0.0 \\(every interface: anyone .*\\)\nOK .*: activatable on the system "
           "bus \\(started on first use\\)\nOK .*: not asked, since the Manager service is "
           "not running; it is read when the Manager runs\nOK .*: in place";
}

void TestStartup::accessCheck()
{
    QFETCH(bool, running);
    QFETCH(QStringList, hosts);
    QFETCH(int, nftStatus);
    QFETCH(QByteArray, nftSays);
    QFETCH(QString, lines);

    const QString manager = QLatin1String(OvraUsbIp::ManagerService);
    FakeManager fake;
    // Started by bus activation, it leaves its mark and ends.
    const QString started = m_env.filePath(QStringLiteral("manager-started"));
    if (running) {
        QVERIFY2(fake.start(), qPrintable(fake.errorString()));
        fake.setReply(QStringLiteral("ShareAccess"), QVariantList{true, hosts});
    } else {
        const QString program =
            m_env.writeFile(QStringLiteral("manager"),
                            "#!/bin/sh\ntouch '" + started.toLocal8Bit() + "'\n");
        QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        m_bus.addActivatableService(manager, program);
        QTRY_VERIFY(
            QDBusConnection::systemBus().interface()->activatableServiceNames().value().contains(
                manager));
    }
    Platform platform;
    platform.procRoot = m_env.filePath(QStringLiteral("proc"));
    m_env.writeFile(QStringLiteral("proc/net/tcp"), "   0: 00000000:0CA8 00000000:0000 0A\n");
    // Records its arguments and language, then says its piece.
    platform.nftProgram =
        m_env.writeFile(QStringLiteral("nft"),
                        "#!/bin/sh\necho \"$* $LC_ALL\" > \"$0.log\"\necho '" + nftSays + "' >&"
                            + QByteArray::number(nftStatus ? 2 : 1) + "\nexit "
                            + QByteArray::number(nftStatus) + '\n');
    QVERIFY(QFile::setPermissions(platform.nftProgram, QFileDevice::ReadOwner
                                                           | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner));
    const QList<PlatformCheck::Requirement> found = PlatformCheck::requirements(platform);
    if (!running)
        m_bus.removeActivatableService(manager);
    QString text;
    QTextStream out(&text);
    PlatformCheck::print({found.at(5), found.at(6), found.at(8), found.at(9)}, out);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(lines + '\n'))
                 .match(text)
                 .hasMatch(),
             qPrintable(text));
    QCOMPARE(readLines(platform.nftProgram + QStringLiteral(".log")),
             QStringList{"list table inet ovra_admin_usbip C"});
    // Asking would have started it: --check changes nothing.
    QVERIFY(!QFile::exists(started));
}

bool TestStartup::waitForWindowOf(int expectedUnameCalls, QProcess &process, int timeoutMs)
{
    // The program asks uname a second time in the window's constructor.
    return QTest::qWaitFor(
               [&]() {
                   return unameCalls() >= expectedUnameCalls
                       || process.state() == QProcess::NotRunning;
               },
               timeoutMs)
        && process.state() == QProcess::Running;
}

void TestStartup::secondInstanceExitsSilently()
{
    const QString program = programPath();
    if (!QFileInfo(program).isExecutable())
        QSKIP(qPrintable(QStringLiteral("the program is not built: %1").arg(program)));

    QProcess first;
    first.setProcessEnvironment(childEnvironment());
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(program, {});
    QVERIFY(first.waitForStarted(10000));
    QVERIFY2(waitForWindowOf(2, first, 60000), "the first instance did not get to its window");
    QTest::qWait(300);
    QVERIFY(first.state() == QProcess::Running);

    const QStringList systemdCalls = m_systemd.calls();
    QProcess second;
    second.setProcessEnvironment(childEnvironment());
    second.start(program, {});
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 255);
    // No check ran: neither uname nor systemd was asked.
    QCOMPARE(unameCalls(), 2);
    QCOMPARE(m_systemd.calls(), systemdCalls);
    QVERIFY(first.state() == QProcess::Running);

    // The first instance dies without cleaning up; its lock is stale and
    // does not keep the next start from running.
    first.kill();
    QVERIFY(first.waitForFinished(10000));
    writeUname(QByteArray(kernel) + '\n'); // restarts the count
    QProcess third;
    third.setProcessEnvironment(childEnvironment());
    third.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    third.start(program, {});
    QVERIFY(third.waitForStarted(10000));
    QVERIFY2(waitForWindowOf(2, third, 60000), "a stale lock kept the program from starting");
    third.terminate();
    QVERIFY(third.waitForFinished(10000));
}

void TestStartup::simultaneousStarts_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("two") << 2;
    QTest::newRow("three") << 3;
    QTest::newRow("two again, over a stale lock") << 2;
}

void TestStartup::simultaneousStarts()
{
    QFETCH(int, count);
    const QString program = programPath();
    if (!QFileInfo(program).isExecutable())
        QSKIP(qPrintable(QStringLiteral("the program is not built: %1").arg(program)));

    QList<QProcess *> processes;
    for (int i = 0; i < count; ++i) {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(childEnvironment());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        processes << process;
    }
    for (QProcess *process : qAsConst(processes))
        process->start(program, {});

    // All but one leave at once with -1.
    auto exited = [&]() {
        int n = 0;
        for (QProcess *process : qAsConst(processes))
            n += process->state() == QProcess::NotRunning ? 1 : 0;
        return n;
    };
    QVERIFY(QTest::qWaitFor(
        [&]() {
            return exited() >= count - 1;
        },
        60000));
    QTest::qWait(1500);
    QCOMPARE(exited(), count - 1);
    QProcess *runner = nullptr;
    for (QProcess *process : qAsConst(processes)) {
        if (process->state() == QProcess::NotRunning) {
            QCOMPARE(process->exitStatus(), QProcess::NormalExit);
            QCOMPARE(process->exitCode(), 255);
        } else {
            runner = process;
        }
    }
    QVERIFY(runner);
    QVERIFY2(waitForWindowOf(2, *runner, 60000), "the running instance did not get to its window");
    // Killed, it leaves a stale lock for the next round.
    runner->kill();
    runner->waitForFinished(10000);
    qDeleteAll(processes);
    writeUname(QByteArray(kernel) + '\n');
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(childVariable))
        return runApplication(argc, argv);
    // HOME, XDG_* (the runtime folder too) in a temporary folder before the
    // application object exists; the children inherit them.
    TestEnvironment environment;
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestStartup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
