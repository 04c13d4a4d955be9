#pragma once

#include "formats.h"

#include <QString>
#include <QStringList>

// One encoder run: the program and its arguments.
struct FfmpegCommand
{
    QString program;
    QStringList arguments;

    // The one-line form the log shows, made from the list so the two always agree: the words
    // joined by blanks, the source (the word after the first -i) and the output (the last)
    // in double quotes as they are, nothing escaped.
    QString line() const;
};

namespace command {

// The list texts go in as the window holds them; the bitrate is in kbit/s, which today's
// ffmpeg only takes with its unit.
FfmpegCommand build(const Choices &choices);

} // namespace command
