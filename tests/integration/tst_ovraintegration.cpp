// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraintegration.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTranslator>

// Desktop set-up, help window and window geometry.
class TestOvraIntegration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void geometryRoundTrip_data();
    void geometryRoundTrip();
    void offScreenGeometry_data();
    void offScreenGeometry();
    void missingOrBrokenGeometry_data();
    void missingOrBrokenGeometry();

    void initSetsNamesAndTranslator();
    void helpShowsPageAndReusesWindow();
    void helpFallsBackToCompiledPage();

private:
    QSettings *settings() { return m_settings; }
    QRect available() const { return QGuiApplication::primaryScreen()->availableGeometry(); }

    QTemporaryDir m_dir;
    QSettings *m_settings = nullptr;
};

void TestOvraIntegration::init()
{
    QVERIFY(m_dir.isValid());
    QFile::remove(m_dir.filePath(QStringLiteral("settings.ini")));
    m_settings =
        new QSettings(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
}

void TestOvraIntegration::cleanup()
{
    delete m_settings;
    m_settings = nullptr;
}

void TestOvraIntegration::geometryRoundTrip_data()
{
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("group");
    QTest::newRow("top level") << QRect(50, 60, 444, 361) << QString();
    QTest::newRow("in a group") << QRect(10, 20, 300, 200) << QStringLiteral("Window");
    QTest::newRow("small") << QRect(0, 40, 120, 90) << QString();
}

void TestOvraIntegration::geometryRoundTrip()
{
    QFETCH(QRect, geometry);
    QFETCH(QString, group);
    QVERIFY(available().contains(geometry));

    {
        QMainWindow window;
        window.setGeometry(geometry);
        if (!group.isEmpty())
            settings()->beginGroup(group);
        ovraSaveGeometry(&window, *settings(), true);
        if (!group.isEmpty())
            settings()->endGroup();
    }
    settings()->sync();
    QVERIFY(settings()->contains(group.isEmpty() ? QStringLiteral("geometry")
                                                 : group + QStringLiteral("/geometry")));

    QSettings reread(settings()->fileName(), QSettings::IniFormat);
    QMainWindow window;
    window.setGeometry(400, 300, 100, 100);
    if (!group.isEmpty())
        reread.beginGroup(group);
    ovraRestoreGeometry(&window, reread, QRect(1, 2, 3, 4), true);
    QCOMPARE(window.geometry(), geometry);
}

void TestOvraIntegration::offScreenGeometry_data()
{
    QTest::addColumn<QRect>("stored");
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QTest::newRow("far right") << QRect(area.right() + 5000, 100, 300, 200);
    QTest::newRow("far below") << QRect(100, area.bottom() + 5000, 300, 200);
    QTest::newRow("far left and above") << QRect(-6000, -4000, 300, 200);
    QTest::newRow("half off the right edge") << QRect(area.right() - 100, 50, 300, 200);
    QTest::newRow("larger than the screen")
        << QRect(area.left(), area.top(), area.width() + 900, area.height() + 700);
}

void TestOvraIntegration::offScreenGeometry()
{
    QFETCH(QRect, stored);

    // A geometry saved on a screen that is gone: forge it through a window
    // placed there, bypassing the checks.
    {
        QWidget window;
        window.setGeometry(stored);
        settings()->setValue(QStringLiteral("geometry"), window.saveGeometry());
    }

    QWidget window;
    ovraRestoreGeometry(&window, *settings(), QRect(), true);
    const QRect area = available();
    QVERIFY2(area.contains(window.frameGeometry()),
             qPrintable(QStringLiteral("window at %1,%2 %3x%4 outside the screen")
                            .arg(window.x())
                            .arg(window.y())
                            .arg(window.width())
                            .arg(window.height())));
    QVERIFY(window.width() > 0 && window.height() > 0);
    // Shrinking happens only when the window does not fit.
    if (stored.width() <= area.width())
        QCOMPARE(window.width(), stored.width());
}

void TestOvraIntegration::missingOrBrokenGeometry_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QRect>("defaultRect");
    QTest::addColumn<QRect>("expected");

    const QRect own(30, 40, 250, 150);
    QTest::newRow("nothing stored, null default keeps own") << QVariant() << QRect() << own;
    QTest::newRow("nothing stored, default applies")
        << QVariant() << QRect(5, 6, 200, 100) << QRect(5, 6, 200, 100);
    QTest::newRow("garbage stored, default applies")
        << QVariant(QByteArray("not a geometry")) << QRect(7, 8, 210, 110) << QRect(7, 8, 210, 110);
    QTest::newRow("garbage stored, null default keeps own")
        << QVariant(QByteArray("\x01\xd9\xd0\xcb\x00\x03", 6)) << QRect() << own;
    QTest::newRow("a number stored") << QVariant(42) << QRect() << own;
    // A real blob cut off after its first rectangle.
    QWidget saved;
    saved.setGeometry(10, 50, 300, 200);
    QTest::newRow("truncated blob") << QVariant(saved.saveGeometry().left(24)) << QRect() << own;
}

