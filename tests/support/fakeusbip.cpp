// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakeusbip.h"

#include "tooloutput.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

const char script[] = R"SH(#!/bin/bash
# Fake usbip for tests: replays recorded responses, records its arguments.
dir="$(cd "$(dirname "$0")" && pwd)"
{ printf '%s\x1f' "$@"; printf '\n'; } >> "$dir/calls.log"
key=$(printf '%s\x1f' "$@" | md5sum | cut -c1-32)
r="$dir/responses/$key"
[ -d "$r" ] || r="$dir/responses/default"
if [ -f "$r/passthrough" ]; then
    exec "$(cat "$r/passthrough")" "$@"
fi
if [ -f "$r/delay" ]; then
    sleep "$(cat "$r/delay")" &
    child=$!
    trap 'kill $child 2>/dev/null; exit 143' TERM INT
    wait $child
fi
[ -f "$r/effect" ] && . "$r/effect"
[ -f "$r/stdout" ] && cat "$r/stdout"
[ -f "$r/stderr" ] && cat "$r/stderr" >&2
exit "$(cat "$r/code" 2>/dev/null || echo 0)"
)SH";

const char lsblkScript[] = R"SH(#!/bin/sh
# Fake lsblk for tests: prints the layout it was given.
dir="$(cd "$(dirname "$0")" && pwd)/lsblk.response"
cat "$dir/stdout"
cat "$dir/stderr" >&2
exit "$(cat "$dir/code")"
)SH";

QByteArray argumentKey(const QStringList &arguments)
{
    QByteArray joined;
    for (const QString &argument : arguments) {
        joined += argument.toLocal8Bit();
        joined += '\x1f';
    }
    return QCryptographicHash::hash(joined, QCryptographicHash::Md5).toHex();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

} // namespace

FakeUsbip::FakeUsbip()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("responses/default"));
    const QString path = executable();
    writeFile(path, script);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                    | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                    | QFile::ExeOther);
    writeFile(m_dir.filePath(QStringLiteral("calls.log")), QByteArray());
    const QString lsblk = m_dir.filePath(QStringLiteral("lsblk"));
    writeFile(lsblk, lsblkScript);
    QFile::setPermissions(lsblk, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setBlockDevices(ToolOutput::read(QStringLiteral("lsblk-plain-partition.json")));
    m_oldPath = qgetenv("PATH");
    install();
}

FakeUsbip::~FakeUsbip()
{
    uninstall();
}

QString FakeUsbip::executable() const
{
    return m_dir.filePath(QStringLiteral("usbip"));
}

QString FakeUsbip::realUsbip()
{
    QString found =
        QStandardPaths::findExecutable(QStringLiteral("usbip"),
                                       {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                        QStringLiteral("/sbin"), QStringLiteral("/bin")});
    return found;
}

QString FakeUsbip::responseDir(const QStringList &arguments) const
{
    return m_dir.filePath(QStringLiteral("responses/")
                          + QString::fromLatin1(argumentKey(arguments)));
}

void FakeUsbip::writeResponse(const QString &dir, const QByteArray &out, const QByteArray &err,
                              int exitCode, int delayMs)
{
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    writeFile(dir + QStringLiteral("/stdout"), out);
    writeFile(dir + QStringLiteral("/stderr"), err);
    writeFile(dir + QStringLiteral("/code"), QByteArray::number(exitCode));
    if (delayMs > 0)
        writeFile(dir + QStringLiteral("/delay"), QByteArray::number(delayMs / 1000.0, 'f', 3));
}

void FakeUsbip::setResponse(const QStringList &arguments, const QByteArray &standardOutput,
                            const QByteArray &standardError, int exitCode, int delayMs)
{
    writeResponse(responseDir(arguments), standardOutput, standardError, exitCode, delayMs);
}

void FakeUsbip::setEffect(const QStringList &arguments, const QByteArray &shellCommands)
{
    QDir().mkpath(responseDir(arguments));
    writeFile(responseDir(arguments) + QStringLiteral("/effect"), shellCommands);
}

void FakeUsbip::setDefaultResponse(const QByteArray &standardOutput,
                                   const QByteArray &standardError, int exitCode, int delayMs)
{
    writeResponse(m_dir.filePath(QStringLiteral("responses/default")), standardOutput,
                  standardError, exitCode, delayMs);
}

void FakeUsbip::setBlockDevices(const QByteArray &standardOutput, int exitCode,
                                const QByteArray &standardError)
{
    writeResponse(m_dir.filePath(QStringLiteral("lsblk.response")), standardOutput, standardError,
                  exitCode, 0);
}

void FakeUsbip::setPassThrough(const QStringList &arguments)
{
    const QString dir = responseDir(arguments);
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    writeFile(dir + QStringLiteral("/passthrough"), realUsbip().toLocal8Bit());
}

void FakeUsbip::setDefaultPassThrough()
{
    const QString dir = m_dir.filePath(QStringLiteral("responses/default"));
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    writeFile(dir + QStringLiteral("/passthrough"), realUsbip().toLocal8Bit());
}

void FakeUsbip::clearResponses()
{
    QDir(m_dir.filePath(QStringLiteral("responses"))).removeRecursively();
    QDir(m_dir.path()).mkpath(QStringLiteral("responses/default"));
}

QList<QStringList> FakeUsbip::calls() const
{
    QList<QStringList> result;
    QFile file(m_dir.filePath(QStringLiteral("calls.log")));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        QStringList arguments = QString::fromLocal8Bit(line).split(QChar(0x1f));
        arguments.removeLast(); // every argument is followed by the separator
        result.append(arguments);
    }
    return result;
}

void FakeUsbip::clearCalls()
{
    writeFile(m_dir.filePath(QStringLiteral("calls.log")), QByteArray());
}

void FakeUsbip::install()
{
    if (m_installed)
        return;
    qputenv("PATH", m_dir.path().toLocal8Bit() + ':' + m_oldPath);
    m_installed = true;
}

void FakeUsbip::uninstall()
{
    if (!m_installed)
        return;
    qputenv("PATH", m_oldPath);
    m_installed = false;
}
