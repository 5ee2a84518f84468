// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The files installed with the Manager service agree with it and with each
// other, and the system tools accept them.

#include "managerservice.h"
#include "ovrausbipmanager.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "Key=value" lines of a systemd unit or a bus activation file.
QMap<QString, QStringList> keyValues(const QByteArray &content)
{
    QMap<QString, QStringList> values;
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray &line : lines) {
        const int equals = line.indexOf('=');
        if (line.startsWith('#') || line.startsWith('[') || equals < 0)
            continue;
        values[QString::fromUtf8(line.left(equals).trimmed())]
            << QString::fromUtf8(line.mid(equals + 1).trimmed());
    }
    return values;
}

const QString SourceDir = QStringLiteral(OVRA_MANAGERD_SOURCE_DIR);
const QString BinaryDir = QStringLiteral(OVRA_MANAGERD_BINARY_DIR);

} // namespace

class InstallFilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void busPolicyIsAccepted();
    void polkitActionsMatchService();
    void activationFileMatchesUnit();
    void accessIsInForceBeforeUsbipd();
    void unitIsAcceptedBySystemd_data();
    void unitIsAcceptedBySystemd();
};

void InstallFilesTest::busPolicyIsAccepted()
{
    const QString policy = SourceDir + QStringLiteral("/org.ovra.admin.usbip.conf");
    QVERIFY(QFile::exists(policy));
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>system</type><listen>unix:dir="
        + dir.path().toUtf8()
        + "</listen><auth>EXTERNAL</auth>"
          "<policy context=\"default\"><allow user=\"*\"/></policy>"
          "<include>"
        + policy.toUtf8() + "</include></busconfig>\n");
    file.close();

    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::SeparateChannels);
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                  QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    QVERIFY(daemon.waitForStarted());
    QTRY_VERIFY2_WITH_TIMEOUT(daemon.canReadLine() || daemon.state() != QProcess::Running,
                              "the bus neither started nor failed", 10000);
    const QByteArray errors = daemon.readAllStandardError();
    QVERIFY2(daemon.state() == QProcess::Running, errors.constData());
    QVERIFY(daemon.readLine().startsWith("unix:"));
    daemon.terminate();
    daemon.waitForFinished();
}

void InstallFilesTest::polkitActionsMatchService()
{
    QXmlStreamReader reader(readAll(SourceDir + QStringLiteral("/org.ovra.admin.usbip.policy")));
    QMap<QString, QStringList> defaults; // action id -> allow_any, allow_inactive, allow_active
    QString action;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        if (reader.name() == QLatin1String("action"))
            action = reader.attributes().value(QLatin1String("id")).toString();
        else if (reader.name().startsWith(QLatin1String("allow_")))
            defaults[action] << reader.readElementText();
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    const QStringList adminKeep{"auth_admin_keep", "auth_admin_keep", "auth_admin_keep"};
    QCOMPARE(defaults.keys(), (QStringList{QLatin1String(OvraUsbIp::AccessAction),
                                           QLatin1String(OvraUsbIp::ConnectAction),
                                           QLatin1String(OvraUsbIp::ShareAction)}));
    for (const QString &action : defaults.keys())
        QCOMPARE(defaults.value(action), adminKeep);
}

