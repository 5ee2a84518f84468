// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "environment.h"
#include "fakeusbip.h"
#include "mainwindow.h"
#include "ovraintegration.h"
#include "privatebus.h"
#include "testenvironment.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeView>
#include <QtTest>

#include <memory>

// The program's window under a Russian locale: the desktop set-up loads the
// compiled catalogue, and the form, the models and the start-up texts show
// their translations.
class TestTranslation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY2(m_bus.start(), qPrintable(m_bus.errorString()));
        ovraInit(OVRA_VERSION_STRING, "Ovra admin usbip");
    }

    void windowTexts_data()
    {
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<QString>("text");
        QTest::newRow("update button") << "m_updateLocalPushButton" << QStringLiteral("Обновить");
        QTest::newRow("share button") << "m_sharePushButton" << QStringLiteral("Предоставить");
        QTest::newRow("host label")
            << "label" << QStringLiteral("Сетевой адрес удалённых USB-накопителей:");
        QTest::newRow("scan button") << "m_scanPushButton" << QStringLiteral("Сканировать сеть...");
    }

    void windowTexts()
    {
        QFETCH(QString, objectName);
        QFETCH(QString, text);
        MainWindow window(platformFromEnvironment());
        auto *widget = window.findChild<QWidget *>(objectName);
        QVERIFY(widget);
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            QCOMPARE(button->text(), text);
        else
            QCOMPARE(qobject_cast<QLabel *>(widget)->text(), text);
    }

    void tabsAndHeaders()
    {
        MainWindow window(platformFromEnvironment());
        auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("m_tabWidget"));
        QVERIFY(tabs);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Локальные USB-накопители"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Удалённые USB-накопители"));
        auto *local = window.findChild<QTreeView *>(QStringLiteral("m_localDevicesTreeView"));
        QVERIFY(local && local->model());
        QCOMPARE(local->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("BUSID"));
        QCOMPARE(local->model()->headerData(2, Qt::Horizontal).toString(),
                 QStringLiteral("Состояние"));
        auto *remote = window.findChild<QTreeView *>(QStringLiteral("m_remoteDevicesTreeView"));
        QVERIFY(remote && remote->model());
        QCOMPARE(remote->model()->headerData(0, Qt::Horizontal).toString(),
                 QStringLiteral("IP-адрес"));
    }

    void startupAndServiceTexts()
    {
        QCOMPARE(QCoreApplication::translate("QObject", "Failed to start usbipd service!"),
                 QStringLiteral("Не удалось запустить службу usbipd!"));
        QCOMPARE(QCoreApplication::translate("OvraAdminUsbIpInterface", "Authorization error."),
                 QStringLiteral("Ошибка авторизации."));
        // The headline keeps its trailing line feed in translation.
        QCOMPARE(QCoreApplication::translate("LocalSharing", "Error share device!\n"),
                 QStringLiteral("Ошибка предоставления доступа к устройству!\n"));
        // Russian has three plural forms.
        QCOMPARE(QCoreApplication::translate("ShareAccessDialog",
                                             "Shared devices can be attached by %n host(s).",
                                             nullptr, 22),
                 QStringLiteral("Предоставленные устройства могут подключить 22 узла."));
    }

private:
    TestEnvironment m_env;
    FakeUsbip m_usbip;
    PrivateBus m_bus;
};

int main(int argc, char **argv)
{
    // The locale comes from the environment, as on a Russian desktop.
    qputenv("LC_ALL", "ru_RU.UTF-8");
    qputenv("LANG", "ru_RU.UTF-8");
    qputenv("LANGUAGE", "ru");
    QApplication app(argc, argv);
    TestTranslation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_translation.moc"
