// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Linked into every suite of this folder: points XDG_RUNTIME_DIR at a
// private temporary folder before the application object exists, so that
// Qt does not fall back to creating a runtime folder of its own in /tmp.

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

namespace {

struct PrivateRuntimeDir
{
    PrivateRuntimeDir()
    {
        if (!dir.isValid())
            return;
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    }
    QTemporaryDir dir;
};

PrivateRuntimeDir s_runtimeDir;

} // namespace
