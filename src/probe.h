#pragma once

#include "mediainfo.h"

#include <QList>
#include <QString>

// What one probe of a source found. The window shows the source's name before it probes, and
// takes these figures only from a probe that found audio: one that failed leaves the earlier
// ones.
struct ProbeResult
{
    bool hasAudio = false;
    qint32 durationsec = 0;
    qint64 estimatedkb = 0;
    QString summary;
    // The ffmpeg stream specifier of the stream the summary describes; empty when the file
    // does not say which of its streams that is.
    QString stream;
    // That stream's sampling rate and channel count, as the library gave them.
    QString rate;
    QString channels;
};

namespace probe {

// Probes fileName through lib; throws KelvaneError on a number the library answered badly.
ProbeResult probeSource(MediaLibrary &lib, const QString &fileName, const QString &bitrateText);

// Whole seconds from the library's play time in milliseconds (ceiling).
qint32 durationFromPlayTime(const QByteArray &playTime);

// Output size in kilobytes for a bitrate in kbit/s; wide, so that it never wraps.
qint64 estimateKb(const QString &bitrateText, qint32 durationsec);

QString estimateText(qint64 estimatedkb);

// The serial numbers of an Ogg file's streams in the order they begin; empty when the file
// does not start as an Ogg file.
QList<quint32> oggSerials(const QString &fileName);

// Names the library's first audio stream the way ffmpeg finds it: by PID in MPEG-TS, by
// stream id in MPEG-PS, by track ID in MPEG-4, as the first audio track in Matroska, by the
// position of its serial number in oggSerials in Ogg, by position elsewhere. Empty when the
// fields do not identify it.
QString streamSpecifier(const QString &container, const QString &audioCount,
                        const QString &streamOrder, const QString &id,
                        const QList<quint32> &oggSerials = {});

} // namespace probe
