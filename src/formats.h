#pragma once

#include <QList>
#include <QString>

// What one entry of the window's format list stands for.
struct Format
{
    QString text;   // the list text
    QString codec;  // ffmpeg's encoder, and what the finished output must hold
    QString filter; // the save dialog's filter while the format is chosen
    QString defaultExt;
    // The bitrates in kbit/s the encoder takes, at the sampling rates they are known for; at
    // any other rate the encoder alone decides.
    QList<int> knownRates;
    QList<int> bitrates;

    QList<int> validBitrates(int rate) const
    {
        return knownRates.contains(rate) ? bitrates : QList<int>();
    }
};

// The texts the window's lists and dialogs hold for one conversion.
struct Choices
{
    QString source;
    QString output;
    QString format;
    QString bitrate; // in kbit/s
    QString rate;
    QString channels;
    // An ffmpeg stream specifier for the audio to encode ("0:1", "0:a:i:257"); empty, as when
    // left out, leaves the choice to ffmpeg.
    QString stream = {};
};

namespace formats {

// The row whose list text is text, compared exactly; nullptr when there is none.
const Format *find(const QString &text);

// The encoder for a list text: its row's, or the text in lower case for a text with no row.
QString codec(const QString &text);

} // namespace formats
