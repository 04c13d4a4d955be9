#include "mediainfo.h"

#include "numbers.h"

#include <QFile>
#include <QLibrary>

#include <MediaInfoDLL/MediaInfoDLL_Static.h>
#include <cstddef> // MediaInfoDLL_Static.h uses size_t without including it

namespace {

// libmediainfo and the libraries it pulls in take longer to load than the whole window takes
// to appear, so it is loaded on the first probe instead of at start-up.
struct Api
{
    decltype(&MediaInfoA_New) create = nullptr;
    decltype(&MediaInfoA_Option) option = nullptr;
    decltype(&MediaInfoA_Open) open = nullptr;
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

} // namespace

OpenedMedia::OpenedMedia(MediaLibrary &library, const QString &fileName)
    : m_library(library), m_handle(library.open(QFile::encodeName(fileName)))
{}

MediaLibrary::Handle LibMediaInfo::open(const QByteArray &name)
{
    const Api &mi = api();
    Handle handle = mi.create();
    // Current libmediainfo answers "Codec" and "Codec_String" only in legacy mode.
    mi.option(handle, "Legacy", "1");
    mi.open(handle, name.constData());
    return handle;
}

QByteArray LibMediaInfo::get(Handle handle, StreamKind kind, const char *parameter)
{
    const char *answer = api().get(handle, MediaInfo_stream_C(kind), 0, parameter,
                                   MediaInfo_Info_Text, MediaInfo_Info_Name);
    return QByteArray(answer ? answer : "");
}

void LibMediaInfo::close(Handle handle)
{
    const Api &mi = api();
    mi.close(handle);
    mi.destroy(handle);
}
