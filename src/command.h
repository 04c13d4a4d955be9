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
// today's ffmpeg only takes with its unit.
FfmpegCommand build(const QString &source, const QString &bitrate, const QString &rate,
                    const QString &channels, const QString &format, const QString &output);

} // namespace command

Q_DECLARE_METATYPE(FfmpegCommand)
