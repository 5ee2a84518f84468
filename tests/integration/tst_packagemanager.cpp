// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "childprocess.h"
#include "packagemanager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using OvraAdmin::PackageManager;

// Package queries against a package database of the test's own (DPKG_ADMINDIR),
// run by the real dpkg-query as the program runs it, and the package manager
// launch through a fake launcher first on PATH.
class TestPackageManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void isPackageInstalled_data();
    void isPackageInstalled();

    void runSynaptic_data();
    void runSynaptic();
    void runSynapticWithoutLauncher();

private:
    void writeLauncher(int exitCode, bool executable = true);
    QByteArray waitForFile(const QString &path);

    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    QByteArray m_oldTmp;
};

static const char status[] =
    "Package: linux-tools-5.10.0-8-amd64\n"
    "Status: install ok installed\n"
    "Architecture: amd64\nVersion: 5.10.46-4\nMaintainer: A <a@b.c>\nDescription: tools\n\n"
    "Package: linux-tools-5.10.0-9-amd64\n"
    "Status: install reinstreq half-installed\n"
    "Architecture: amd64\nVersion: 5.10.70-1\nMaintainer: A <a@b.c>\nDescription: tools\n\n"
    "Package: linux-tools-5.10.0-7-amd64\n"
    "Status: deinstall ok config-files\n"
    "Architecture: amd64\nVersion: 5.10.40-1\nMaintainer: A <a@b.c>\nDescription: tools\n\n"
    "Package: linux-tools-5.10.0-6-amd64\n"
    "Status: install ok unpacked\n"
    "Architecture: amd64\nVersion: 5.10.30-1\nMaintainer: A <a@b.c>\nDescription: tools\n\n"
    "Package: linux-tools-5.10.0-8-amd64-extra\n"
    "Status: install ok installed\n"
    "Architecture: amd64\nVersion: 1\nMaintainer: A <a@b.c>\nDescription: tools\n\n";

void TestPackageManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("admin/info")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("admin/updates")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("bin")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("tmp")));
    QFile file(m_dir.filePath(QStringLiteral("admin/status")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(status);
    file.close();
    qputenv("DPKG_ADMINDIR", m_dir.filePath(QStringLiteral("admin")).toLocal8Bit());

    m_oldPath = qgetenv("PATH");
    qputenv("PATH", m_dir.filePath(QStringLiteral("bin")).toLocal8Bit() + ':' + m_oldPath);
    m_oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_dir.filePath(QStringLiteral("tmp")).toLocal8Bit());
}

void TestPackageManager::cleanupTestCase()
{
    qunsetenv("DPKG_ADMINDIR");
    qputenv("PATH", m_oldPath);
    if (m_oldTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmp);
}

void TestPackageManager::isPackageInstalled_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("installed");

    const QString ii = QStringLiteral("ii\\s%1");
    QTest::newRow("installed") << "linux-tools-5.10.0-8-amd64" << ii << true;
    QTest::newRow("half-installed") << "linux-tools-5.10.0-9-amd64" << ii << false;
    QTest::newRow("removed, configuration left") << "linux-tools-5.10.0-7-amd64" << ii << false;
    QTest::newRow("unpacked only") << "linux-tools-5.10.0-6-amd64" << ii << false;
    QTest::newRow("absent") << "linux-tools-6.1.0-13-amd64" << ii << false;
    QTest::newRow("empty kernel release") << "linux-tools-" << ii << false;
    QTest::newRow("prefix of an installed package") << "linux-tools-5.10.0-8" << ii << false;
    QTest::newRow("glob matching an installed package") << "linux-tools-5.10.0-8-*" << ii << false;
    QTest::newRow("dots are not wildcards") << "linux-tools-5x10x0-8-amd64" << ii << false;
    QTest::newRow("option-like name") << "--help" << ii << false;
    QTest::newRow("empty name") << "" << ii << false;
    QTest::newRow("other pattern: config-files")
        << "linux-tools-5.10.0-7-amd64" << QStringLiteral("rc\\s%1") << true;
    QTest::newRow("broken pattern")
        << "linux-tools-5.10.0-8-amd64" << QStringLiteral("ii\\s%1(") << false;
}

