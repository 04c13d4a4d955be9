#include "command.h"

namespace command {

FfmpegCommand build(const QString &source, const QString &bitrate, const QString &rate,
                    const QString &channels, const QString &format, const QString &output)
{
    const QString bitrateWithUnit = bitrate + QLatin1Char('k');
    const QString codec = format.toLower();
    FfmpegCommand cmd;
    cmd.program = QStringLiteral("ffmpeg");
    cmd.arguments = {QStringLiteral("-i"),      source, QStringLiteral("-ab"), bitrateWithUnit,
                     QStringLiteral("-ar"),     rate,   QStringLiteral("-ac"), channels,
                     QStringLiteral("-acodec"), codec,  QStringLiteral("-y"),  output};
    cmd.line = QStringLiteral("ffmpeg -i \"%1\" -ab %2 -ar %3 -ac %4 -acodec %5 -y \"%6\"")
                   .arg(source, bitrateWithUnit, rate, channels, codec, output);
    return cmd;
}

} // namespace command
