// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "platform.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Keeps a test inside one temporary folder: HOME, the XDG folders (user
// settings land there) and the /etc/usbip folder of the program (through
// OVRA_USBIP_CONFIG_DIR and platform()) all point into it; host names are
// looked up in the test run's hosts file alone.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    // The folder that stands in for /etc/usbip (created on demand).
    QString configDir() const;
    // The platform of the window's services: the configuration folder above,
    // the hosts file of the test run, the rest as on a real machine.
    Platform platform() const;
    // Writes a file of the configuration folder (blacklist, shared-usb-devices,
    // remote-usb-devices).
    void writeConfigFile(const QString &name, const QByteArray &content) const;
    QByteArray readConfigFile(const QString &name) const;
    void removeConfigFile(const QString &name) const;

    // Writes any file below the temporary folder, creating parent folders.
    QString writeFile(const QString &relativePath, const QByteArray &content) const;

private:
    QTemporaryDir m_dir;
};