void InstallFilesTest::activationFileMatchesUnit()
{
    const auto activation =
        keyValues(readAll(BinaryDir + QStringLiteral("/org.ovra.admin.usbip.service")));
    const auto unit =
        keyValues(readAll(BinaryDir + QStringLiteral("/ovra-admin-usbip-manager.service")));
    QCOMPARE(activation.value(QStringLiteral("Name")), QStringList{OvraUsbIp::ManagerService});
    QCOMPARE(activation.value(QStringLiteral("User")), QStringList{"root"});
    QCOMPARE(activation.value(QStringLiteral("SystemdService")),
             QStringList{"ovra-admin-usbip-manager.service"});
    QCOMPARE(unit.value(QStringLiteral("BusName")), QStringList{OvraUsbIp::ManagerService});
    QCOMPARE(unit.value(QStringLiteral("Type")), QStringList{"dbus"});
    QCOMPARE(unit.value(QStringLiteral("ExecStart")), activation.value(QStringLiteral("Exec")));
    QVERIFY(activation.value(QStringLiteral("Exec"))
                .value(0)
                .endsWith(QStringLiteral("/ovra-admin-usbip-manager")));
    QCOMPARE(unit.value(QStringLiteral("WantedBy")), QStringList{"multi-user.target"});
    // The one folder the service writes: created by systemd, writable though
    // the rest of the system is read-only to it.
    QCOMPARE(unit.value(QStringLiteral("ConfigurationDirectory")), QStringList{"usbip"});
    QVERIFY(!unit.contains(QStringLiteral("ReadWritePaths")));
    QCOMPARE(unit.value(QStringLiteral("ProtectSystem")), QStringList{"strict"});
    // Its own records, and a stop that ends every process of it quickly.
    QCOMPARE(unit.value(QStringLiteral("StateDirectory")), QStringList{"ovra-admin-usbip"});
    QCOMPARE(unit.value(QStringLiteral("KillMode")), QStringList{"control-group"});
}

void InstallFilesTest::accessIsInForceBeforeUsbipd()
{
    // usbipd requires the unit that applies the access list and starts after
    // it; that unit runs the Manager once, without the bus, and stays active.
    const auto dropIn = keyValues(readAll(SourceDir + QStringLiteral("/usbipd-share-access.conf")));
    const auto access =
        keyValues(readAll(BinaryDir + QStringLiteral("/ovra-admin-usbip-access.service")));
    const auto manager =
        keyValues(readAll(BinaryDir + QStringLiteral("/ovra-admin-usbip-manager.service")));
    const QStringList accessUnit{QStringLiteral("ovra-admin-usbip-access.service")};
    QCOMPARE(dropIn.value(QStringLiteral("Requires")), accessUnit);
    QCOMPARE(dropIn.value(QStringLiteral("After")), accessUnit);
    QCOMPARE(access.value(QStringLiteral("ExecStart")),
             QStringList{manager.value(QStringLiteral("ExecStart")).value(0)
                         + QStringLiteral(" --apply-access")});
    QVERIFY(access.value(QStringLiteral("CapabilityBoundingSet"))
                .value(0)
                .contains(QStringLiteral("CAP_NET_ADMIN")));
    QVERIFY(!access.contains(QStringLiteral("PrivateNetwork"))); // the machine's own filter
    // The Manager's unit applies it again at each start, and changes it:
    // nft needs netlink and CAP_NET_ADMIN there too.
    QVERIFY(manager.value(QStringLiteral("RestrictAddressFamilies"))
                .value(0)
                .contains(QStringLiteral("AF_NETLINK")));
    QVERIFY(manager.value(QStringLiteral("CapabilityBoundingSet"))
                .value(0)
                .contains(QStringLiteral("CAP_NET_ADMIN")));
}

void InstallFilesTest::unitIsAcceptedBySystemd_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("the service") << "ovra-admin-usbip-manager.service";
    QTest::newRow("the access at boot") << "ovra-admin-usbip-access.service";
}

void InstallFilesTest::unitIsAcceptedBySystemd()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    QFETCH(QString, name);
    // The unit as installed, pointing at the built executable.
    QByteArray unit = readAll(BinaryDir + QLatin1Char('/') + name);
    const auto values = keyValues(unit);
    unit.replace(values.value(QStringLiteral("ExecStart")).value(0).split(' ').value(0).toUtf8(),
                 QByteArray(OVRA_MANAGERD_EXECUTABLE));
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(unit);
    file.close();

    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), path});
    QVERIFY(verify.waitForFinished(60000));
    const QByteArray output = verify.readAll();
    // Only complaints about this unit count (the host's own units may be odd).
    QByteArray ours;
    for (const QByteArray &line : output.split('\n')) {
        if (line.contains("ovra-admin-usbip-"))
            ours += line + '\n';
    }
    QVERIFY2(ours.isEmpty(), ours.constData());
}

QTEST_GUILESS_MAIN(InstallFilesTest)
#include "tst_installfiles.moc"
