// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The local devices table: how it formats the rows its service hands it.

#include "localdevicesmodel.h"
#include "testicontheme.h"
#include "tooloutput.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(LocalRow::Share)

namespace {

LocalRow row(const QByteArray &busId, const QByteArray &ids, const QByteArray &name,
             LocalRow::Share share)
{
    const QList<UsbDevice> devices = localDevices(
        QString::fromLatin1(ToolOutput::localBlock(busId, ids, "Acme Corp. : " + name)));
    return LocalRow{devices.value(0), share};
}

} // namespace

class TestLocalModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void cells_data();
    void cells();
    void rowChangesAndResets();

private:
    TestIconTheme m_icons;
};

void TestLocalModel::initTestCase()
{
    QVERIFY(m_icons.install(
        {{QStringLiteral("rud-device"), Qt::red}, {QStringLiteral("device-device"), Qt::green}}));
}

void TestLocalModel::cells_data()
{
    QTest::addColumn<LocalRow::Share>("share");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QColor>("icon");

    QTest::newRow("constantly") << LocalRow::Share::Constant << "shared (constantly)"
                                << QColor(Qt::red);
    QTest::newRow("for the session")
        << LocalRow::Share::Session << "shared (session)" << QColor(Qt::red);
    QTest::newRow("not shared") << LocalRow::Share::None << "unshared" << QColor(Qt::green);
}

void TestLocalModel::cells()
{
    QFETCH(LocalRow::Share, share);
    QFETCH(QString, status);
    QFETCH(QColor, icon);

    LocalDevicesModel model;
    model.setRows({row("1-1", "abcd:12ef", "Flash One", share)});
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.columnCount(), int(LocalDevicesModel::ColumnCount));
    const QStringList expected{"1-1", "ABCD:12EF", status, "Flash One"};
    for (int column = 0; column < LocalDevicesModel::ColumnCount; ++column)
        QCOMPARE(model.index(0, column).data().toString(), expected.at(column));
    QCOMPARE(model.headerData(LocalDevicesModel::StatusColumn, Qt::Horizontal).toString(),
             QStringLiteral("Status"));
    QCOMPARE(model.headerData(LocalDevicesModel::ColumnCount, Qt::Horizontal).toString(),
             QString());

    // The icon belongs to the bus id column, the tool tip to the name column.
    const QVariant decoration = model.index(0, 0).data(Qt::DecorationRole);
    QCOMPARE(TestIconTheme::colourAt(decoration.value<QIcon>(), 16, 16), icon);
    for (int column = 1; column < LocalDevicesModel::ColumnCount; ++column)
        QVERIFY(!model.index(0, column).data(Qt::DecorationRole).isValid());
    QCOMPARE(model.index(0, LocalDevicesModel::NameColumn).data(Qt::ToolTipRole).toString(),
             QStringLiteral("Flash One"));
    QVERIFY(!model.index(0, 0).data(Qt::ToolTipRole).isValid());
    QCOMPARE(model.rowAt(model.index(0, 2)).share, share);
}

void TestLocalModel::rowChangesAndResets()
{
    LocalDevicesModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    const QList<LocalRow> rows{row("1-1", "abcd:12ef", "One", LocalRow::Share::None),
                               row("2-1", "abcd:2222", "Two", LocalRow::Share::Session)};
    model.setRows(rows);
    QCOMPARE(model.indexOf(QStringLiteral("2-1")), model.index(1, 0));

    // A row's change: every cell of that row, nothing else.
    LocalRow shared = rows.first();
    shared.share = LocalRow::Share::Constant;
    model.setRow(0, shared);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.first().at(0).toModelIndex(), model.index(0, 0));
    QCOMPARE(changed.first().at(1).toModelIndex(), model.index(0, LocalDevicesModel::NameColumn));
    QCOMPARE(model.index(0, LocalDevicesModel::StatusColumn).data().toString(),
             QStringLiteral("shared (constantly)"));
    model.setRow(5, shared); // no such row
    QCOMPARE(changed.size(), 1);

    // Outside the table: nothing.
    QVERIFY(!model.indexOf(QStringLiteral("9-9")).isValid());
    QVERIFY(!model.rowAt(QModelIndex()).device.isValid());
    QVERIFY(!model.rowAt(model.index(0, 0).siblingAtColumn(9)).device.isValid());
    QVERIFY(!model.data(QModelIndex()).isValid());

    model.setRows({});
    QCOMPARE(model.rowCount(), 0);
    model.setRows(rows);
    QCOMPARE(model.rowCount(), 2);
}

QTEST_MAIN(TestLocalModel)
#include "tst_localmodel.moc"
