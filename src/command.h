#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// One encoder run: what is started, and the one-line form the log shows.
struct FfmpegCommand
{
    QString program;
    QStringList arguments;
    QString line;
};

namespace command {

// The list texts go in as the window holds them; the bitrate list is in kbit/s, which
// today's ffmpeg only takes with its unit. stream is an ffmpeg stream specifier for the
// audio to encode ("0:1", "0:a:i:257"); empty leaves the choice to ffmpeg.
FfmpegCommand build(const QString &source, const QString &bitrate, const QString &rate,
                    const QString &channels, const QString &format, const QString &output,
                    const QString &stream = {});

} // namespace command

Q_DECLARE_METATYPE(FfmpegCommand)