void TestOvraIntegration::missingOrBrokenGeometry()
{
    QFETCH(QVariant, stored);
    QFETCH(QRect, defaultRect);
    QFETCH(QRect, expected);

    if (stored.isValid())
        settings()->setValue(QStringLiteral("geometry"), stored);
    QWidget window;
    window.setGeometry(30, 40, 250, 150);
    ovraRestoreGeometry(&window, *settings(), defaultRect, true);
    QCOMPARE(window.geometry(), expected);
    // Restoring leaves the stored entry alone.
    QCOMPARE(settings()->value(QStringLiteral("geometry")), stored);
}

void TestOvraIntegration::initSetsNamesAndTranslator()
{
    // A translation of the program in the extra data folder.
    QTemporaryDir data;
    QVERIFY(QDir(data.path()).mkpath(QStringLiteral("translations")));
    const QString ts = data.filePath(QStringLiteral("test.ts"));
    {
        QFile file(ts);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                   "<TS version=\"2.1\" language=\"de\"><context><name>QObject</name>"
                   "<message><source>Warning</source><translation>Warnung</translation>"
                   "</message></context></TS>\n");
    }
    const QString qm = data.filePath(QStringLiteral("translations/ovra-admin-usbip_de.qm"));
    if (QProcess::execute(QStringLiteral("lrelease"),
                          {QStringLiteral("-silent"), ts, QStringLiteral("-qm"), qm})
        != 0)
        QSKIP("lrelease is not available");

    Ovra::setExtraDataDirectory(data.path());
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ovraInit("1.2.3", "Test Program");
    QLocale::setDefault(QLocale::c());
    Ovra::setExtraDataDirectory(QString());

    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("ovra"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Test Program"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.2.3"));
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("ovra-admin-usbip"));
    QCOMPARE(QCoreApplication::translate("QObject", "Warning"), QStringLiteral("Warnung"));
    QVERIFY(QSettings().fileName().contains(QStringLiteral("/ovra/")));

    // A language without a catalogue of its own takes the one without a
    // language (of the build tree): the English plural forms.
    QLocale::setDefault(QLocale(QLocale::Welsh));
    ovraInit("1.2.3", "Test Program");
    QLocale::setDefault(QLocale::c());
    QCOMPARE(QCoreApplication::translate("ShareAccessDialog",
                                         "Shared devices can be attached by %n host(s).", nullptr,
                                         2),
             QStringLiteral("Shared devices can be attached by 2 hosts."));
}

void TestOvraIntegration::helpShowsPageAndReusesWindow()
{
    QTemporaryDir data;
    QVERIFY(QDir(data.path()).mkpath(QStringLiteral("help")));
    {
        QFile page(data.filePath(QStringLiteral("help/index.html")));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("<html><body><h1>Override page</h1><p id=\"x\">Anchor</p></body></html>");
    }
    Ovra::setExtraDataDirectory(data.path());
    QCOMPARE(Ovra::helpPagePath(), data.filePath(QStringLiteral("help/index.html")));
    ovraHelpShow(QString());
    Ovra::setExtraDataDirectory(QString());

    QWidget *window = Ovra::helpWindow();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QVERIFY(!window->isModal());
    QVERIFY(!window->testAttribute(Qt::WA_QuitOnClose));
    auto *browser = window->findChild<QTextBrowser *>();
    QVERIFY(browser);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Override page")));

    // Closing hides; the next call shows the same window again, now with
    // the program's own page.
    window->close();
    QVERIFY(!window->isVisible());
    ovraHelpShow(QStringLiteral("trouble"));
    QCOMPARE(Ovra::helpWindow(), window);
    QVERIFY(window->isVisible());
    QVERIFY(browser->toPlainText().contains(QStringLiteral("usbipd")));
    QVERIFY(browser->toPlainText().contains(QStringLiteral("TESTMODE")));
    QVERIFY(browser->toPlainText().contains(QStringLiteral("/etc/usbip")));
}

void TestOvraIntegration::helpFallsBackToCompiledPage()
{
    // The compiled copy exists and holds the same page as the data folder.
    QFile compiled(QStringLiteral(":/ovra-admin-usbip/help/index.html"));
    Ovra::helpPagePath(); // registers the compiled resources
    QVERIFY(compiled.open(QIODevice::ReadOnly));
    const QByteArray content = compiled.readAll();
    QVERIFY(content.contains("Troubleshooting"));
    QVERIFY(content.contains("Manager service"));
}

QTEST_MAIN(TestOvraIntegration)
#include "tst_ovraintegration.moc"
