// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "nethelpers.h"
#include "testenvironment.h"

#include <QtTest>

// Look-ups answered from a hosts-format file alone: what the test runs and
// the sandbox use so that no query ever leaves the machine.
class TestHostsFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        const QString hosts = m_env.writeFile(QStringLiteral("hosts"),
                                              "# comment line\n"
                                              "127.0.0.1 localhost\n"
                                              "127.0.4.1   alpha.sandbox alpha # first host\n"
                                              "127.0.4.2\tbeta.sandbox\n"
                                              "not-an-address gamma.sandbox\n");
        qputenv("OVRA_RESOLVER_HOSTS_FILE", hosts.toLocal8Bit());
    }

    void lookUps_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        QTest::newRow("name") << "alpha.sandbox"
                              << "127.0.4.1"
                              << "alpha.sandbox";
        QTest::newRow("alias") << "alpha"
                               << "127.0.4.1"
                               << "alpha.sandbox";
        QTest::newRow("name in capitals") << "BETA.sandbox"
                                          << "127.0.4.2"
                                          << "beta.sandbox";
        QTest::newRow("address with a name") << "127.0.4.2"
                                             << "127.0.4.2"
                                             << "beta.sandbox";
        QTest::newRow("address without a name") << "127.0.4.9"
                                                << "127.0.4.9"
                                                << "127.0.4.9";
        QTest::newRow("unknown name") << "nowhere.sandbox" << QString() << QString();
        QTest::newRow("line with a broken address") << "gamma.sandbox" << QString() << QString();
    }

    void lookUps()
    {
        QFETCH(QString, host);
        QFETCH(QString, address);
        QFETCH(QString, name);
        QCOMPARE(hostAddress(host), address);
        QCOMPARE(hostAddress(host).isNull(), address.isNull());
        QCOMPARE(hostName(host), name);
    }

private:
    TestEnvironment m_env;
};

QTEST_GUILESS_MAIN(TestHostsFile)
#include "tst_hostsfile.moc"
