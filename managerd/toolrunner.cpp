// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "toolrunner.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Limits what a misbehaving tool can make the service hold in memory.
constexpr qint64 MaxOutput = 4 * 1024 * 1024;
// How often the end of a tool is looked for where the kernel has no pidfd.
constexpr int ExitPollMs = 20;

// Everything the child needs, prepared before it exists: between vfork and
// exec it may only make system calls.
struct ChildSetup
{
    const char *path;
    char *const *argv;
    char *const *envp;
    int input;
    int output;
    int error;
    pid_t parent;
    int descriptorLimit;
    volatile int execErrno = 0; // written by the child, read after it has gone on
};

// Makes `fd` the child's descriptor `target`, open across exec. A service
// started with 0, 1 or 2 closed may have opened the pipe there already;
// dup2 then does nothing and the close-on-exec flag would stay.
int place(int fd, int target)
{
    return fd == target ? ::fcntl(target, F_SETFD, 0) : ::dup2(fd, target);
}

// Runs in the child of vfork(), which shares the service's memory until it
// execs: system calls only, no allocation, no locks.
[[noreturn]] void execChild(ChildSetup *setup)
{
    // Default signal handling (the service's handlers write into its own
    // wake-up socket), then nothing blocked: the parent blocked everything
    // around the vfork, so no handler of the service ran in here.
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        ::sigaction(number, &byDefault, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // Killed with the service; and if the service died before that was
    // asked, now.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != setup->parent)
        ::_exit(127);

    // A process group of its own, so that a time-out ends the tool and
    // whatever it started.
    ::setpgid(0, 0);

    // Standard input, output and error, and nothing else: no bus connection.
    if (place(setup->input, 0) < 0 || place(setup->output, 1) < 0 || place(setup->error, 2) < 0) {
        setup->execErrno = errno;
        ::_exit(127);
    }
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        for (int fd = 3; fd < setup->descriptorLimit; ++fd)
            ::close(fd);
    }

    ::execve(setup->path, setup->argv, setup->envp);
    setup->execErrno = errno;
    ::_exit(127);
}

