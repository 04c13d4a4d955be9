#pragma once

#include <QByteArray>
#include <QString>

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
    // The answer is copied out of the library at once: the library reuses its buffer.
    virtual QByteArray get(Handle handle, StreamKind kind, const char *parameter) = 0;
    virtual void close(Handle handle) = 0;
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
class HelperMediaInfo final : public MediaLibrary
{
public:
    // A request the helper has not answered by then is taken as hung, and the helper is killed.
    static constexpr int TimeLimitSeconds = 10;

    // program: the helper to run; empty for the installed one.
    explicit HelperMediaInfo(QString program = {});
    ~HelperMediaInfo() override;
    HelperMediaInfo(const HelperMediaInfo &) = delete;
    HelperMediaInfo &operator=(const HelperMediaInfo &) = delete;

    Handle open(const QByteArray &name) override;
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override;
    // Never throws: it runs while a failed probe unwinds.
    void close(Handle handle) override;

    // A shorter limit, for tests of a hung helper.
    void setTimeLimitSeconds(int seconds) { m_timeLimitSeconds = seconds; }

    // The running helper's process id; 0 while none runs.
    qint64 processId() const { return m_pid; }

    // Beside the program in a build tree, in its libexec folder once installed.
    static QString defaultProgram();

private:
    enum class Ending
    {
        Crashed,
        TimedOut,
        OutOfMemory,
        NotStarted
    };

    void start();
    void stop();
    bool reapIfEnded();
    probeprotocol::Reply exchange(const probeprotocol::Request &request);
    [[noreturn]] void fail(Ending ending);
    [[noreturn]] void ended();

    QString m_program;
    QString m_running;
    int m_timeLimitSeconds = TimeLimitSeconds;
    int m_socket = -1;
    qint64 m_pid = 0;
    // The file being read, for the messages.
    QByteArray m_name;
    QByteArray m_buffer;
};
