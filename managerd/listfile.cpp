// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "listfile.h"

#include "usbipgrammar.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Between the list's name and QTemporaryFile's six random letters and digits.
constexpr char TemporaryInfix[] = ".ovra-new-";

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

ListFile::ListFile(const QString &path, const UsbIpGrammar::ListFileRules &rules)
    : m_path(path)
    , m_rules(rules)
{
}

bool ListFile::read(QStringList *lines, QString *error) const
{
    return UsbIpGrammar::readListFile(m_path, m_rules, lines, error);
}

bool ListFile::add(const QString &entry, QString *error, bool *changed)
{
    if (changed)
        *changed = false;
    QByteArray content;
    if (!UsbIpGrammar::readListFileContent(m_path, &content, error))
        return false;
    if (UsbIpGrammar::listEntries(content, m_rules).contains(entry))
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
    if (!UsbIpGrammar::readListFileContent(m_path, &content, error))
        return false;
    const QStringList lines = UsbIpGrammar::listEntries(content, m_rules);
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

QStringList ListFile::staleTemporaryFiles() const
{
    const QFileInfo list(m_path);
    const QRegularExpression temporary(
        QStringLiteral("\\A")
        + QRegularExpression::escape(list.fileName() + QLatin1String(TemporaryInfix))
        + QStringLiteral("[A-Za-z0-9]{6}\\z"));
    QStringList found;
    const QFileInfoList entries =
        list.dir().entryInfoList({list.fileName() + QLatin1String(TemporaryInfix)
                                  + QLatin1Char('*')},
                                 QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        if (temporary.match(entry.fileName()).hasMatch())
            found.append(entry.filePath());
    }
    return found;
}

bool ListFile::write(const QByteArray &content, QString *error)
{
    const std::unique_ptr<Replacement> replacement = prepareReplacement(content, error);
    return replacement && replacement->commit(error);
}

std::unique_ptr<ListFile::Replacement> ListFile::prepareReplacement(const QByteArray &content,
                                                                    QString *error) const
{
    // A list that is a symbolic link stays one: its target is replaced.
    QFileInfo target(m_path);
    for (int depth = 0; depth < 40 && target.isSymLink(); ++depth)
        target.setFile(target.symLinkTarget());
    const QString path = target.absoluteFilePath();
    const QString folder = target.absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create the folder %1").arg(folder);
        return nullptr;
    }
    auto fail = [this, error](const QString &why) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(m_path, why);
        return nullptr;
    };
    // Written beside the list and renamed over it, so that a reader sees
    // the old or the new list, never a part; removed on every failure.
    std::unique_ptr<Replacement> replacement(new Replacement);
    replacement->m_file = std::make_unique<QTemporaryFile>(path + QLatin1String(TemporaryInfix)
                                                           + QStringLiteral("XXXXXX"));
    replacement->m_target = path;
    replacement->m_listPath = m_path;
    QTemporaryFile &file = *replacement->m_file;
    if (!file.open())
        return fail(file.errorString());
    struct stat old = {};
    const mode_t mode =
        ::stat(QFile::encodeName(path).constData(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (file.write(content) != content.size() || !file.flush())
        return fail(file.errorString());
    if (::fchmod(file.handle(), mode) != 0 || ::fsync(file.handle()) != 0)
        return fail(systemError());
    return replacement;
}

ListFile::Replacement::~Replacement() = default;

bool ListFile::Replacement::commit(QString *error)
{
    if (::rename(QFile::encodeName(m_file->fileName()).constData(),
                 QFile::encodeName(m_target).constData())
        != 0) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(m_listPath, systemError());
        return false;
    }
    m_file->setAutoRemove(false); // it is the list now
    m_file->close();
    return true;
}
