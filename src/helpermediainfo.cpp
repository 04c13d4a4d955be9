#include "mediainfo.h"

#include "kelvaneerror.h"
#include "posix.h"
#include "probeprotocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT(readability-redundant-declaration)

using probeprotocol::Op;
using probeprotocol::Reply;
using probeprotocol::Request;
using probeprotocol::Status;

namespace {

// The helper reads its requests from this descriptor.
constexpr int HelperFd = 3;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What the helper inherits of the environment: the locale, how libraries are found, and the
// sanitizers' settings. Not the display, the session bus, agents' sockets or proxies.
QList<QByteArray> helperEnvironment()
{
    QList<QByteArray> kept;
    for (char **entry = environ; entry && *entry; ++entry) {
        const QByteArray variable(*entry);
        const QByteArray name = variable.left(variable.indexOf('='));
        if (name == "LANG" || name == "LANGUAGE" || name.startsWith("LC_") ||
            name == "LD_LIBRARY_PATH" || name.endsWith("SAN_OPTIONS"))
            kept.append(variable);
    }
    return kept;
}

// Writes text to a /proc file; only async-signal-safe calls, for the child before exec. No
// QByteArray here: made from a literal it would allocate, and an allocator lock held by another
// thread at the fork is held for ever in the child.
bool writeProcFile(const char *path, std::string_view text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return written;
}

// The child before exec: an empty network namespace, in a user namespace of its own where
// unprivileged ones exist (mapping the user to itself), directly where the process may, and
// none where neither is allowed: the system-call filter alone then keeps the helper offline.
void leaveNetwork(const QByteArray &uidMap, const QByteArray &gidMap)
{
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        writeProcFile("/proc/self/setgroups", "deny");
        writeProcFile("/proc/self/uid_map", {uidMap.constData(), size_t(uidMap.size())});
        writeProcFile("/proc/self/gid_map", {gidMap.constData(), size_t(gidMap.size())});
        return;
    }
    ::unshare(CLONE_NEWNET);
}

// Formats that are nothing but references to other files: playlists, manifests, asset maps
// and clip descriptions, as the library names them.
bool isReferenceFormat(const QByteArray &format)
{
    static const QList<QByteArray> formats = {
        "HLS",    "DASH MPD", "ISM",     "HDS F4M", "DCP AM",     "DCP CPL",      "DCP PKL",
        "IMF AM", "IMF CPL",  "IMF PKL", "P2 Clip", "XDCAM Clip", "SequenceInfo", "CMP4"};
    return formats.contains(format);
}

} // namespace

HelperMediaInfo::HelperMediaInfo(QString program)
    : m_program(std::move(program)), m_cancel(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

HelperMediaInfo::~HelperMediaInfo()
{
    stop();
    // Killed helpers still in a read are adopted and reaped by the system once this process
    // ends; they can do nothing meanwhile.
    if (m_cancel >= 0)
        ::close(m_cancel);
}

void HelperMediaInfo::cancel()
{
    const eventfd_t one = 1;
    ::eventfd_write(m_cancel, one);
}

void HelperMediaInfo::clearCancel()
{
    eventfd_t count = 0;
    ::eventfd_read(m_cancel, &count);
}

QString HelperMediaInfo::defaultProgram()
{
    const QString dir = QCoreApplication::applicationDirPath();
    QString beside = dir + QStringLiteral("/kelvane-probe");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QFileInfo(dir + QStringLiteral("/" KELVANE_HELPER_FROM_BINDIR "/kelvane-probe"))
        .absoluteFilePath();
}

void HelperMediaInfo::start()
{
    reapKilled();
    m_running = m_program.isEmpty() ? defaultProgram() : m_program;
    const QByteArray path = QFile::encodeName(m_running);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw KelvaneError(
            QStringLiteral("The probe helper could not be started: %1").arg(systemError(errno)));
    const QByteArray cpu = QByteArray::number(
        m_cpuLimitSeconds > 0 ? m_cpuLimitSeconds : int(probeprotocol::CpuSecondsPerFile));
    // Everything the child uses is made before the fork: it may not allocate.
    const QList<QByteArray> environment = helperEnvironment();
    QList<char *> envp;
    for (const QByteArray &variable : environment)
        envp.append(const_cast<char *>(variable.constData()));
    envp.append(nullptr);
    const QByteArray uidMap =
        QByteArray::number(::getuid()) + ' ' + QByteArray::number(::getuid()) + " 1";
    const QByteArray gidMap =
        QByteArray::number(::getgid()) + ' ' + QByteArray::number(::getgid()) + " 1";
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the window's other threads are gone.
        // The helper dies with the window; if the window died before the signal was armed,
        // the parent is already someone else.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(probeprotocol::ExitNotStarted);
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            ::_exit(probeprotocol::ExitNotStarted);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // dup2 onto itself would keep close-on-exec.
        if (fds[1] == HelperFd ? ::fcntl(HelperFd, F_SETFD, 0) != 0
                               : ::dup2(fds[1], HelperFd) != HelperFd)
            ::_exit(probeprotocol::ExitNotStarted);
        leaveNetwork(uidMap, gidMap);
        char *const argv[] = {const_cast<char *>(path.constData()),
                              const_cast<char *>(cpu.constData()), nullptr};
        ::execve(path.constData(), argv, envp.data());
        ::_exit(probeprotocol::ExitNotStarted);
    }
    const int error = errno;
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        throw KelvaneError(
            QStringLiteral("The probe helper could not be started: %1").arg(systemError(error)));
    }
    m_socket = fds[0];
    m_pid = pid;
    m_buffer.clear();
}

