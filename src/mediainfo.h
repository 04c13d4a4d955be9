#pragma once

#include <QByteArray>

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

// libmediainfo through its C interface, loaded at the first open(); a library that cannot be
// loaded is reported by open() as an error the user sees.
class LibMediaInfo final : public MediaLibrary
{
public:
    Handle open(const QByteArray &name) override;
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override;
    void close(Handle handle) override;
};
