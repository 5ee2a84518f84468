// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Local devices table: which devices become rows, their shared state, and
// how the shared state follows the service between resets.

#include "localusbdevicesmodel.h"
#include "testicontheme.h"
#include "testworld.h"
#include "tooloutput.h"
#include "usbipserver.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

using ToolOutput::localBlock;
using ToolOutput::remoteBlock;

const QByteArray LocalList = localBlock("1-1", "abcd:12ef", "Acme Corp. : Flash One")
    + localBlock("2-1", "abcd:2222", "Acme Corp. : Flash Two")
    + localBlock("3-1", "0781:5567", "SanDisk Corp. : Cruzer Blade")
    + localBlock("5-1", "1234:5678", "Other Inc. : Mouse");

// What the local daemon exports: 1-1 and 2-1, and 4-1 which `list -l` does
// not show.
QByteArray exportedList()
{
    return ToolOutput::remoteHeader("localhost")
        + remoteBlock("1-1", "Acme Corp. : Flash One (abcd:12ef)")
        + remoteBlock("2-1", "Acme Corp. : Flash Two (abcd:2222)")
        + remoteBlock("4-1", "Ghost Ltd. : Gone (dead:beef)");
}

const QStringList ListLocal{QStringLiteral("list"), QStringLiteral("-l")};
const QStringList ListLocalhost{QStringLiteral("list"), QStringLiteral("-r"),
                                QStringLiteral("localhost")};

QStringList rowBusids(const LocalUsbDevicesModel &model)
{
    QStringList result;
    for (int row = 0; row < model.rowCount(); ++row)
        result << model.index(row, 0).data().toString();
    return result;
}

class TestModeGuard
{
public:
    explicit TestModeGuard(const QByteArray &value, bool set)
    {
        if (set)
            qputenv("TESTMODE", value);
        else
            qunsetenv("TESTMODE");
    }
    ~TestModeGuard() { qunsetenv("TESTMODE"); }
};

} // namespace

class TestLocalModel : public QObject, protected TestWorld
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void rowsFollowTestMode_data();
    void rowsFollowTestMode();
    void rowStates_data();
    void rowStates();
    void sharedAndUnsharedAreIdempotent();
    void failingExportListShowsUnshared();
    void testerThroughResets();
    void lookupsOnMissingRows();

private:
    TestIconTheme m_icons;
    std::unique_ptr<UsbIpServer> m_server;
};

void TestLocalModel::initTestCase()
{
    QVERIFY2(startWorld(), qPrintable(worldError()));
    QVERIFY(m_icons.install(
        {{QStringLiteral("rud-device"), Qt::red}, {QStringLiteral("device-device"), Qt::green}}));

    qputenv("SOLID_FAKEHW",
            QFile::encodeName(QString::fromLocal8Bit(qgetenv("OVRA_TEST_DATA_DIR"))
                              + QStringLiteral("/localmodel-drives.xml")));
    m_server.reset(new UsbIpServer);
    if (!m_server->storageBusIds().contains(QStringLiteral("3-1")))
        QSKIP("the test drive does not qualify here (no fake hardware)");
}

void TestLocalModel::init()
{
    QVERIFY2(resetWorld(), qPrintable(worldError()));
    m_usbip->setResponse(ListLocal, LocalList);
    m_usbip->setResponse(ListLocalhost, exportedList());
    m_env->writeConfigFile(QStringLiteral("shared-usb-devices"), "abcd:12ef\n");
    qunsetenv("TESTMODE");
}

void TestLocalModel::cleanupTestCase()
{
    m_server.reset();
    m_manager.reset();
}

void TestLocalModel::rowsFollowTestMode_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<QStringList>("rows");

    // 1-1 and 2-1 are exported, 3-1 is a storage drive, 5-1 is neither.
    const QStringList normal{QStringLiteral("1-1"), QStringLiteral("2-1"), QStringLiteral("3-1")};
    const QStringList all = normal + QStringList{QStringLiteral("5-1")};
    QTest::newRow("unset") << false << QByteArray() << false << normal;
    QTest::newRow("0") << true << QByteArray("0") << false << normal;
    QTest::newRow("empty") << true << QByteArray("") << false << normal;
    QTest::newRow("a word") << true << QByteArray("yes") << false << normal;
    QTest::newRow("1") << true << QByteArray("1") << true << all;
    QTest::newRow("7") << true << QByteArray("7") << true << all;
}