void TestPackageManager::isPackageInstalled()
{
    QFETCH(QString, name);
    QFETCH(QString, pattern);
    QFETCH(bool, installed);
    const PackageManager packages([](const QString &program, const QStringList &arguments) {
        return runChild(program, arguments, 30000, PackageManager::queryEnvironment()).outputText();
    });
    QCOMPARE(packages.isPackageInstalled(name, pattern), installed);
}

void TestPackageManager::writeLauncher(int exitCode, bool executable)
{
    // Records its arguments and the selections file it was given.
    const QString path = m_dir.filePath(QStringLiteral("bin/synaptic-pkexec"));
    QFile::remove(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QString log = m_dir.filePath(QStringLiteral("launcher.log"));
    file.write(
        QStringLiteral("#!/bin/sh\n"
                       "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '%1.tmp'\n"
                       "if [ \"$1\" = --set-selections-file ]; then cat \"$2\" >> '%1.tmp'; fi\n"
                       "mv '%1.tmp' '%1'\n"
                       "exit %2\n")
            .arg(log)
            .arg(exitCode)
            .toLocal8Bit());
    file.close();
    file.setPermissions(executable ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                         | QFileDevice::ExeOwner
                                   : QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile::remove(log);
}

QByteArray TestPackageManager::waitForFile(const QString &path)
{
    QFile file(path);
    if (!QTest::qWaitFor(
            [&]() {
                return file.exists();
            },
            5000))
        return QByteArray();
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

void TestPackageManager::runSynaptic_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QStringList>("extraArguments");

    QTest::newRow("package selected")
        << "linux-tools-5.10.0-8-amd64" << false << true << QStringList();
    QTest::newRow("non-interactive") << "linux-tools-5.10.0-8-amd64" << true << true
                                     << QStringList{QStringLiteral("--non-interactive")};
    QTest::newRow("newline in the name")
        << "foo\nbar\tdeinstall" << false << false << QStringList();
    QTest::newRow("empty name") << "" << false << false << QStringList();
}

void TestPackageManager::runSynaptic()
{
    QFETCH(QString, name);
    QFETCH(bool, flag);
    QFETCH(bool, started);
    QFETCH(QStringList, extraArguments);

    writeLauncher(0);
    QCOMPARE(PackageManager::runSynapticWithPackageSelected(name, flag), started);
    const QString log = m_dir.filePath(QStringLiteral("launcher.log"));
    if (!started) {
        QTest::qWait(300);
        QVERIFY(!QFile::exists(log));
        return;
    }
    const QStringList lines = QString::fromLocal8Bit(waitForFile(log)).split(QLatin1Char('\n'));
    QVERIFY(lines.size() >= 3);
    QCOMPARE(lines.at(0), QStringLiteral("--set-selections-file"));
    const QString selections = lines.at(1);
    QVERIFY2(selections.startsWith(m_dir.filePath(QStringLiteral("tmp/"))), qPrintable(selections));
    QCOMPARE(lines.mid(2, extraArguments.size()), extraArguments);
    QCOMPARE(lines.value(2 + extraArguments.size()), name + QStringLiteral("\tinstall"));
    QFile::remove(selections);
}

void TestPackageManager::runSynapticWithoutLauncher()
{
    // Not executable: cannot be started.
    writeLauncher(0, false);
    qputenv("PATH", m_dir.filePath(QStringLiteral("bin")).toLocal8Bit());
    const bool started =
        PackageManager::runSynapticWithPackageSelected(QStringLiteral("linux-tools-x"), false);
    qputenv("PATH", m_dir.filePath(QStringLiteral("bin")).toLocal8Bit() + ':' + m_oldPath);
    QVERIFY(!started);
    // No selections file is left behind.
    QCOMPARE(QDir(m_dir.filePath(QStringLiteral("tmp"))).entryList(QDir::Files), QStringList());
}

QTEST_MAIN(TestPackageManager)
#include "tst_packagemanager.moc"
