#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>

// The three operations the probe needs of the media-probing library.
class MediaLibrary
{
public:
    using Handle = void *;
    enum StreamKind
    {
        General = 0,
        Audio = 2
    };

    virtual ~MediaLibrary() = default;
    // name is the path as the 8-bit text the file system expects.
    virtual Handle open(const QByteArray &name) = 0;
    // Reads the file open on fd, which the call takes over, instead of opening one by name.
    // A library that cannot closes fd and throws KelvaneError.
    virtual Handle openDescriptor(int fd);
    // The answer is copied out of the library at once: the library reuses its buffer.
    virtual QByteArray get(Handle handle, StreamKind kind, const char *parameter) = 0;
    virtual void close(Handle handle) = 0;

    // Ends a call in progress on another thread, or the next call if none runs, for libraries
    // that can: that call then throws ProbeCancelled. clearCancel() forgets one that came
    // after the last call had ended.
    virtual void cancel() {}
    virtual void clearCancel() {}
};

// One opened file; gives the handle back on every path, a failed number reading included.
class OpenedMedia
{
public:
    OpenedMedia(MediaLibrary &library, const QString &fileName);
    ~OpenedMedia() { m_library.close(m_handle); }
    OpenedMedia(const OpenedMedia &) = delete;
    OpenedMedia &operator=(const OpenedMedia &) = delete;

    QByteArray get(MediaLibrary::StreamKind kind, const char *parameter)
    {
        return m_library.get(m_handle, kind, parameter);
    }

private:
    MediaLibrary &m_library;
    MediaLibrary::Handle m_handle;
};

// libmediainfo through its C interface, loaded at the first open(); a library that cannot be
// loaded is reported by open() as an error the user sees.
class LibMediaInfo final : public MediaLibrary
{
public:
    Handle open(const QByteArray &name) override;
    // Feeds the library from fd, seeking where it asks, so that it never opens the file itself.
    Handle openDescriptor(int fd) override;
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override;
    void close(Handle handle) override;
};

namespace probeprotocol {
struct Request;
struct Reply;
} // namespace probeprotocol

// The same operations answered by the probe helper, a process of its own that runs
// LibMediaInfo: a file that makes the library crash, spin or eat memory ends that process, and
// the probe fails with a message naming the file. One helper stays warm between probes; it is
// started at the first open() and again after a failure.
//
// The helper is given the chosen file as an open descriptor and can open nothing itself, so
// what it reports describes that file alone. A file that is not a regular one readable here
// reads as empty; one whose audio or whole content lives in other files it names is refused.
// Used by one thread at a time; cancel() and processId() may be called from any thread.
class HelperMediaInfo final : public MediaLibrary
{
public:
    // The last resort for a request the helper never answers (a read from a mount that stopped
    // answering): the processor limit in the helper ends loops and slow parses long before.
    static constexpr int TimeLimitSeconds = 120;

    // program: the helper to run; empty for the installed one.
    explicit HelperMediaInfo(QString program = {});
    ~HelperMediaInfo() override;
    HelperMediaInfo(const HelperMediaInfo &) = delete;
    HelperMediaInfo &operator=(const HelperMediaInfo &) = delete;

    Handle open(const QByteArray &name) override;
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override;
    // Never throws: it runs while a failed probe unwinds.
    void close(Handle handle) override;

    // Shorter limits, for tests of a hung helper; the processor limit applies from the next
    // helper started.
    void setTimeLimitSeconds(int seconds) { m_timeLimitSeconds = seconds; }
    void setCpuLimitSeconds(int seconds) { m_cpuLimitSeconds = seconds; }

    // The helper is killed, and the call that waited for it throws ProbeCancelled.
    void cancel() override;
    void clearCancel() override;

    // The running helper's process id; 0 while none runs.
    qint64 processId() const { return m_pid; }

    // Beside the program in a build tree, in its libexec folder once installed.
    static QString defaultProgram();

private:
    enum class Ending
    {
        Crashed,
        TimedOut,
        CpuLimit,
        OutOfMemory,
        NotStarted,
        Cancelled
    };

    void start();
    void stop();
    void reapKilled();
    bool reapIfEnded();
    void refuseReferences(Handle handle);
    probeprotocol::Reply exchange(const probeprotocol::Request &request, int file = -1);
    [[noreturn]] void fail(Ending ending);
    [[noreturn]] void ended();

    QString m_program;
    QString m_running;
    int m_timeLimitSeconds = TimeLimitSeconds;
    int m_cpuLimitSeconds = 0;
    int m_socket = -1;
    // Readable once cancel() was called.
    int m_cancel = -1;
    std::atomic<qint64> m_pid = 0;
    QList<qint64> m_killed;
    // The file being read, for the messages.
    QByteArray m_name;
    QByteArray m_buffer;
};

// Thrown by a HelperMediaInfo call that cancel() ended.
struct ProbeCancelled
{};
