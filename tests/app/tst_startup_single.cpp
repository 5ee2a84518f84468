// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "qtsingleapplication.h"

#include "testenvironment.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTest>
#include <QWidget>

// The single-instance application: this test program is itself a
// QtSingleApplication (the first instance, under the program's own
// identifier) and starts copies of itself, and the program, as later
// instances.

namespace {

const char childVariable[] = "OVRA_SINGLE_CHILD"; // "probe" or "send"
const char idVariable[] = "OVRA_SINGLE_ID"; // identifier instead of the default
const char messageVariable[] = "OVRA_SINGLE_MESSAGE";

// A later instance: "probe" exits 1 when another instance runs, else 0;
// "send" exits 0 when the running instance acknowledged the message, 2 when
// it did not, 3 when no instance runs.
int runChild(int argc, char **argv)
{
    QtSingleApplication app(argc, argv, true, qEnvironmentVariable(idVariable));
    const QString mode = qEnvironmentVariable(childVariable);
    if (mode == QLatin1String("send")) {
        if (!app.isRunning())
            return 3;
        const QByteArray hex = qgetenv(messageVariable);
        return app.sendMessage(QString::fromUtf8(QByteArray::fromHex(hex)), 10000) ? 0 : 2;
    }
    return app.isRunning() ? 1 : 0;
}

} // namespace

class TestSingleApplication : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstInstanceRuns();
    void laterInstanceSeesIt();
    void messages_data();
    void messages();
    void foreignLocks_data();
    void foreignLocks();
    void programStartRaisesTheRunningWindow();

private:
    int runChild(const QString &mode, const QString &id = QString(),
                 const QString &message = QString(), bool serve = false);
    static QtSingleApplication *app() { return static_cast<QtSingleApplication *>(qApp); }
};

// The built program, beside this test in the build tree.
QString programPath()
{
    static const QString path =
        QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath()
                  + QStringLiteral("/../../app/ovra-admin-usbip"))
            .canonicalFilePath();
    return path;
}

int TestSingleApplication::runChild(const QString &mode, const QString &id, const QString &message,
                                    bool serve)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(childVariable), mode);
    env.insert(QLatin1String(idVariable), id.isEmpty() ? app()->id() : id);
    env.insert(QLatin1String(messageVariable), QString::fromLatin1(message.toUtf8().toHex()));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {});
    if (!child.waitForStarted(10000))
        return -100;
    // While a child sends, this instance must keep serving its socket.
    if (serve) {
        if (!QTest::qWaitFor(
                [&]() {
                    return child.state() == QProcess::NotRunning;
                },
                30000))
            return -101;
    } else if (!child.waitForFinished(30000)) {
        return -101;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -102;
}

void TestSingleApplication::firstInstanceRuns()
{
    QVERIFY(!app()->isRunning());
    QCOMPARE(app()->id(), QtSingleApplication::defaultId(programPath()));
    // Lock and socket are in the user's runtime folder (here the test's).
    const QString base = QtSingleApplication::runtimeDirectory() + QLatin1Char('/') + app()->id();
    QVERIFY(base.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR")));
    QVERIFY(QFile::exists(base + QStringLiteral(".lock")));
    QVERIFY(QFile::exists(base + QStringLiteral(".socket")));
    // The first instance has nobody to send to.
    QVERIFY(!app()->sendMessage(QStringLiteral("x"), 100));
}

void TestSingleApplication::laterInstanceSeesIt()
{
    QCOMPARE(runChild(QStringLiteral("probe")), 1);
    // Another program (another identifier) is not this one.
    QCOMPARE(runChild(QStringLiteral("probe"), QStringLiteral("ovra-other-program")), 0);
    // The child's own lock was released when it ended.
    QCOMPARE(runChild(QStringLiteral("probe"), QStringLiteral("ovra-other-program")), 0);
}

void TestSingleApplication::messages_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("activate");
    QTest::newRow("plain, activating") << QStringLiteral("hello") << true;
    QTest::newRow("plain, not activating") << QStringLiteral("hello") << false;
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("unicode") << QStringLiteral("Gr\u00fc\u00dfe \u2713") << true;
    // Handed to the child through the environment, which limits the size.
    QTest::newRow("long") << QString(50000, QLatin1Char('m')) << false;
}

void TestSingleApplication::messages()
{
    QFETCH(QString, message);
    QFETCH(bool, activate);

    QWidget window;
    app()->setActivationWindow(&window, activate);
    QCOMPARE(app()->activationWindow(), &window);
    QSignalSpy received(app(), &QtSingleApplication::messageReceived);

    QCOMPARE(runChild(QStringLiteral("send"), QString(), message, true), 0);
    QVERIFY(received.count() == 1 || received.wait(5000));
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toString(), message);
    QCOMPARE(window.isVisible(), activate);
    app()->setActivationWindow(nullptr, false);

    // activateWindow() without an activation window does nothing.
    app()->activateWindow();
}

