// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraicons.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QtTest>

class TestIcons : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void ownIconsResolve_data();
    void ownIconsResolve();
    void themeNameOnlySetWhenNone();
    void fallbackPathAddedOnce();
    void installedThemeIconWins();

private:
    static int opaquePixels(const QImage &image);
};

void TestIcons::initTestCase()
{
    ovraInstallIconFallback();
}

int TestIcons::opaquePixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 128)
                ++count;
    return count;
}

void TestIcons::ownIconsResolve_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    // minimum share of the square the icon covers: the badge is a disc, the
    // others are drawn shapes on a transparent ground
    QTest::addColumn<int>("minPercent");

    const QList<int> sizes{16, 22, 32, 48};
    for (int size : sizes) {
        const QByteArray s = QByteArray::number(size);
        QTest::newRow("rud-devices@" + s) << "rud-devices" << size << 30;
        QTest::newRow("rud-device@" + s) << "rud-device" << size << 25;
        QTest::newRow("device-device@" + s) << "device-device" << size << 25;
        QTest::newRow("rud-off@" + s) << "rud-off" << size << 60;
    }
}

void TestIcons::ownIconsResolve()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(int, minPercent);

    QVERIFY2(QIcon::hasThemeIcon(name), qPrintable(name));
    const QIcon icon = QIcon::fromTheme(name);
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.name(), name);

    const QImage image = icon.pixmap(size, size).toImage();
    QCOMPARE(image.size(), QSize(size, size));
    const int percent = 100 * opaquePixels(image) / (size * size);
    QVERIFY2(percent >= minPercent,
             qPrintable(QStringLiteral("%1 covers %2% at %3 px").arg(name).arg(percent).arg(size)));
}

void TestIcons::themeNameOnlySetWhenNone()
{
    const QString saved = QIcon::themeName();

    // As on a bare X display: the system's icon folder is searched, but no
    // desktop names a theme.
    const QStringList savedPaths = QIcon::themeSearchPaths();
    QIcon::setThemeSearchPaths(savedPaths + QStringList{QStringLiteral("/usr/share/icons")});
    QIcon::setFallbackThemeName(QString());
    QIcon::setThemeName(QString());
    ovraInstallIconFallback();
    QCOMPARE(QIcon::themeName(), QStringLiteral("hicolor"));
    // The window's stock icons come from an installed complete theme then.
    if (QFileInfo::exists(QStringLiteral("/usr/share/icons/breeze/index.theme"))) {
        QCOMPARE(QIcon::fallbackThemeName(), QStringLiteral("breeze"));
        for (const char *stock : {"view-refresh", "system-search", "media-playback-stop"})
            QVERIFY2(QIcon::hasThemeIcon(QString::fromLatin1(stock)), stock);
    }
    QIcon::setThemeSearchPaths(savedPaths);

    QIcon::setThemeName(QStringLiteral("ovra-test-desktop-theme"));
    ovraInstallIconFallback();
    QCOMPARE(QIcon::themeName(), QStringLiteral("ovra-test-desktop-theme"));
    // a desktop theme without the name still leaves the own icon reachable
    QVERIFY(!QIcon::fromTheme(QStringLiteral("rud-device")).isNull());

    QIcon::setThemeName(saved);
}

void TestIcons::fallbackPathAddedOnce()
{
    ovraInstallIconFallback();
    ovraInstallIconFallback();
    QCOMPARE(QIcon::fallbackSearchPaths().count(QString::fromLatin1(ovraIconFallbackPath())), 1);
    QVERIFY(QFile::exists(QString::fromLatin1(ovraIconFallbackPath())
                          + QStringLiteral("/rud-devices.svg")));
}

void TestIcons::installedThemeIconWins()
{
    // An installed theme copy (here a plain magenta square) is preferred to
    // the compiled-in icon of the same name.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString themeDir = dir.path() + QStringLiteral("/ovra-test-theme");
    QVERIFY(QDir().mkpath(themeDir + QStringLiteral("/scalable/devices")));

    QFile index(themeDir + QStringLiteral("/index.theme"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=Test\nDirectories=scalable/devices\n\n"
                "[scalable/devices]\nSize=32\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    index.close();
    QFile svg(themeDir + QStringLiteral("/scalable/devices/rud-device.svg"));
    QVERIFY(svg.open(QIODevice::WriteOnly));
    svg.write("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\">"
              "<rect width=\"32\" height=\"32\" fill=\"#ff00ff\"/></svg>");
    svg.close();

    const QStringList savedPaths = QIcon::themeSearchPaths();
    const QString savedTheme = QIcon::themeName();
    QIcon::setThemeSearchPaths({dir.path()});
    QIcon::setThemeName(QStringLiteral("ovra-test-theme"));

    const QImage themed = QIcon::fromTheme(QStringLiteral("rud-device")).pixmap(32, 32).toImage();
    QCOMPARE(QColor(themed.pixel(16, 16)), QColor(Qt::magenta));
    // names the theme lacks still come from the compiled-in copies
    QVERIFY(!QIcon::fromTheme(QStringLiteral("device-device")).isNull());

    QIcon::setThemeName(savedTheme);
    QIcon::setThemeSearchPaths(savedPaths);
    const QImage own = QIcon::fromTheme(QStringLiteral("rud-device")).pixmap(32, 32).toImage();
    QVERIFY(QColor(own.pixel(16, 16)) != QColor(Qt::magenta));
}

QTEST_MAIN(TestIcons)
#include "tst_icons.moc"
