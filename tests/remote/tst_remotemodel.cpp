// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The remote devices table: how it formats the rows its service hands it.

#include "remotedevicesmodel.h"
#include "testicontheme.h"
#include "tooloutput.h"

#include <QtTest>

namespace {

RemoteRow row(const QByteArray &busId, const QByteArray &description, bool attached, bool lost,
              const QString &line = QString())
{
    RemoteRow value;
    value.device =
        exportedDevices(QString::fromLatin1(ToolOutput::remoteHeader("nas")
                                            + ToolOutput::remoteBlock(busId, description)),
                        QStringLiteral("nas"))
            .value(0);
    value.lost = lost;
    value.port = attached ? QStringLiteral("00") : QString();
    value.constantLine = line;
    return value;
}

} // namespace

class TestRemoteModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void cells_data();
    void cells();

private:
    TestIconTheme m_icons;
};

void TestRemoteModel::initTestCase()
{
    QVERIFY(m_icons.install({{QStringLiteral("rud-device"), Qt::red},
                             {QStringLiteral("device-device"), Qt::green},
                             {QStringLiteral("rud-off"), Qt::blue}}));
}

void TestRemoteModel::cells_data()
{
    QTest::addColumn<RemoteRow>("value");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QColor>("iconCentre");
    QTest::addColumn<QColor>("iconCorner");

    const QByteArray stick("Acme : Stick (abcd:1111)");
    QTest::newRow("connected constantly")
        << row("1-1", stick, true, false, "NAS/1-1/abcd:1111")
        << QStringList{"nas", "1-1", "ABCD:1111", "connected (constantly)", "Stick"}
        << QColor(Qt::red) << QColor(Qt::red);
    QTest::newRow("connected for the session")
        << row("2-1", stick, true, false)
        << QStringList{"nas", "2-1", "ABCD:1111", "connected (session)", "Stick"} << QColor(Qt::red)
        << QColor(Qt::red);
    QTest::newRow("disconnected, though kept constantly")
        << row("3-1", stick, false, false, "nas/3-1/abcd:1111")
        << QStringList{"nas", "3-1", "ABCD:1111", "disconnected", "Stick"} << QColor(Qt::green)
        << QColor(Qt::green);
    QTest::newRow("lost connection: the overlay in the corner")
        << row("4-1", stick, false, true)
        << QStringList{"nas", "4-1", "ABCD:1111", "lost connection", "Stick"} << QColor(Qt::red)
        << QColor(Qt::blue);
    QTest::newRow("lost constant connection: the Manager is healing it")
        << row("5-1", stick, false, true, "nas/5-1/abcd:1111")
        << QStringList{"nas", "5-1", "ABCD:1111", "lost connection (connecting again)", "Stick"}
        << QColor(Qt::red) << QColor(Qt::blue);
    QTest::newRow("without ids") << row("6-1", "Acme Corp. : Thing", false, false)
                                 << QStringList{"nas", "6-1", "", "disconnected", "Thing"}
                                 << QColor(Qt::green) << QColor(Qt::green);
}

void TestRemoteModel::cells()
{
    QFETCH(RemoteRow, value);
    QFETCH(QStringList, texts);
    QFETCH(QColor, iconCentre);
    QFETCH(QColor, iconCorner);

    RemoteDevicesModel model;
    model.setRows({value});
    QCOMPARE(model.columnCount(), int(RemoteDevicesModel::ColumnCount));
    QStringList shown;
    for (int column = 0; column < RemoteDevicesModel::ColumnCount; ++column)
        shown << model.index(0, column).data().toString();
    QCOMPARE(shown, texts);
    QCOMPARE(model.index(0, RemoteDevicesModel::NameColumn).data(Qt::ToolTipRole).toString(),
             texts.last());
    QCOMPARE(model.index(0, RemoteDevicesModel::StatusColumn).data(Qt::ToolTipRole).isValid(),
             value.isHealing());
    const QIcon icon = model.index(0, 0).data(Qt::DecorationRole).value<QIcon>();
    QCOMPARE(TestIconTheme::colourAt(icon, 8, 8), iconCentre);
    QCOMPARE(TestIconTheme::colourAt(icon, 28, 28), iconCorner);
    QVERIFY(!model.index(0, 1).data(Qt::DecorationRole).isValid());
    QCOMPARE(model.rowAt(model.index(0, 3)).device.deviceId(), value.device.deviceId());
    QCOMPARE(model.indexOf(value.device.deviceId()), model.index(0, 0));
}

QTEST_MAIN(TestRemoteModel)
#include "tst_remotemodel.moc"
