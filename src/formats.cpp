#include "formats.h"

namespace formats {

namespace {

// Both encoders' bitrate lists are those of MPEG-1's sampling rates.
const QList<int> mpeg1Rates = {48000, 44100, 32000};

const QList<Format> table = {
    {QStringLiteral("AC3"),
     QStringLiteral("ac3"),
     QStringLiteral("AC3|*.ac3"),
     QStringLiteral("ac3"),
     mpeg1Rates,
     {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640}},
    // MPEG-1 Layer II
    {QStringLiteral("MP2"),
     QStringLiteral("mp2"),
     QStringLiteral("MP2|*.mp2"),
     QStringLiteral("mp2"),
     mpeg1Rates,
     {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384}},
    // The list never offers it; the save dialog would follow it all the same. ffmpeg has no
    // encoder of that name.
    {QStringLiteral("WAV"),
     QStringLiteral("wav"),
     QStringLiteral("WAV|*.wav"),
     QStringLiteral("wav"),
     {},
     {}},
};

} // namespace

const Format *find(const QString &text)
{
    for (const Format &format : table) {
        if (format.text == text)
            return &format;
    }
    return nullptr;
}

QString codec(const QString &text)
{
    const Format *format = find(text);
    return format ? format->codec : text.toLower();
}

} // namespace formats
