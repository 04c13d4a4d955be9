#include "mediainfo.h"

#include "kelvaneerror.h"
#include "posix.h"

#include <QFile>
#include <QLibrary>

#include <MediaInfoDLL/MediaInfoDLL_Static.h>
#include <cstddef> // MediaInfoDLL_Static.h uses size_t without including it

#include <QScopeGuard>

#include <cerrno>
#include <clocale>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// libmediainfo and the libraries it pulls in take longer to load than the whole window takes
// to appear, so it is loaded on the first probe instead of at start-up.
struct Api
{
    decltype(&MediaInfoA_New) create = nullptr;
    decltype(&MediaInfoA_Option) option = nullptr;
    decltype(&MediaInfoA_Open) open = nullptr;
    decltype(&MediaInfoA_Open_Buffer_Init) bufferInit = nullptr;
    decltype(&MediaInfoA_Open_Buffer_Continue) bufferContinue = nullptr;
    decltype(&MediaInfoA_Open_Buffer_Continue_GoTo_Get) bufferGoTo = nullptr;
    decltype(&MediaInfoA_Open_Buffer_Finalize) bufferFinalize = nullptr;
    decltype(&MediaInfoA_Get) get = nullptr;
    decltype(&MediaInfoA_Close) close = nullptr;
    decltype(&MediaInfoA_Delete) destroy = nullptr;
    QString error;
};

template <class F> void resolve(QLibrary &library, F &function, const char *name, QString &error)
{
    function = reinterpret_cast<F>(library.resolve(name));
    if (!function && error.isEmpty())
        error = library.errorString();
}

const Api &api()
{
    static const Api loaded = [] {
        Api a;
        // By its soname only: the system's library folders, never the working folder.
        QLibrary library(QStringLiteral("mediainfo"), 0);
        if (!library.load()) {
            a.error = library.errorString();
            return a;
        }
        resolve(library, a.create, "MediaInfoA_New", a.error);
        resolve(library, a.option, "MediaInfoA_Option", a.error);
        resolve(library, a.open, "MediaInfoA_Open", a.error);
        resolve(library, a.bufferInit, "MediaInfoA_Open_Buffer_Init", a.error);
        resolve(library, a.bufferContinue, "MediaInfoA_Open_Buffer_Continue", a.error);
        resolve(library, a.bufferGoTo, "MediaInfoA_Open_Buffer_Continue_GoTo_Get", a.error);
        resolve(library, a.bufferFinalize, "MediaInfoA_Open_Buffer_Finalize", a.error);
        resolve(library, a.get, "MediaInfoA_Get", a.error);
        resolve(library, a.close, "MediaInfoA_Close", a.error);
        resolve(library, a.destroy, "MediaInfoA_Delete", a.error);
        return a;
    }();
    if (!loaded.error.isEmpty())
        throw KelvaneError(
            QStringLiteral("The MediaInfo library could not be loaded: %1").arg(loaded.error));
    return loaded;
}

// Names arrive as UTF-8, as Qt 6 makes them, but libmediainfo turns a name into wide text and
// back into bytes with the C library's character type: under C or POSIX, or a locale that is not
// installed, a name like Grüße.wav does not open and the file probes as having no audio. Its
// wide interface converts the name back the same way, so instead every call runs with a UTF-8
// character type, on this thread only (setlocale() would switch it under every other thread).
class Utf8CharacterType
{
public:
    Utf8CharacterType()
    {
        const char *codeset = nl_langinfo(CODESET);
        if (qstricmp(codeset, "UTF-8") == 0 || qstricmp(codeset, "utf8") == 0)
            return;
        locale_t current = duplocale(uselocale(locale_t(nullptr)));
        if (!current)
            return;
        m_utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", current);
        if (!m_utf8) {
            freelocale(current);
            return;
        }
        m_previous = uselocale(m_utf8);
    }
    ~Utf8CharacterType()
    {
        if (m_utf8) {
            uselocale(m_previous);
            freelocale(m_utf8);
        }
    }
    Q_DISABLE_COPY_MOVE(Utf8CharacterType)

private:
    locale_t m_utf8 = locale_t(nullptr);
    locale_t m_previous = locale_t(nullptr);
};

} // namespace

MediaLibrary::Handle MediaLibrary::openDescriptor(int fd)
{
    ::close(fd);
    throw KelvaneError(QStringLiteral("This media library cannot read an open file"));
}

OpenedMedia::OpenedMedia(MediaLibrary &library, const QString &fileName)
    : m_library(library), m_handle(library.open(QFile::encodeName(fileName)))
{}

MediaLibrary::Handle LibMediaInfo::open(const QByteArray &name)
{
    const Api &mi = api();
    const Utf8CharacterType utf8;
    Handle handle = mi.create();
    // Current libmediainfo answers "Codec" and "Codec_String" only in legacy mode.
    mi.option(handle, "Legacy", "1");
    mi.open(handle, name.constData());
    return handle;
}

MediaLibrary::Handle LibMediaInfo::openDescriptor(int fd)
{
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const Api &mi = api();
    const Utf8CharacterType utf8;
    Handle handle = mi.create();
    mi.option(handle, "Legacy", "1");
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return handle; // read as empty: no stream, no value
    const auto size = MediaInfo_int64u(st.st_size);
    mi.bufferInit(handle, size, 0);
    // The library's own file reader reads this much at a time.
    std::vector<MediaInfo_int8u> buffer(std::size_t(64) << 10);
    for (;;) {
        const ssize_t n =
            posix::retryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
        if (n <= 0)
            break;
        constexpr std::size_t Finalized = 0x08;
        if (mi.bufferContinue(handle, buffer.data(), std::size_t(n)) & Finalized)
            break;
        const MediaInfo_int64u goTo = mi.bufferGoTo(handle);
        if (goTo != MediaInfo_int64u(-1)) {
            const off_t at = ::lseek(fd, off_t(goTo), SEEK_SET);
            if (at < 0)
                break;
            mi.bufferInit(handle, size, MediaInfo_int64u(at));
        }
    }
    mi.bufferFinalize(handle);
    return handle;
}

QByteArray LibMediaInfo::get(Handle handle, StreamKind kind, const char *parameter)
{
    const Utf8CharacterType utf8;
    const char *answer = api().get(handle, MediaInfo_stream_C(kind), 0, parameter,
                                   MediaInfo_Info_Text, MediaInfo_Info_Name);
    return QByteArray(answer ? answer : "");
}

void LibMediaInfo::close(Handle handle)
{
    const Api &mi = api();
    const Utf8CharacterType utf8;
    mi.close(handle);
    mi.destroy(handle);
}
