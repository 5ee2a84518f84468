// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "privatebus.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

#include <signal.h>

PrivateBus::PrivateBus()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("services"));
}

PrivateBus::~PrivateBus()
{
    stop();
}

QString PrivateBus::serviceDir() const
{
    return m_dir.filePath(QStringLiteral("services"));
}

void PrivateBus::addActivatableService(const QString &name, const QString &command)
{
    QFile file(serviceDir() + QLatin1Char('/') + name + QStringLiteral(".service"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QTextStream out(&file);
        out << "[D-BUS Service]\nName=" << name << "\nExec=" << command << "\n";
    }
    if (m_daemon.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(m_daemon.processId()), SIGHUP); // reload the service folder
}

void PrivateBus::removeActivatableService(const QString &name)
{
    QFile::remove(serviceDir() + QLatin1Char('/') + name + QStringLiteral(".service"));
    if (m_daemon.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(m_daemon.processId()), SIGHUP);
}

bool PrivateBus::start()
{
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = QStringLiteral("cannot write %1").arg(config);
        return false;
    }
    QTextStream out(&file);
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:dir="
        << m_dir.path()
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <servicedir>"
        << serviceDir()
        << "</servicedir>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_type=\"method_call\"/>\n"
           "    <allow send_destination=\"*\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    file.close();

    m_daemon.setProgram(QStringLiteral("dbus-daemon"));
    m_daemon.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                           QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon.start(QIODevice::ReadOnly);
    if (!m_daemon.waitForStarted(10000)) {
        m_error = QStringLiteral("dbus-daemon did not start: %1").arg(m_daemon.errorString());
        return false;
    }
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(10000)) {
            m_error = QStringLiteral("dbus-daemon printed no address");
            stop();
            return false;
        }
    }
    m_address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toLocal8Bit());
    return true;
}

void PrivateBus::stop()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(5000);
        }
    }
}

bool PrivateBus::isRunning() const
{
    return m_daemon.state() == QProcess::Running;
}
