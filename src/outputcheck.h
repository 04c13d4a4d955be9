#pragma once

#include "mediainfo.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Whether a finished encoder run left a whole file of the stream that was meant. ffmpeg can
// exit with 0 after it failed to write (a full disk), so its word alone is not enough: a run
// is whole only when ffmpeg reported no failed write, the file holds at least every byte
// ffmpeg handed to its muxer, and libmediainfo finds in it at least every sample ffmpeg
// encoded. Samples are compared with samples, never with ffmpeg's time, which also counts
// where the source's audio starts late or has gaps. The figures come from ffmpeg's summary at
// "-loglevel verbose"; output without that summary is checked for write errors and format only.
namespace outputcheck {

// The first line of ffmpeg's output that reports a failed write; empty when there is none.
QString writeFailure(const QByteArray &ffmpegOutput);

// What ffmpeg's summary says it encoded and handed to the muxer for the output's audio.
struct Written
{
    qint64 samples = 0;
    qint64 packets = 0;
    qint64 bytes = 0;
};
std::optional<Written> written(const QByteArray &ffmpegOutput);

// The input stream ffmpeg says it mapped to the output, as its "Stream #0:N" line describes
// it; a figure ffmpeg left out is 0.
struct MappedInput
{
    QString stream; // "0:1"
    QString codec;  // ffmpeg's decoder name, "aac"
    int rate = 0;
    int channels = 0;
};
std::optional<MappedInput> mappedInput(const QByteArray &ffmpegOutput);

// The channel count of one of ffmpeg's layout names ("mono", "5.1(side)", "3 channels",
// "FL+FR+LFE").
std::optional<int> channelCount(const QString &layout);

// What the job was asked for: the output's codec ("ac3", "mp2"), rate and channel count, and
// the source stream the summary showed (libmediainfo's texts, empty when unknown).
struct Expected
{
    QString codec;
    QString rate;
    QString channels;
    QString shownRate;
    QString shownChannels;
};

// Empty when path holds what was expected, whole; otherwise what is wrong, as a phrase for
// "Conversion failed: %1".
QString problem(MediaLibrary &library, const QString &path, const Expected &expected,
                const QByteArray &ffmpegOutput);

} // namespace outputcheck
