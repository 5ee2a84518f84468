// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraicon.h"

#include <QImage>
#include <QPixmap>
#include <QTest>

// Overlay icons: the overlay must land in the requested corner with the edge
// length the size function gives, for every size the icon is drawn at.
class TestOvraIcon : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void overlayCorner_data();
    void overlayCorner();
    void degenerateSizes_data();
    void degenerateSizes();
    void copiesStayIndependent();

private:
    static QIcon solid(const QColor &color)
    {
        // Only a large pixmap: the icon is scaled down for smaller sizes.
        QPixmap pixmap(128, 128);
        pixmap.fill(color);
        return QIcon(pixmap);
    }
};

void TestOvraIcon::overlayCorner_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("corner");
    const QList<int> sizes{16, 22, 32, 48, 64, 17};
    const QList<QPair<const char *, Qt::Corner>> corners{{"bottom-right", Qt::BottomRightCorner},
                                                         {"top-left", Qt::TopLeftCorner},
                                                         {"top-right", Qt::TopRightCorner},
                                                         {"bottom-left", Qt::BottomLeftCorner}};
    for (int size : sizes) {
        for (const auto &corner : corners)
            QTest::addRow("%s %d", corner.first, size) << size << int(corner.second);
    }
}

void TestOvraIcon::overlayCorner()
{
    QFETCH(int, size);
    QFETCH(int, corner);

    const QIcon icon =
        OvraIcon::withOverlay(solid(Qt::red), Qt::Corner(corner), solid(Qt::blue), [](int s) {
            return s / 2;
        });
    QVERIFY(!icon.isNull());
    const QImage image = icon.pixmap(size, size).toImage();
    QCOMPARE(image.size(), QSize(size, size));

    const int side = size / 2;
    const bool right = corner == Qt::TopRightCorner || corner == Qt::BottomRightCorner;
    const bool bottom = corner == Qt::BottomLeftCorner || corner == Qt::BottomRightCorner;
    const QRect overlay(right ? size - side : 0, bottom ? size - side : 0, side, side);

    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QColor expected = overlay.contains(x, y) ? QColor(Qt::blue) : QColor(Qt::red);
            if (image.pixelColor(x, y) != expected)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, expected %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(image.pixelColor(x, y).name(), expected.name())));
        }
    }
}

void TestOvraIcon::degenerateSizes_data()
{
    QTest::addColumn<int>("overlaySide"); // what the size function answers
    QTest::addColumn<int>("expectedSide");
    QTest::newRow("zero draws no overlay") << 0 << 0;
    QTest::newRow("negative draws no overlay") << -5 << 0;
    QTest::newRow("larger than the icon covers it") << 500 << 32;
    QTest::newRow("one pixel") << 1 << 1;
}

void TestOvraIcon::degenerateSizes()
{
    QFETCH(int, overlaySide);
    QFETCH(int, expectedSide);

    QList<int> asked;
    const QIcon icon = OvraIcon::withOverlay(solid(Qt::red), Qt::BottomRightCorner, solid(Qt::blue),
                                             [&asked, overlaySide](int s) {
                                                 asked << s;
                                                 return overlaySide;
                                             });
    const QImage image = icon.pixmap(32, 32).toImage();
    QVERIFY(asked.contains(32));
    int blue = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x)
            blue += image.pixelColor(x, y) == QColor(Qt::blue) ? 1 : 0;
    }
    QCOMPARE(blue, expectedSide * expectedSide);
    if (expectedSide > 0)
        QCOMPARE(image.pixelColor(31, 31), QColor(Qt::blue));
}

void TestOvraIcon::copiesStayIndependent()
{
    // A copied icon (QIcon detaches by cloning the engine) draws the same.
    const QIcon icon =
        OvraIcon::withOverlay(solid(Qt::red), Qt::TopLeftCorner, solid(Qt::blue), [](int s) {
            return s / 4;
        });
    QIcon copy = icon;
    copy.addPixmap(QPixmap(8, 8)); // detaches: the engine is cloned
    const QImage a = icon.pixmap(40, 40).toImage();
    const QImage b = copy.pixmap(40, 40).toImage();
    QCOMPARE(a.pixelColor(0, 0), QColor(Qt::blue));
    QCOMPARE(a.pixelColor(10, 10), QColor(Qt::red));
    QCOMPARE(b.pixelColor(0, 0), QColor(Qt::blue));
    QCOMPARE(b.pixelColor(10, 10), QColor(Qt::red));
}

QTEST_MAIN(TestOvraIcon)
#include "tst_ovraicon.moc"
