#include "mediainfo.h"

#include <MediaInfoDLL/MediaInfoDLL_Static.h>
#include <cstddef> // MediaInfoDLL_Static.h uses size_t without including it

MediaLibrary::Handle LibMediaInfo::open(const QByteArray &name)
{
    Handle handle = MediaInfoA_New();
    // Current libmediainfo answers "Codec" and "Codec_String" only in legacy mode.
    MediaInfoA_Option(handle, "Legacy", "1");
    MediaInfoA_Open(handle, name.constData());
    return handle;
}

QByteArray LibMediaInfo::get(Handle handle, StreamKind kind, const char *parameter)
{
    const char *answer = MediaInfoA_Get(handle, MediaInfo_stream_C(kind), 0, parameter,
                                        MediaInfo_Info_Text, MediaInfo_Info_Name);
    return QByteArray(answer ? answer : "");
}

void LibMediaInfo::close(Handle handle)
{
    MediaInfoA_Close(handle);
    MediaInfoA_Delete(handle);
}
