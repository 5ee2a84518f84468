// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbipprocess.h"

#include "ovrawait.h"

namespace {

const int TerminateWaitMs = 30000;
const int KillWaitMs = 5000;

QString decodeUpToNul(const QByteArray &data)
{
    const int nul = data.indexOf('\0');
    return QString::fromLocal8Bit(nul < 0 ? data : data.left(nul));
}

} // namespace

UsbIpProcess::UsbIpProcess(QObject *parent)
    : QProcess(parent)
{
}

bool UsbIpProcess::run(const QStringList &arguments, int timeout, bool elevated)
{
    QString program = QStringLiteral("usbip");
    QStringList programArguments = arguments;
    if (elevated) {
        programArguments.prepend(program);
        program = QStringLiteral("pkexec");
    }

    // A child of an earlier command that ignored the termination request
    // would keep this object busy and its output would pass for the new
    // command's: end it before starting anew.
    if (state() != QProcess::NotRunning) {
        kill();
        OvraWait::forProcess(*this, KillWaitMs);
    }
    m_timedOut = false;
    m_failedToStart = false;

    // Separate channels: the owner reads standard output and standard error
    // on their own; nothing reaches the terminal.
    setProcessChannelMode(QProcess::SeparateChannels);
    bool failedToStart = false;
    const QMetaObject::Connection startWatch =
        connect(this, &QProcess::errorOccurred, [&failedToStart](QProcess::ProcessError error) {
            failedToStart = failedToStart || error == QProcess::FailedToStart;
        });
    start(program, programArguments, QIODevice::ReadWrite);

    if (!OvraWait::forProcess(*this, timeout)) {
        m_timedOut = true;
        terminate();
        if (!OvraWait::forProcess(*this, TerminateWaitMs)) {
            disconnect(startWatch);
            return false;
        }
    }
    disconnect(startWatch);
    m_failedToStart = failedToStart;

    // A program that never started has no exit status to trust.
    if (failedToStart || m_timedOut || exitStatus() != QProcess::NormalExit)
        return false;
    return exitCode() == 0;
}

bool UsbIpProcess::timedOut() const
{
    return m_timedOut;
}

bool UsbIpProcess::failedToStart() const
{
    return m_failedToStart;
}

bool UsbIpProcess::listLocal()
{
    return run({QStringLiteral("list"), QStringLiteral("-l")});
}

bool UsbIpProcess::listRemote(const QString &host, int timeout)
{
    return run({QStringLiteral("list"), QStringLiteral("-r"), host}, timeout);
}

bool UsbIpProcess::listPorts()
{
    return run({QStringLiteral("port")});
}

bool UsbIpProcess::bindDevice(const QString &busid)
{
    return run({QStringLiteral("bind"), QStringLiteral("-b"), busid});
}

bool UsbIpProcess::unbindDevice(const QString &busid)
{
    return run({QStringLiteral("unbind"), QStringLiteral("-b"), busid});
}

bool UsbIpProcess::attachDevice(const QString &host, const QString &busid)
{
    return run({QStringLiteral("attach"), QStringLiteral("-r"), host, QStringLiteral("-b"), busid});
}

bool UsbIpProcess::detachDevice(const QString &port)
{
    return run({QStringLiteral("detach"), QStringLiteral("-p"), port});
}

void UsbIpProcess::startListRemote(const QString &host)
{
    setProcessChannelMode(QProcess::SeparateChannels);
    start(QStringLiteral("usbip"), {QStringLiteral("list"), QStringLiteral("-r"), host},
          QIODevice::ReadWrite);
}

bool UsbIpProcess::succeeded() const
{
    // A program that never started reads as a normal end with exit code 0.
    return state() == QProcess::NotRunning && error() != QProcess::FailedToStart
        && exitStatus() == QProcess::NormalExit && exitCode() == 0;
}

// The texts are peeked rather than read, so they stay readable (also through
// readAllStandardOutput/readAllStandardError) until the next command starts.
QString UsbIpProcess::standardOutputText()
{
    const ProcessChannel previous = readChannel();
    setReadChannel(QProcess::StandardOutput);
    const QByteArray data = peek(bytesAvailable());
    setReadChannel(previous);
    return decodeUpToNul(data);
}

QString UsbIpProcess::standardErrorText()
{
    const ProcessChannel previous = readChannel();
    setReadChannel(QProcess::StandardError);
    const QByteArray data = peek(bytesAvailable());
    setReadChannel(previous);
    return decodeUpToNul(data);
}