void HelperMediaInfo::stop()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    if (m_pid > 0) {
        // Idle or hung, it holds nothing worth keeping.
        ::kill(pid_t(m_pid.load()), SIGKILL);
        m_killed.append(m_pid);
    }
    m_pid = 0;
    // A killed process is gone within moments, unless it is in a read from a mount that does
    // not answer: that one ends only once the mount answers, and is reaped later.
    QDeadlineTimer deadline(200);
    do {
        reapKilled();
    } while (!m_killed.isEmpty() && !deadline.hasExpired() && ::poll(nullptr, 0, 2) == 0);
}

void HelperMediaInfo::reapKilled()
{
    m_killed.removeIf([](qint64 pid) {
        return posix::retryOnInterrupt([pid] { return ::waitpid(pid_t(pid), nullptr, WNOHANG); }) !=
               0;
    });
}

bool HelperMediaInfo::reapIfEnded()
{
    if (m_pid <= 0)
        return true;
    if (::waitpid(pid_t(m_pid.load()), nullptr, WNOHANG) != pid_t(m_pid.load()))
        return false;
    m_pid = 0;
    stop();
    return true;
}

MediaLibrary::Handle HelperMediaInfo::open(const QByteArray &name)
{
    m_name = name;
    // Non-blocking, so that a FIFO cannot hold the open; no controlling terminal from a tty.
    const int file = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0)
        return nullptr;
    const auto closeFile = qScopeGuard([file] { ::close(file); });
    struct stat st = {};
    if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    // A helper killed from outside since the last probe is replaced without a word.
    if (reapIfEnded())
        start();
    const Reply reply = exchange(Request{Op::Open, 0, 0, 0, {}}, file);
    // The helper's number for the file, carried as the handle and never dereferenced.
    const auto handle =
        reinterpret_cast<Handle>(quintptr(reply.handle)); // NOLINT(performance-no-int-to-ptr)
    refuseReferences(handle);
    return handle;
}

// The helper cannot follow a reference, so the target's streams it would describe are missing
// or only named: either way the summary would not be the chosen file's.
void HelperMediaInfo::refuseReferences(Handle handle)
{
    QString refusal;
    try {
        const QByteArray format = get(handle, General, "Format");
        if (isReferenceFormat(format))
            refusal = QStringLiteral("'%1' is a playlist or reference file (%2): it names other "
                                     "files instead of holding audio. Choose the media file "
                                     "itself.")
                          .arg(QFile::decodeName(m_name), QString::fromUtf8(format));
        else if (!get(handle, Audio, "Source").isEmpty())
            refusal = QStringLiteral("The audio of '%1' is in another file that it refers to. "
                                     "Choose the media file itself.")
                          .arg(QFile::decodeName(m_name));
    } catch (...) {
        close(handle);
        throw;
    }
    if (!refusal.isEmpty()) {
        close(handle);
        throw KelvaneError(refusal);
    }
}

