// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The Manager's list files: the exact form written, atomic rewrites, and
// no damage to a file that cannot be read; the packet-filter rules made
// from the share-access setting.

#include "listfile.h"
#include "shareaccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class ListFileTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void add_data();
    void add();
    void remove_data();
    void remove();
    void read();
    void createsMissingFolder();
    void unreadableFileIsReportedAndKept();
    void nftScript_data();
    void nftScript();

private:
    static QByteArray contentOf(const QString &path);
    static void write(const QString &path, const QByteArray &content);
};

QByteArray ListFileTest::contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void ListFileTest::write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void ListFileTest::add_data()
{
    QTest::addColumn<QByteArray>("before"); // "<missing>": no file
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("changed");
    QTest::newRow("missing file") << QByteArray("<missing>") << "abcd:1234"
                                  << QByteArray("abcd:1234\n") << true;
    QTest::newRow("empty file") << QByteArray() << "abcd:1234" << QByteArray("abcd:1234\n") << true;
    QTest::newRow("appended") << QByteArray("0781:5567\n") << "abcd:1234"
                              << QByteArray("0781:5567\nabcd:1234\n") << true;
    QTest::newRow("already there") << QByteArray("abcd:1234\n0781:5567\n") << "abcd:1234"
                                   << QByteArray("abcd:1234\n0781:5567\n") << false;
    QTest::newRow("last line without newline")
        << QByteArray("0781:5567") << "abcd:1234" << QByteArray("0781:5567\nabcd:1234\n") << true;
    QTest::newRow("already there without newline")
        << QByteArray("abcd:1234") << "abcd:1234" << QByteArray("abcd:1234") << false;
}

void ListFileTest::add()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, entry);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list"));
    if (before != "<missing>") {
        write(path, before);
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    }
    ListFile file(path);
    bool changed = false;
    QString error;
    QVERIFY2(file.add(entry, &error, &changed), qPrintable(error));
    QTEST(changed, "changed");
    QTEST(contentOf(path), "after");
    // A rewrite keeps the list's mode and leaves no temporary file behind.
    struct stat written = {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &written), 0);
    QCOMPARE(written.st_mode & 07777, before == "<missing>" ? 0644U : 0640U);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"list"});
}

void ListFileTest::remove_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("changed");
    QTest::newRow("every equal line") << QByteArray("abcd:1234\n0781:5567\nabcd:1234\n")
                                      << "abcd:1234" << QByteArray("0781:5567\n") << true;
    QTest::newRow("last entry leaves an empty file")
        << QByteArray("abcd:1234\n") << "abcd:1234" << QByteArray() << true;
    QTest::newRow("empty lines dropped, final newline added")
        << QByteArray("a/1-1/\n\nabcd:1234\nb/1-1/") << "abcd:1234"
        << QByteArray("a/1-1/\nb/1-1/\n") << true;
    QTest::newRow("absent entry leaves the file untouched")
        << QByteArray("0781:5567\n\n") << "abcd:1234" << QByteArray("0781:5567\n\n") << false;
    QTest::newRow("no partial match") << QByteArray("abcd:12345\n abcd:1234\n") << "abcd:1234"
                                      << QByteArray("abcd:12345\n abcd:1234\n") << false;
    QTest::newRow("missing file stays missing")
        << QByteArray("<missing>") << "abcd:1234" << QByteArray("<missing>") << false;
}

void ListFileTest::remove()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, entry);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list"));
    if (before != "<missing>")
        write(path, before);
    ListFile file(path);
    bool changed = false;
    QString error;
    QVERIFY2(file.remove(entry, &error, &changed), qPrintable(error));
    QTEST(changed, "changed");
    QTEST(contentOf(path), "after");
}

void ListFileTest::read()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list"));
    QStringList lines{QStringLiteral("stale")};
    QVERIFY(ListFile(path).read(&lines));
    QVERIFY(lines.isEmpty());
    write(path, "a\n\n b \nc");
    QVERIFY(ListFile(path).read(&lines));
    QCOMPARE(lines, (QStringList{"a", " b ", "c"}));
}

void ListFileTest::createsMissingFolder()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("etc/usbip/shared-usb-devices"));
    QString error;
    QVERIFY2(ListFile(path).add(QStringLiteral("abcd:1234"), &error), qPrintable(error));
    QCOMPARE(contentOf(path), QByteArray("abcd:1234\n"));
}

void ListFileTest::unreadableFileIsReportedAndKept()
{
    // Something that exists under the file's name but cannot be read as a
    // file (this also holds when the tests run as root).
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list"));
    QVERIFY(QDir().mkpath(path + QStringLiteral("/keep")));

    ListFile file(path);
    QString error;
    QStringList lines;
    QVERIFY(!file.read(&lines, &error));
    QVERIFY(error.contains(path));
    error.clear();
    QVERIFY(!file.add(QStringLiteral("0781:5567"), &error));
    QVERIFY(!error.isEmpty());
    error.clear();
    QVERIFY(!file.remove(QStringLiteral("abcd:1234"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(path + QStringLiteral("/keep")).isDir());
}

void ListFileTest::nftScript_data()
{
    // The rules themselves are checked on a real packet filter (the
    // namespace test); here: which host goes into which family's set.
    QTest::addColumn<bool>("restricted");
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QString>("ipv4"); // the set's elements; "-": no table at all
    QTest::addColumn<QString>("ipv6");

    QTest::newRow("any host: no table") << false << QStringList{"10.0.0.1"} << "-"
                                        << "-";
    QTest::newRow("only this machine: empty sets") << true << QStringList() << ""
                                                   << "";
    QTest::newRow("each family in its set")
        << true << QStringList{"192.168.1.20", "fd00::/64", "192.168.1.0/24", "::"}
        << "192.168.1.20, 192.168.1.0/24"
        << "fd00::/64, ::";
    QTest::newRow("IPv6 only") << true << QStringList{"fe80::1"} << ""
                               << "fe80::1";
}

void ListFileTest::nftScript()
{
    QFETCH(bool, restricted);
    QFETCH(QStringList, hosts);
    const QString script = QString::fromUtf8(Access::nftScript({restricted, hosts}));
    // Every script first drops the table of before, whether there is one or not.
    QVERIFY(script.startsWith(QLatin1String("table inet ovra_admin_usbip\n"
                                            "delete table inet ovra_admin_usbip\n")));
    auto elements = [&script](const char *set) {
        const QRegularExpression pattern(
            QStringLiteral("set %1 \\{[^}]*?(?:elements = \\{ ([^}]*) \\})?\\s*\\}")
                .arg(QLatin1String(set)));
        const QRegularExpressionMatch match = pattern.match(script);
        return match.hasMatch() ? match.captured(1) : QStringLiteral("-");
    };
    QTEST(elements("allowed_ipv4"), "ipv4");
    QTEST(elements("allowed_ipv6"), "ipv6");
}

QTEST_GUILESS_MAIN(ListFileTest)
#include "tst_listfile.moc"
