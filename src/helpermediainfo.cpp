#include "mediainfo.h"

#include "kelvaneerror.h"
#include "probeprotocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

} // namespace

HelperMediaInfo::HelperMediaInfo(QString program) : m_program(std::move(program)) {}

HelperMediaInfo::~HelperMediaInfo()
{
    stop();
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
    m_running = m_program.isEmpty() ? defaultProgram() : m_program;
    const QByteArray path = QFile::encodeName(m_running);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw KelvaneError(
            QStringLiteral("The probe helper could not be started: %1").arg(systemError(errno)));
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
        char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
        ::execv(path.constData(), argv);
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
        ::kill(pid_t(m_pid), SIGKILL);
        while (::waitpid(pid_t(m_pid), nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    m_pid = 0;
}

bool HelperMediaInfo::reapIfEnded()
{
    if (m_pid <= 0)
        return true;
    if (::waitpid(pid_t(m_pid), nullptr, WNOHANG) != pid_t(m_pid))
        return false;
    m_pid = 0;
    stop();
    return true;
}

MediaLibrary::Handle HelperMediaInfo::open(const QByteArray &name)
{
    m_name = name;
    // A helper killed from outside since the last probe is replaced without a word.
    if (reapIfEnded())
        start();
    const Reply reply = exchange(Request{Op::Open, 0, 0, 0, name});
    // The helper's number for the file, carried as the handle and never dereferenced.
    return reinterpret_cast<Handle>(quintptr(reply.handle)); // NOLINT(performance-no-int-to-ptr)
}

QByteArray HelperMediaInfo::get(Handle handle, StreamKind kind, const char *parameter)
{
    if (m_pid <= 0)
        fail(Ending::Crashed);
    return exchange(
               Request{Op::Get, quint8(kind), quint32(quintptr(handle)), 0, QByteArray(parameter)})
        .text;
}

void HelperMediaInfo::close(Handle handle)
{
    if (m_pid <= 0)
        return;
    try {
        exchange(Request{Op::Close, 0, quint32(quintptr(handle)), 0, {}});
    } catch (...) {
        // The answers are in; the next probe starts a fresh helper.
    }
}

Reply HelperMediaInfo::exchange(const Request &request)
{
    const QByteArray bytes = probeprotocol::encode(request);
    for (qsizetype done = 0; done < bytes.size();) {
        // No SIGPIPE for a helper that has died: that is reported, not fatal.
        const ssize_t n =
            ::send(m_socket, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ended();
        done += n;
    }
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
        pollfd ready{m_socket, POLLIN, 0};
        const int polled = ::poll(&ready, 1, int(deadline.remainingTime()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled == 0)
            fail(Ending::TimedOut);
        char chunk[4096];
        const ssize_t n = ::recv(m_socket, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
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
    while ((reaped = ::waitpid(pid_t(m_pid), &status, WNOHANG)) == 0 && !deadline.hasExpired())
        ::poll(nullptr, 0, 1);
    if (reaped != pid_t(m_pid))
        fail(Ending::Crashed);
    m_pid = 0;
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
