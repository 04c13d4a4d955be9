// libFuzzer target: the input is a media file. The probe reads it exactly as the probe helper
// does, every call framed, handled by the helper's own request handling and answered by the
// real libmediainfo. Against the system's library the fuzzer is guided only by the seed corpus
// (small files in many containers) and its mutations; make fuzz-library links an instrumented
// build of the library instead, so that the library's own branches guide it. Its crashes,
// hangs and runaway allocations are what the helper's limits exist for: each is a test case.
#include "kelvaneerror.h"
#include "mediainfo.h"
#include "probe.h"
#include "probeprotocol.h"

#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

using namespace probeprotocol;

[[noreturn]] void broken(const char *what)
{
    std::fprintf(stderr, "protocol: %s\n", what);
    std::abort();
}

// The window's side of the protocol without the process: each call goes over the wire format
// to the helper's Server and back.
class Framed final : public MediaLibrary
{
public:
    Handle open(const QByteArray &name) override
    {
        return reinterpret_cast<Handle>(quintptr(call({Op::Open, 0, 0, 0, name}).handle));
    }
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override
    {
        return call({Op::Get, quint8(kind), quint32(quintptr(handle)), 0, parameter}).text;
    }
    void close(Handle handle) override { call({Op::Close, 0, quint32(quintptr(handle)), 0, {}}); }

    int open_ = 0;

private:
    Reply call(const Request &request)
    {
        QByteArray wire = encode(request);
        const std::optional<Request> received = takeRequest(wire);
        if (!received || !wire.isEmpty())
            broken("request not whole");
        QByteArray back = encode(m_server.handle(*received));
        const std::optional<Reply> reply = takeReply(back);
        if (!reply || !back.isEmpty())
            broken("reply not whole");
        if (reply->status == Status::Error)
            throw KelvaneError(QString::fromUtf8(reply->text));
        open_ += request.op == Op::Open ? 1 : request.op == Op::Close ? -1 : 0;
        return *reply;
    }

    LibMediaInfo m_library;
    Server m_server{m_library};
};

const QByteArray &scratchName()
{
    static const QByteArray name =
        QFile::encodeName(QStringLiteral("/tmp/kelvane-fuzz-helper-%1").arg(::getpid()));
    static const struct Remover
    {
        ~Remover() { ::unlink(name.constData()); }
    } remover;
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Framed library;
    {
        QFile file(QFile::decodeName(scratchName()));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    try {
        probe::probeSource(library, QFile::decodeName(scratchName()), QStringLiteral("192"));
    } catch (const KelvaneError &) {
        // A number the library answered badly: the probe's own error, not a fault.
    }
    if (library.open_ != 0)
        broken("handle left open");
    return 0;
}