void TestLocalModel::rowsFollowTestMode()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    QFETCH(bool, testMode);
    QFETCH(QStringList, rows);

    TestModeGuard guard(value, set);
    LocalUsbDevicesModel model(*m_server);
    QCOMPARE(model.m_testMode, testMode);
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(m_server->update());
    QCOMPARE(rowBusids(model), rows);
}

void TestLocalModel::rowStates_data()
{
    QTest::addColumn<QString>("busid");
    QTest::addColumn<QString>("vidpid");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("shared");
    QTest::addColumn<QColor>("icon");

    QTest::newRow("exported, in the constant file") << "1-1"
                                                    << "ABCD:12EF"
                                                    << "shared (constantly)"
                                                    << "Flash One" << true << QColor(Qt::red);
    QTest::newRow("exported for the session") << "2-1"
                                              << "ABCD:2222"
                                              << "shared (session)"
                                              << "Flash Two" << true << QColor(Qt::red);
    QTest::newRow("storage drive, not exported") << "3-1"
                                                 << "0781:5567"
                                                 << "unshared"
                                                 << "Cruzer Blade" << false << QColor(Qt::green);
}

void TestLocalModel::rowStates()
{
    QFETCH(QString, busid);
    QFETCH(QString, vidpid);
    QFETCH(QString, status);
    QFETCH(QString, name);
    QFETCH(bool, shared);
    QFETCH(QColor, icon);

    LocalUsbDevicesModel model(*m_server);
    QVERIFY(m_server->update());
    const QModelIndex index = model.indexOf(busid);
    QVERIFY(index.isValid());
    QCOMPARE(index.column(), 0);
    const int row = index.row();

    QCOMPARE(model.columnCount(), 4);
    QCOMPARE(model.data(model.index(row, 0)).toString(), busid);
    QCOMPARE(model.data(model.index(row, 1)).toString(), vidpid);
    QCOMPARE(model.data(model.index(row, 2)).toString(), status);
    QCOMPARE(model.data(model.index(row, 3)).toString(), name);
    QCOMPARE(model.isShared(index), shared);
    QCOMPARE(model.busidAt(model.index(row, 2)), busid);
    QCOMPARE(model.deviceAt(index).name(), name);

    // The icon belongs to the bus id column, the tool tip to the name column.
    const QVariant decoration = model.data(index, Qt::DecorationRole);
    QVERIFY(decoration.canConvert<QIcon>());
    QCOMPARE(TestIconTheme::colourAt(decoration.value<QIcon>(), 16, 16), icon);
    for (int column = 1; column < 4; ++column)
        QVERIFY(!model.data(model.index(row, column), Qt::DecorationRole).isValid());
    QCOMPARE(model.data(model.index(row, 3), Qt::ToolTipRole).toString(), name);
    for (int column = 0; column < 3; ++column)
        QVERIFY(!model.data(model.index(row, column), Qt::ToolTipRole).isValid());
    QVERIFY(!model.data(index, Qt::EditRole).isValid());
}

