#include "command.h"

QString FfmpegCommand::line() const
{
    QString text = program;
    const qsizetype source = arguments.indexOf(QStringLiteral("-i")) + 1;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const bool path = i == arguments.size() - 1 || (source > 0 && i == source);
        text += QLatin1Char(' ');
        text += path ? QLatin1Char('"') + arguments[i] + QLatin1Char('"') : arguments[i];
    }
    return text;
}

namespace command {

FfmpegCommand build(const Choices &choices)
{
    FfmpegCommand cmd;
    cmd.program = QStringLiteral("ffmpeg");
    // At this level ffmpeg's summary says how many samples it encoded and how many bytes it
    // wrote, which is what the output is checked against.
    cmd.arguments = {QStringLiteral("-loglevel"), QStringLiteral("verbose"), QStringLiteral("-i"),
                     choices.source};
    if (!choices.stream.isEmpty())
        cmd.arguments += {QStringLiteral("-map"), choices.stream};
    cmd.arguments += {QStringLiteral("-ab"),     choices.bitrate + QLatin1Char('k'),
                      QStringLiteral("-ar"),     choices.rate,
                      QStringLiteral("-ac"),     choices.channels,
                      QStringLiteral("-acodec"), formats::codec(choices.format),
                      QStringLiteral("-y"),      choices.output};
    return cmd;
}

} // namespace command
