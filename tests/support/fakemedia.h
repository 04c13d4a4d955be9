#pragma once

#include "mediainfo.h"

#include <QByteArrayList>
#include <QHash>

// A media library that answers from a table, "A:Codec" for the audio stream and "G:PlayTime"
// for the general one, and records every call in order. With an empty table it finds nothing
// in any file: for windows whose probe is beside the point.
class FakeMedia final : public MediaLibrary
{
public:
    using Answers = QHash<QByteArray, QByteArray>;

    explicit FakeMedia(Answers answers = {}) : answers(std::move(answers)) {}

    Handle open(const QByteArray &name) override
    {
        calls.append("open " + name);
        ++openHandles;
        return this;
    }
    QByteArray get(Handle, StreamKind kind, const char *parameter) override
    {
        const QByteArray key = (kind == Audio ? "A:" : "G:") + QByteArray(parameter);
        calls.append(key);
        return answers.value(key);
    }
    void close(Handle) override
    {
        calls.append("close");
        --openHandles;
    }

    // What the library answers for a source with one MPEG audio stream and a play time, or with
    // no play time but a file size and an AC3 stream's bit rate.
    static Answers withPlayTime(const QByteArray &playTime)
    {
        return {{"A:Codec", "MPA1L2"},       {"G:PlayTime", playTime}, {"A:Codec_String", "MPEG-1"},
                {"A:SamplingRate", "48000"}, {"A:Channels", "2"},      {"A:BitRate", "192000"}};
    }
    static Answers withFileSize(const QByteArray &fileSize, const QByteArray &bitRate)
    {
        return {{"A:Codec", "AC3"},        {"G:FileSize", fileSize},    {"A:BitRate", bitRate},
                {"A:Codec_String", "AC3"}, {"A:SamplingRate", "48000"}, {"A:Channels", "2"}};
    }

    Answers answers;
    QByteArrayList calls;
    int openHandles = 0;
};