QByteArray HelperMediaInfo::get(Handle handle, StreamKind kind, const char *parameter)
{
    // A file that could not be given to the helper: no stream, no value.
    if (!handle)
        return {};
    if (m_pid <= 0)
        fail(Ending::Crashed);
    return exchange(
               Request{Op::Get, quint8(kind), quint32(quintptr(handle)), 0, QByteArray(parameter)})
        .text;
}

void HelperMediaInfo::close(Handle handle)
{
    if (!handle || m_pid <= 0)
        return;
    try {
        exchange(Request{Op::Close, 0, quint32(quintptr(handle)), 0, {}});
    } catch (...) {
        // The answers are in; the next probe starts a fresh helper.
    }
}

Reply HelperMediaInfo::exchange(const Request &request, int file)
{
    if (!probeprotocol::sendAll(m_socket, probeprotocol::encode(request), file))
        ended();
    QDeadlineTimer deadline(qint64(m_timeLimitSeconds) * 1000);
    for (;;) {
        std::optional<Reply> reply;
        try {
            reply = probeprotocol::takeReply(m_buffer);
        } catch (const std::runtime_error &) {
            fail(Ending::Crashed);
        }
        if (reply) {
            if (reply->status == Status::Error)
                throw KelvaneError(QString::fromUtf8(reply->text));
            return *reply;
        }
        pollfd ready[] = {{m_socket, POLLIN, 0}, {m_cancel, POLLIN, 0}};
        const int polled = ::poll(ready, 2, int(deadline.remainingTime()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled == 0)
            fail(Ending::TimedOut);
        if (ready[1].revents & POLLIN) {
            clearCancel();
            fail(Ending::Cancelled);
        }
        char chunk[4096];
        const ssize_t n =
            posix::retryOnInterrupt([&] { return ::recv(m_socket, chunk, sizeof chunk, 0); });
        if (n <= 0)
            ended();
        m_buffer.append(chunk, n);
    }
}

// The helper closed its end: it is on its way out, and how it went tells what happened.
void HelperMediaInfo::ended()
{
    ::close(m_socket);
    m_socket = -1;
    int status = 0;
    pid_t reaped = 0;
    QDeadlineTimer deadline(1000);
    const auto pid = pid_t(m_pid.load());
    while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 && !deadline.hasExpired())
        ::poll(nullptr, 0, 1);
    if (reaped != pid)
        fail(Ending::Crashed);
    m_pid = 0;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
        fail(Ending::CpuLimit);
    if (WIFEXITED(status) && WEXITSTATUS(status) == probeprotocol::ExitOutOfMemory)
        fail(Ending::OutOfMemory);
    if (WIFEXITED(status) && WEXITSTATUS(status) == probeprotocol::ExitNotStarted)
        fail(Ending::NotStarted);
    fail(Ending::Crashed);
}

void HelperMediaInfo::fail(Ending ending)
{
    stop();
    const QString name = QFile::decodeName(m_name);
    switch (ending) {
    case Ending::Cancelled:
        throw ProbeCancelled();
    case Ending::CpuLimit:
        throw KelvaneError(QStringLiteral("The MediaInfo library did not finish reading '%1' "
                                          "within %2 s of processor time")
                               .arg(name)
                               .arg(m_cpuLimitSeconds > 0 ? m_cpuLimitSeconds
                                                          : int(probeprotocol::CpuSecondsPerFile)));
    case Ending::TimedOut:
        throw KelvaneError(
            QStringLiteral("The MediaInfo library did not finish reading '%1' within %2 s")
                .arg(name)
                .arg(m_timeLimitSeconds));
    case Ending::OutOfMemory:
        throw KelvaneError(
            QStringLiteral("The MediaInfo library ran out of memory while reading '%1'").arg(name));
    case Ending::NotStarted:
        throw KelvaneError(
            QStringLiteral("The probe helper '%1' could not be started").arg(m_running));
    case Ending::Crashed:
        break;
    }
    throw KelvaneError(
        QStringLiteral("The MediaInfo library crashed while reading '%1'").arg(name));
}
