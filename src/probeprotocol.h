#pragma once

#include "mediainfo.h"

#include <QByteArray>
#include <QHash>

#include <optional>

// The request/answer protocol between the window and the probe helper, and the helper's side
// of it. Both ends are the same build on the same machine, so fields go in host byte order.
namespace probeprotocol {

enum class Op : quint8
{
    Open = 1,
    Get = 2,
    Close = 3
};

enum class Status : quint8
{
    Ok = 0,
    // The text is a message for the user (the library could not be loaded, say).
    Error = 1
};

struct Request
{
    Op op = Op::Open;
    quint8 kind = 0;
    quint32 handle = 0;
    quint32 stream = 0;
    // Open: the file name; Get: the parameter.
    QByteArray text;
    // Open: the file itself, passed beside the frame (SCM_RIGHTS) and never part of it.
    int fd = -1;
};

struct Reply
{
    Status status = Status::Ok;
    // Open: the new handle.
    quint32 handle = 0;
    // Get: the answer; Error: the message.
    QByteArray text;
};

// Longer texts are refused: a request carries a path or a parameter name, never more.
constexpr quint32 MaxRequestText = 1 << 16;
constexpr quint32 MaxReplyText = 1 << 24;

// Processor time the helper may spend on one file: valid files take well under a second
// (1.0 s for a 4.6 GB QuickTime file), a runaway allocation reaches the memory limit in 2 s,
// while the library's loops and pathological parses run for 20 s and more.
constexpr long CpuSecondsPerFile = 4;

// What the helper's exit code means to the window.
constexpr int ExitOutOfMemory = 3;
constexpr int ExitBadRequest = 4;
constexpr int ExitNotStarted = 127;

QByteArray encode(const Request &request);
QByteArray encode(const Reply &reply);

// Takes one whole frame off the front of buffer. Empty while the frame is incomplete; throws
// std::runtime_error on a frame that cannot be one (a text over its limit, an unknown code).
std::optional<Request> takeRequest(QByteArray &buffer);
std::optional<Reply> takeReply(QByteArray &buffer);

// The helper's request handling: each request runs against the library at once.
class Server
{
public:
    explicit Server(MediaLibrary &library) : m_library(library) {}
    ~Server();
    Q_DISABLE_COPY_MOVE(Server)

    Reply handle(const Request &request);

private:
    MediaLibrary &m_library;
    QHash<quint32, MediaLibrary::Handle> m_open;
    quint32 m_next = 0;
};

// Answers requests read from the socket fd until the other end closes it; false on a broken
// frame or a failed write. Every Open must come with its file as a descriptor: a name alone is
// refused, so the library is never asked to open anything by name.
bool serve(int fd, MediaLibrary &library);

// Sends bytes on the socket fd, with file attached to their first byte when it is not -1.
bool sendAll(int fd, const QByteArray &bytes, int file = -1);

} // namespace probeprotocol