void TestSingleApplication::foreignLocks_data()
{
    QTest::addColumn<QByteArray>("lockContent");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("socketLeft");
    QTest::addColumn<int>("status"); // of the probing instance: 0 runs, 1 sees another

    // A process id that no longer exists: that of a finished child.
    QProcess finished;
    finished.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")});
    finished.waitForFinished(10000);
    const QByteArray deadPid = finished.readAllStandardOutput().trimmed();
    QVERIFY(deadPid.toInt() > 1);
    const QByteArray here = QSysInfo::machineHostName().toUtf8();
    const QByteArray livePid = QByteArray::number(QCoreApplication::applicationPid());

    QTest::newRow("crashed instance") << deadPid + "\napp\n" + here + "\n" << 0 << false << 0;
    QTest::newRow("crashed instance, socket left") << deadPid + "\napp\n" + here + "\n"
                                                   << 0 << true << 0;
    // Readable only by the flock: nobody holds it.
    QTest::newRow("lock naming another host name") << deadPid + "\napp\nelsewhere\n"
                                                   << 60 << false << 0;
    QTest::newRow("lock naming a live process, not held") << livePid + "\napp\nelsewhere\n"
                                                          << 60 << false << 0;
    QTest::newRow("damaged lock file") << QByteArray("not a lock\x01\x02") << 60 << false << 0;
    QTest::newRow("empty lock file, socket left") << QByteArray() << 60 << true << 0;
    // Just created by an instance that is about to lock it.
    QTest::newRow("empty lock file being created") << QByteArray() << 0 << false << 1;
}

void TestSingleApplication::foreignLocks()
{
    QFETCH(QByteArray, lockContent);
    QFETCH(int, ageSeconds);
    QFETCH(bool, socketLeft);
    QFETCH(int, status);

    const QString id = QStringLiteral("ovra-stale-%1")
                           .arg(QTest::currentDataTag())
                           .replace(QLatin1Char(' '), QLatin1Char('-'))
                           .remove(QLatin1Char(','));
    const QString base = QtSingleApplication::runtimeDirectory() + QLatin1Char('/') + id;
    {
        QFile lock(base + QStringLiteral(".lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lock.write(lockContent);
        lock.close();
        const QDateTime then = QDateTime::currentDateTime().addSecs(-ageSeconds);
        QVERIFY(lock.open(QIODevice::ReadWrite));
        QVERIFY(lock.setFileTime(then, QFileDevice::FileModificationTime));
    }
    if (socketLeft) {
        QFile socket(base + QStringLiteral(".socket"));
        QVERIFY(socket.open(QIODevice::WriteOnly));
    }
    QCOMPARE(runChild(QStringLiteral("probe"), id), status);
    // Taken over: the lock now names the probing instance (which ended
    // normally and removed it); left alone: unchanged.
    QCOMPARE(QFile::exists(base + QStringLiteral(".lock")), status == 1);
    QFile::remove(base + QStringLiteral(".lock"));
    QFile::remove(base + QStringLiteral(".socket"));
}

void TestSingleApplication::programStartRaisesTheRunningWindow()
{
    if (!QFileInfo(programPath()).isExecutable())
        QSKIP("the program is not built");
    QWidget window;
    window.showMinimized();
    app()->setActivationWindow(&window, true);
    QSignalSpy received(app(), &QtSingleApplication::messageReceived);
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(programPath(), {});
    QVERIFY(QTest::qWaitFor(
        [&]() {
            return program.state() == QProcess::NotRunning;
        },
        30000));
    // The second start ends at once, and the running window comes up.
    QCOMPARE(program.exitCode(), 255);
    QVERIFY(received.count() == 1 || received.wait(5000));
    QCOMPARE(received.first().at(0).toString(), QStringLiteral("activate"));
    QVERIFY(window.isVisible());
    QVERIFY(!(window.windowState() & Qt::WindowMinimized));
    app()->setActivationWindow(nullptr, false);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(childVariable))
        return runChild(argc, argv);
    // Lock, socket and settings in a temporary folder shared with the children.
    TestEnvironment environment;
    // The program's identifier: the program started by a test is a later
    // instance of this one.
    QtSingleApplication app(argc, argv, true, QtSingleApplication::defaultId(programPath()));
    TestSingleApplication test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup_single.moc"
