// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "testenvironment.h"

#include "nethelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

TestEnvironment::TestEnvironment()
{
    QDir root(m_dir.path());
    for (const char *sub : {"home", "config", "data", "cache", "runtime", "etc-usbip"})
        root.mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", root.filePath(QStringLiteral("home")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", root.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", root.filePath(QStringLiteral("cache")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", root.filePath(QStringLiteral("runtime")).toLocal8Bit());
    qputenv("OVRA_USBIP_CONFIG_DIR", configDir().toLocal8Bit());
    // No look-up ever leaves the machine: the test run's hosts file answers.
    setHostsFile(qEnvironmentVariable("OVRA_RESOLVER_HOSTS_FILE"));
}

Platform TestEnvironment::platform() const
{
    Platform platform;
    platform.configDir = configDir();
    platform.hostsFile = qEnvironmentVariable("OVRA_RESOLVER_HOSTS_FILE");
    return platform;
}

TestEnvironment::~TestEnvironment() = default;

QString TestEnvironment::configDir() const
{
    return m_dir.filePath(QStringLiteral("etc-usbip"));
}

void TestEnvironment::writeConfigFile(const QString &name, const QByteArray &content) const
{
    writeFile(QStringLiteral("etc-usbip/") + name, content);
}

QByteArray TestEnvironment::readConfigFile(const QString &name) const
{
    QFile file(configDir() + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestEnvironment::removeConfigFile(const QString &name) const
{
    QFile::remove(configDir() + QLatin1Char('/') + name);
}

QString TestEnvironment::writeFile(const QString &relativePath, const QByteArray &content) const
{
    const QString path = m_dir.filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}
