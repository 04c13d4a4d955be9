#include "probeprotocol.h"

#include "kelvaneerror.h"
#include "posix.h"

#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace probeprotocol {

namespace {

struct RequestHeader
{
    quint8 op;
    quint8 kind;
    quint16 reserved;
    quint32 handle;
    quint32 stream;
    quint32 length;
};

struct ReplyHeader
{
    quint8 status;
    quint8 reserved[3];
    quint32 handle;
    quint32 length;
};

template <class Header> QByteArray frame(const Header &header, const QByteArray &text)
{
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    bytes += text;
    return bytes;
}

// The header at the front of buffer and the whole frame's size, once all of it is there.
template <class Header>
std::optional<Header> peek(const QByteArray &buffer, quint32 maxText, qsizetype &frameSize)
{
    if (buffer.size() < qsizetype(sizeof(Header)))
        return std::nullopt;
    Header header;
    std::memcpy(&header, buffer.constData(), sizeof header);
    if (header.length > maxText)
        throw std::runtime_error("probe protocol: text too long");
    frameSize = qsizetype(sizeof header) + header.length;
    if (buffer.size() < frameSize)
        return std::nullopt;
    return header;
}

constexpr int StreamKinds = 7; // the library's general .. other

} // namespace

QByteArray encode(const Request &request)
{
    const RequestHeader header{quint8(request.op), request.kind,   0,
                               request.handle,     request.stream, quint32(request.text.size())};
    return frame(header, request.text);
}

QByteArray encode(const Reply &reply)
{
    const ReplyHeader header{quint8(reply.status), {}, reply.handle, quint32(reply.text.size())};
    return frame(header, reply.text);
}

std::optional<Request> takeRequest(QByteArray &buffer)
{
    qsizetype size = 0;
    const auto header = peek<RequestHeader>(buffer, MaxRequestText, size);
    if (!header)
        return std::nullopt;
    if (header->op < quint8(Op::Open) || header->op > quint8(Op::Close))
        throw std::runtime_error("probe protocol: unknown request");
    Request request{Op(header->op), header->kind, header->handle, header->stream,
                    buffer.mid(sizeof(RequestHeader), header->length)};
    buffer.remove(0, size);
    return request;
}

std::optional<Reply> takeReply(QByteArray &buffer)
{
    qsizetype size = 0;
    const auto header = peek<ReplyHeader>(buffer, MaxReplyText, size);
    if (!header)
        return std::nullopt;
    if (header->status > quint8(Status::Error))
        throw std::runtime_error("probe protocol: unknown status");
    Reply reply{Status(header->status), header->handle,
                buffer.mid(sizeof(ReplyHeader), header->length)};
    buffer.remove(0, size);
    return reply;
}

Server::~Server()
{
    for (MediaLibrary::Handle handle : std::as_const(m_open))
        m_library.close(handle);
}

Reply Server::handle(const Request &request)
{
    const auto error = [](const char *message) {
        return Reply{Status::Error, 0, QByteArray(message)};
    };
    try {
        switch (request.op) {
        case Op::Open: {
            const quint32 id = ++m_next;
            m_open.insert(id, request.fd >= 0 ? m_library.openDescriptor(request.fd)
                                              : m_library.open(request.text));
            return Reply{Status::Ok, id, {}};
        }
        case Op::Get: {
            const auto open = m_open.constFind(request.handle);
            if (open == m_open.cend())
                return error("The probe helper was asked about a file it has not opened");
            if (request.kind >= StreamKinds)
                return error("The probe helper was asked about an unknown kind of stream");
            if (request.stream != 0)
                return error("The probe helper answers only for the first stream of a kind");
            return Reply{Status::Ok, request.handle,
                         m_library.get(*open, MediaLibrary::StreamKind(request.kind),
                                       request.text.constData())};
        }
        case Op::Close:
            if (const auto open = m_open.constFind(request.handle); open != m_open.cend()) {
                const MediaLibrary::Handle handle = *open;
                m_open.erase(open);
                m_library.close(handle);
            }
            return Reply{Status::Ok, request.handle, {}};
        }
    } catch (const KelvaneError &e) {
        return Reply{Status::Error, 0, e.message().toUtf8()};
    }
    return error("The probe helper was sent an unknown request");
}

bool sendAll(int fd, const QByteArray &bytes, int file)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        iovec part{const_cast<char *>(bytes.constData() + done), size_t(bytes.size() - done)};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (file >= 0 && done == 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr *header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &file, sizeof file);
        }
        // No SIGPIPE for a peer that has died: that is reported, not fatal.
        const ssize_t n =
            posix::retryOnInterrupt([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL); });
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

namespace {

// Reads what has arrived on the socket; descriptors that came with it join files, in order.
ssize_t receive(int fd, QByteArray &buffer, QList<int> &files)
{
    char chunk[4096];
    iovec part{chunk, sizeof chunk};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (n <= 0)
        return n;
    for (cmsghdr *h = CMSG_FIRSTHDR(&message); h; h = CMSG_NXTHDR(&message, h)) {
        if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int file = -1;
            std::memcpy(&file, CMSG_DATA(h) + i * sizeof(int), sizeof file);
            files.append(file);
        }
    }
    buffer.append(chunk, n);
    return n;
}

} // namespace

bool serve(int fd, MediaLibrary &library)
{
    Server server(library);
    QByteArray buffer;
    QList<int> files;
    const auto closeFiles = qScopeGuard([&files] {
        for (int file : std::as_const(files))
            ::close(file);
    });
    for (;;) {
        const ssize_t n = posix::retryOnInterrupt([&] { return receive(fd, buffer, files); });
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        try {
            while (auto request = takeRequest(buffer)) {
                if (request->op == Op::Open) {
                    if (files.isEmpty()) {
                        const Reply refused{Status::Error, 0,
                                            "The probe helper reads only files it is given"};
                        if (!sendAll(fd, encode(refused)))
                            return false;
                        continue;
                    }
                    request->fd = files.takeFirst();
                }
                if (!sendAll(fd, encode(server.handle(*request))))
                    return false;
            }
        } catch (const std::runtime_error &) {
            return false;
        }
    }
}

} // namespace probeprotocol
