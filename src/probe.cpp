#include "probe.h"

#include "kelvaneerror.h"
#include "numbers.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <optional>

namespace probe {

namespace {

QString text(const QByteArray &answer)
{
    return QString::fromLocal8Bit(answer);
}

} // namespace

qint32 durationFromPlayTime(const QByteArray &playTime)
{
    const qsizetype dot = playTime.indexOf('.');
    const QByteArray whole = dot < 0 ? playTime : playTime.left(dot);
    const double seconds = std::ceil(numbers::readFloat(whole) / 1000.0);
    if (!(seconds >= -2147483648.0 && seconds <= 2147483647.0))
        throw KelvaneError(QStringLiteral("The play time '%1' is out of range")
                               .arg(QString::fromLocal8Bit(playTime)));
    return qint32(seconds);
}

qint64 estimateKb(const QString &bitrateText, qint32 durationsec)
{
    const qint32 kbits = numbers::readInteger(bitrateText.toLatin1());
    return qint64(kbits) * durationsec / 8;
}

QString estimateText(qint64 estimatedkb)
{
    return QStringLiteral("Output filesize: %1 KB").arg(estimatedkb);
}

namespace {

std::optional<qint64> wholeNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return std::nullopt;
    return text.toLongLong();
}

} // namespace

QList<quint32> oggSerials(const QString &fileName)
{
    // Every stream of an Ogg file begins with a page of its own before any other page.
    constexpr qint64 Limit = 1 << 16;
    constexpr qsizetype HeaderSize = 27;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(Limit);
    const auto byte = [&head](qsizetype at) { return quint8(head.at(at)); };
    QList<quint32> serials;
    qsizetype at = 0;
    while (at + HeaderSize <= head.size() && head.mid(at, 4) == "OggS" && (byte(at + 5) & 0x02)) {
        serials.append(quint32(byte(at + 14)) | quint32(byte(at + 15)) << 8 |
                       quint32(byte(at + 16)) << 16 | quint32(byte(at + 17)) << 24);
        const qsizetype segments = byte(at + 26);
        if (at + HeaderSize + segments > head.size())
            break;
        qsizetype body = 0;
        for (qsizetype i = 0; i < segments; ++i)
            body += byte(at + HeaderSize + i);
        at += HeaderSize + segments + body;
    }
    return serials;
}

QString streamSpecifier(const QString &container, const QString &audioCount,
                        const QString &streamOrder, const QString &id,
                        const QList<quint32> &oggSerials)
{
    const QString byId = QStringLiteral("0:a:i:%1");
    const std::optional<qint64> number = wholeNumber(id);
    if (container == QLatin1String("Matroska") || container == QLatin1String("WebM")) {
        // ffmpeg skips track types it does not know (a DVD's buttons), which StreamOrder
        // counts; it keeps every audio track, in the order libmediainfo lists them.
        return QStringLiteral("0:a:0");
    }
    if (container == QLatin1String("Ogg")) {
        // libmediainfo lists Ogg streams by serial number, ffmpeg in the order they begin.
        bool ok = false;
        const quint32 serial = id.toUInt(&ok);
        if (const qsizetype position = ok ? oggSerials.indexOf(serial) : -1; position >= 0)
            return QStringLiteral("0:%1").arg(position);
    }
    if (container == QLatin1String("MPEG-TS") || container == QLatin1String("BDAV") ||
        container == QLatin1String("MPEG-4") || container == QLatin1String("QuickTime")) {
        if (number)
            return byId.arg(*number);
    } else if (container == QLatin1String("MPEG-PS")) {
        // ffmpeg keeps an MPEG audio stream's whole start code (0x1C0...) and a private
        // stream's sub-stream id ("189-128": 0xBD, sub-stream 0x80).
        if (number && *number >= 0xC0 && *number <= 0xDF)
            return byId.arg(0x100 + *number);
        const QStringList parts = id.split(QLatin1Char('-'));
        if (parts.size() == 2 && parts[0] == QLatin1String("189")) {
            if (const std::optional<qint64> sub = wholeNumber(parts[1]))
                return byId.arg(*sub);
        }
        return {};
    }
    if (const std::optional<qint64> position = wholeNumber(streamOrder))
        return QStringLiteral("0:%1").arg(*position);
    if (container == QLatin1String("AVI") && number)
        return QStringLiteral("0:%1").arg(*number);
    // The only audio stream is the first one whatever the order.
    if (audioCount == QLatin1String("1"))
        return QStringLiteral("0:a:0");
    return {};
}

ProbeResult probeSource(MediaLibrary &lib, const QString &fileName, const QString &bitrateText)
{
    OpenedMedia file(lib, fileName);
    ProbeResult result;
    if (file.get(MediaLibrary::Audio, "Codec").isEmpty())
        return result;
    result.hasAudio = true;

    const QByteArray playTime = file.get(MediaLibrary::General, "PlayTime");
    if (!playTime.isEmpty()) {
        result.durationsec = durationFromPlayTime(playTime);
    } else {
        // No play time: take the whole file as audio at the stream's byte rate.
        const qint32 size = numbers::readInteger(file.get(MediaLibrary::General, "FileSize"));
        const qint32 bitRate = numbers::readInteger(file.get(MediaLibrary::Audio, "BitRate"));
        result.durationsec = numbers::divide(size, bitRate / 8, QStringLiteral("duration"));
    }
    result.estimatedkb = estimateKb(bitrateText, result.durationsec);

    result.summary = text(file.get(MediaLibrary::Audio, "Codec_String")) + QLatin1Char(' ');
    result.rate = text(file.get(MediaLibrary::Audio, "SamplingRate"));
    result.summary += result.rate + QLatin1String("rate ");
    result.channels = text(file.get(MediaLibrary::Audio, "Channels"));
    result.summary += result.channels + QLatin1String("channels ");
    result.summary += text(file.get(MediaLibrary::Audio, "BitRate")) + QLatin1String("bitrate ");
    result.summary += QString::number(result.durationsec) + QLatin1String("sec");

    const QString container = text(file.get(MediaLibrary::General, "Format"));
    const QString audioCount = text(file.get(MediaLibrary::General, "AudioCount"));
    const QString streamOrder = text(file.get(MediaLibrary::Audio, "StreamOrder"));
    const QString id = text(file.get(MediaLibrary::Audio, "ID"));
    result.stream = streamSpecifier(container, audioCount, streamOrder, id,
                                    container == QLatin1String("Ogg") ? oggSerials(fileName)
                                                                      : QList<quint32>());
    return result;
}

} // namespace probe
