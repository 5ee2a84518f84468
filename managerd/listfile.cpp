// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "listfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

ListFile::ListFile(const QString &path)
    : m_path(path)
{
}

bool ListFile::readRaw(QByteArray *content, bool *exists, QString *error) const
{
    QFile file(m_path);
    *exists = file.exists();
    if (!*exists) {
        content->clear();
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot read %1: %2").arg(m_path, file.errorString());
        return false;
    }
    *content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("Cannot read %1: %2").arg(m_path, file.errorString());
        return false;
    }
    return true;
}

bool ListFile::read(QStringList *lines, QString *error) const
{
    QByteArray content;
    bool exists = false;
    if (!readRaw(&content, &exists, error))
        return false;
    *lines = QString::fromUtf8(content).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return true;
}

bool ListFile::add(const QString &entry, QString *error, bool *changed)
{
    if (changed)
        *changed = false;
    QByteArray content;
    bool exists = false;
    if (!readRaw(&content, &exists, error))
        return false;
    const QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
    if (lines.contains(entry))
        return true;
    // A hand-edited file may lack its final newline: never glue the new
    // entry onto the last line.
    if (!content.isEmpty() && !content.endsWith('\n'))
        content += '\n';
    content += entry.toUtf8();
    content += '\n';
    if (!write(content, error))
        return false;
    if (changed)
        *changed = true;
    return true;
}

bool ListFile::remove(const QString &entry, QString *error, bool *changed)
{
    if (changed)
        *changed = false;
    QByteArray content;
    bool exists = false;
    if (!readRaw(&content, &exists, error))
        return false;
    const QStringList lines =
        QString::fromUtf8(content).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!lines.contains(entry))
        return true;
    QStringList remaining;
    for (const QString &line : lines) {
        if (line != entry)
            remaining.append(line);
    }
    const QByteArray rewritten =
        remaining.isEmpty() ? QByteArray() : remaining.join(QLatin1Char('\n')).toUtf8() + '\n';
    if (!write(rewritten, error))
        return false;
    if (changed)
        *changed = true;
    return true;
}

bool ListFile::write(const QByteArray &content, QString *error)
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create the folder %1").arg(folder);
        return false;
    }
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    if (file.write(content) != content.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(m_path, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}