// A descriptor to read `input` from, at its start: /dev/null when there is
// nothing to read, else a memory file holding it. -1 and errno on failure.
int inputDescriptor(const QByteArray &input)
{
    if (input.isEmpty())
        return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int fd = ::memfd_create("ovra-tool-input", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    for (qint64 written = 0; written < input.size();) {
        const ssize_t now =
            ::write(fd, input.constData() + written, static_cast<size_t>(input.size() - written));
        if (now < 0 && errno == EINTR)
            continue;
        if (now <= 0) {
            const int saved = now < 0 ? errno : EIO;
            ::close(fd);
            errno = saved;
            return -1;
        }
        written += now;
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int descriptorLimit()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 65536;
    return static_cast<int>(qMin<rlim_t>(limit.rlim_cur, 1 << 20));
}

} // namespace

// One running tool: its process, the read ends of its output pipes and what
// it said so far.
struct ToolRunner::Run
{
    pid_t pid = -1;
    int output = -1;
    int error = -1;
    int pidfd = -1;
    QSocketNotifier *outputNotifier = nullptr;
    QSocketNotifier *errorNotifier = nullptr;
    QSocketNotifier *exitNotifier = nullptr;
    QTimer *exitPoll = nullptr;
    QTimer *deadline = nullptr;
    ToolResult result;
    Callback done;
};

QString ToolResult::failureText() const
{
    const QString command = tool + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    if (!started)
        return QStringLiteral("%1: the tool could not be started (%2).").arg(command, startError);
    if (timedOut)
        return QStringLiteral("%1: the tool did not finish in time and was stopped.").arg(command);
    const QString err = QString::fromUtf8(standardError).trimmed();
    if (!err.isEmpty())
        return err;
    if (crashed)
        return QStringLiteral("%1: the tool crashed.").arg(command);
    return QStringLiteral("%1: the tool ended with exit code %2.").arg(command).arg(exitCode);
}

ToolRunner::ToolRunner(QObject *parent)
    : QObject(parent)
{
}

ToolRunner::~ToolRunner()
{
    for (Run *run : qAsConst(m_runs)) {
        if (run->pid > 0) {
            ::kill(-run->pid, SIGKILL);
            ::kill(run->pid, SIGKILL);
            // Reaped here, or the kernel keeps a zombie until the service ends.
            for (int waited = 0; waited < 2000; waited += 10) {
                if (::waitpid(run->pid, nullptr, WNOHANG) != 0)
                    break;
                ::usleep(10000);
            }
        }
        release(run);
    }
}

void ToolRunner::run(const QStringList &arguments, int timeoutMs, Callback done,
                     const QByteArray &input)
{
    auto *run = new Run;
    run->result.tool = QFileInfo(m_program).fileName();
    run->result.arguments = arguments;
    run->done = std::move(done);
    m_runs.append(run);

    QString problem;
    if (!start(run, input, &problem)) {
        run->result.started = false;
        run->result.startError = problem;
        // The callback comes from the event loop, as for every other end.
        QTimer::singleShot(0, this, [this, run]() {
            finish(run);
        });
        return;
    }
    run->result.started = true;

    run->deadline = new QTimer(this);
    run->deadline->setSingleShot(true);
    connect(run->deadline, &QTimer::timeout, this, [this, run]() {
        // Ended right at the limit, its exit not handled yet: it ended in time.
        siginfo_t info = {};
        if (::waitid(P_PID, static_cast<id_t>(run->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
            && info.si_pid == run->pid) {
            reap(run);
            return;
        }
        run->result.timedOut = true;
        ::kill(-run->pid, SIGKILL);
        ::kill(run->pid, SIGKILL);
    });
    run->deadline->start(timeoutMs);

    auto watchOutput = [this, run](int fd, QByteArray *into, QSocketNotifier **notifier) {
        *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(*notifier, &QSocketNotifier::activated, this, [this, run, fd, into]() {
            drain(run, fd, into);
        });
    };
    watchOutput(run->output, &run->result.standardOutput, &run->outputNotifier);
    watchOutput(run->error, &run->result.standardError, &run->errorNotifier);

    run->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, run->pid, 0));
    if (run->pidfd >= 0) {
        ::fcntl(run->pidfd, F_SETFD, FD_CLOEXEC);
        run->exitNotifier = new QSocketNotifier(run->pidfd, QSocketNotifier::Read, this);
        connect(run->exitNotifier, &QSocketNotifier::activated, this, [this, run]() {
            reap(run);
        });
    } else {
        run->exitPoll = new QTimer(this);
        connect(run->exitPoll, &QTimer::timeout, this, [this, run]() {
            reap(run);
        });
        run->exitPoll->start(ExitPollMs);
    }
}

bool ToolRunner::start(Run *run, const QByteArray &input, QString *problem)
{
    const QString path = m_program.contains(QLatin1Char('/'))
                           ? m_program
                           : QStandardPaths::findExecutable(m_program);
    if (path.isEmpty()) {
        *problem = QStringLiteral("%1 is not on the search path").arg(m_program);
        return false;
    }

    // Everything the child touches is made here, before it exists.
    QList<QByteArray> strings{QFile::encodeName(path)};
    for (const QString &argument : run->result.arguments)
        strings << argument.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &string : strings)
        argv.push_back(string.data());
    argv.push_back(nullptr);

    // Descriptors kept in memory, not in registers that vfork may clobber.
    ChildSetup setup;
    int output[2] = {-1, -1};
    int error[2] = {-1, -1};
    setup.input = inputDescriptor(input);
    if (setup.input < 0 || ::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(error, O_CLOEXEC) != 0) {
        *problem = QString::fromLocal8Bit(std::strerror(errno));
        for (int fd : {setup.input, output[0], output[1], error[0], error[1]}) {
            if (fd >= 0)
                ::close(fd);
        }
        return false;
    }

    setup.path = argv.front();
    setup.argv = argv.data();
    setup.envp = environ;
    setup.output = output[1];
    setup.error = error[1];
    setup.parent = ::getpid();
    setup.descriptorLimit = descriptorLimit();

    // vfork: the child never runs the service's code, never waits for it,
    // and holds the service's bus connection only until it execs (a fork
    // of the whole service, as QProcess makes, can hang before exec when
    // the service dies at the wrong moment, keeping the bus name for ever).
    // No handler of the service may run in the child: signals stay blocked
    // until the child has reset them.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::vfork();
    if (pid == 0)
        execChild(&setup);
    const int forkErrno = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    ::close(setup.input);
    ::close(output[1]);
    ::close(error[1]);
    if (pid < 0 || setup.execErrno != 0) {
        if (pid > 0)
            ::waitpid(pid, nullptr, 0); // it has _exit()ed already
        *problem = QString::fromLocal8Bit(
            std::strerror(pid < 0 ? forkErrno : static_cast<int>(setup.execErrno)));
        ::close(output[0]);
        ::close(error[0]);
        return false;
    }
    run->pid = pid;
    run->output = output[0];
    run->error = error[0];
    ::fcntl(run->output, F_SETFL, O_NONBLOCK);
    ::fcntl(run->error, F_SETFL, O_NONBLOCK);
    return true;
}

void ToolRunner::drain(Run *run, int fd, QByteArray *into)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            if (into->size() < MaxOutput)
                into->append(buffer, static_cast<int>(qMin<qint64>(got, MaxOutput - into->size())));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0) {
            // End of output: the tool (and whatever it started) closed it.
            QSocketNotifier *&notifier =
                fd == run->output ? run->outputNotifier : run->errorNotifier;
            notifier->setEnabled(false);
            notifier->deleteLater(); // it may be the one emitting now
            notifier = nullptr;
        }
        return;
    }
}

void ToolRunner::reap(Run *run)
{
    int status = 0;
    const pid_t reaped = ::waitpid(run->pid, &status, WNOHANG);
    if (reaped == 0 || (reaped < 0 && errno == EINTR))
        return;
    if (reaped == run->pid) {
        if (WIFEXITED(status)) {
            run->result.exitCode = WEXITSTATUS(status);
        } else {
            run->result.exitCode = -1;
            run->result.crashed = !run->result.timedOut;
        }
    }
    // What the tool wrote before it ended is in the pipes; a child it left
    // behind may keep them open, so nothing more is waited for.
    if (run->outputNotifier)
        drain(run, run->output, &run->result.standardOutput);
    if (run->errorNotifier)
        drain(run, run->error, &run->result.standardError);
    finish(run);
}

void ToolRunner::finish(Run *run)
{
    m_runs.removeOne(run);
    const Callback done = std::move(run->done);
    const ToolResult result = run->result;
    release(run);
    done(result);
}

void ToolRunner::release(Run *run)
{
    // Any of these may be the one emitting now: disabled at once, deleted later.
    for (QSocketNotifier *notifier : {run->outputNotifier, run->errorNotifier, run->exitNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    for (QTimer *timer : {run->exitPoll, run->deadline}) {
        if (timer) {
            timer->stop();
            timer->deleteLater();
        }
    }
    for (int fd : {run->output, run->error, run->pidfd}) {
        if (fd >= 0)
            ::close(fd);
    }
    delete run;
}