void TestLocalModel::sharedAndUnsharedAreIdempotent()
{
    LocalUsbDevicesModel model(*m_server);
    QVERIFY(m_server->update());
    const QModelIndex stick = model.indexOf(QStringLiteral("3-1"));
    QVERIFY(stick.isValid());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    // Share constantly through the Manager: the row follows at once.
    QVERIFY(m_server->share(model.deviceAt(stick), true));
    QCOMPARE(m_manager->calls().last().arguments,
             (QVariantList{QStringLiteral("3-1"), QStringLiteral("0781:5567")}));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().at(0).toModelIndex(), model.index(stick.row(), 0));
    QCOMPARE(changed.first().at(1).toModelIndex(), model.index(stick.row(), 3));
    QCOMPARE(model.index(stick.row(), 2).data().toString(), QStringLiteral("shared (constantly)"));
    QCOMPARE(TestIconTheme::colourAt(stick.data(Qt::DecorationRole).value<QIcon>(), 16, 16),
             QColor(Qt::red));

    // A second share, for the session, does not turn it into a session share.
    QVERIFY(m_server->share(model.deviceAt(stick), false));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(model.index(stick.row(), 2).data().toString(), QStringLiteral("shared (constantly)"));

    QVERIFY(m_server->unshare(model.deviceAt(stick)));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(model.index(stick.row(), 2).data().toString(), QStringLiteral("unshared"));
    QVERIFY(!model.isShared(stick));

    // Unsharing what is not shared changes nothing.
    QVERIFY(m_server->unshare(model.deviceAt(stick)));
    QCOMPARE(changed.count(), 2);

    // A share the Manager refuses leaves the row alone.
    m_manager->setReply(QStringLiteral("ShareDevice"), FakeManager::reply(false));
    QVERIFY(!m_server->share(model.deviceAt(stick), false));
    QCOMPARE(changed.count(), 2);
    QVERIFY(!model.isShared(stick));

    // A signal for a bus id without a row is remembered but touches no row.
    Q_EMIT m_server->shared(QStringLiteral("9-9"), false);
    QCOMPARE(changed.count(), 2);
}

void TestLocalModel::failingExportListShowsUnshared()
{
    m_usbip->setResponse(ListLocalhost, QByteArray(),
                         "usbip: error: could not connect to localhost:3240: System error\n", 1);
    LocalUsbDevicesModel model(*m_server);
    QSignalSpy errors(&model, &LocalUsbDevicesModel::error);
    QVERIFY(m_server->update());
    QCOMPARE(rowBusids(model), QStringList{QStringLiteral("3-1")});
    QCOMPARE(model.index(0, 2).data().toString(), QStringLiteral("unshared"));
    // Not silently: the failure is reported once, with the tool's reason.
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).toString(),
             QStringLiteral("Error updating the list of shared devices!"));
    QCOMPARE(errors.first().at(1).toString(),
             QStringLiteral("usbip: error: could not connect to localhost:3240: System error"));
}

void TestLocalModel::testerThroughResets()
{
    TestModeGuard guard("1", true);
    LocalUsbDevicesModel model(*m_server);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(m_server->update());
    QCOMPARE(model.rowCount(), 4);
    QVERIFY(m_server->share(model.deviceAt(model.indexOf(QStringLiteral("5-1"))), false));
    QVERIFY(m_server->unshare(model.deviceAt(model.indexOf(QStringLiteral("1-1")))));

    // The tool fails: the table empties itself, without asking for the
    // exports (no wait, no second box).
    m_usbip->setResponse(ListLocal, QByteArray(), "usbip: error: failed\n", 1);
    m_usbip->clearCalls();
    QVERIFY(!m_server->update());
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(m_usbip->calls(), QList<QStringList>{ListLocal});

    m_usbip->setResponse(ListLocal, LocalList.left(LocalList.indexOf(" - busid 3-1")));
    QVERIFY(m_server->update());
    QCOMPARE(rowBusids(model), (QStringList{QStringLiteral("1-1"), QStringLiteral("2-1")}));
}

void TestLocalModel::lookupsOnMissingRows()
{
    LocalUsbDevicesModel model(*m_server);
    QVERIFY(m_server->update());

    QVERIFY(!model.indexOf(QStringLiteral("9-9")).isValid());
    QVERIFY(!model.indexOf(QString()).isValid());
    QCOMPARE(model.busidAt(QModelIndex()), QString());
    QVERIFY(model.deviceAt(QModelIndex()) == UsbDevice());
    QVERIFY(!model.isShared(QModelIndex()));
    QVERIFY(!model.data(QModelIndex()).isValid());

    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("BUSID"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("VID:PID"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Status"));
    QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("Name"));
    QCOMPARE(model.headerData(4, Qt::Horizontal).toString(), QString());
}

QTEST_MAIN(TestLocalModel)
#include "tst_localmodel.moc"
