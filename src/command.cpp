#include "command.h"

namespace command {

FfmpegCommand build(const QString &source, const QString &bitrate, const QString &rate,
                    const QString &channels, const QString &format, const QString &output,
                    const QString &stream)
{
    const QString bitrateWithUnit = bitrate + QLatin1Char('k');
    const QString codec = format.toLower();
    FfmpegCommand cmd;
    cmd.program = QStringLiteral("ffmpeg");
    cmd.arguments = {QStringLiteral("-i"), source};
    QString map;
    if (!stream.isEmpty()) {
        cmd.arguments += {QStringLiteral("-map"), stream};
        map = QStringLiteral(" -map ") + stream;
    }
    cmd.arguments += {QStringLiteral("-ab"), bitrateWithUnit, QStringLiteral("-ar"),     rate,
                      QStringLiteral("-ac"), channels,        QStringLiteral("-acodec"), codec,
                      QStringLiteral("-y"),  output};
    cmd.line = QStringLiteral("ffmpeg -i \"%1\"%2 -ab %3 -ar %4 -ac %5 -acodec %6 -y \"%7\"")
                   .arg(source, map, bitrateWithUnit, rate, channels, codec, output);
    return cmd;
}

} // namespace command
