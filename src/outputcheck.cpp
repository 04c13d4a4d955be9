#include "outputcheck.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace outputcheck {

namespace {

QStringList linesOf(const QByteArray &ffmpegOutput)
{
    // Progress lines end in a carriage return; what follows one is a message of its own.
    static const QRegularExpression breaks(QStringLiteral("[\r\n]"));
    return QString::fromUtf8(ffmpegOutput).split(breaks, Qt::SkipEmptyParts);
}

std::optional<qint64> number(const QString &text)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

// libmediainfo gives two figures ("48000 / 24000", "2 / 1") where a stream has two views of
// itself (SBR, parametric stereo); either is that stream.
bool oneOf(const QString &texts, int value)
{
    const QStringList parts = texts.split(QLatin1Char('/'));
    return std::any_of(parts.begin(), parts.end(),
                       [value](const QString &part) { return number(part) == value; });
}

QString secondsOf(qint64 samples, int rate)
{
    return QString::number(rate > 0 ? double(samples) / rate : 0.0, 'f', 2);
}

} // namespace

QString writeFailure(const QByteArray &ffmpegOutput)
{
    static const char *const failures[] = {"Error writing trailer", "av_interleaved_write_frame()",
                                           "Error submitting a packet to the muxer",
                                           "Error muxing a packet", "Error closing file"};
    // Only as the end of one of ffmpeg's own messages: indented lines are the file's tags.
    static const char *const causes[] = {": No space left on device", ": Disk quota exceeded",
                                         ": File too large"};
    for (const QString &line : linesOf(ffmpegOutput)) {
        QString text = line.trimmed();
        for (const char *failure : failures) {
            if (text.contains(QLatin1String(failure)))
                return text;
        }
        if (line.at(0).isSpace())
            continue;
        for (const char *cause : causes) {
            if (text.endsWith(QLatin1String(cause)))
                return text;
        }
    }
    return {};
}

std::optional<Written> written(const QByteArray &ffmpegOutput)
{
    static const QRegularExpression stats(
        QStringLiteral("Output stream #0:\\d+ \\(audio\\): (\\d+) frames encoded \\((\\d+) "
                       "samples\\); (\\d+) packets muxed \\((\\d+) bytes\\)"));
    const QRegularExpressionMatch m = stats.match(QString::fromUtf8(ffmpegOutput));
    if (!m.hasMatch())
        return std::nullopt;
    return Written{m.captured(2).toLongLong(), m.captured(3).toLongLong(),
                   m.captured(4).toLongLong()};
}

std::optional<MappedInput> mappedInput(const QByteArray &ffmpegOutput)
{
    const QString text = QString::fromUtf8(ffmpegOutput);
    static const QRegularExpression mapping(
        QStringLiteral("Stream mapping:\\s*Stream #0:(\\d+) -> #0:0\\b"));
    const QRegularExpressionMatch mapped = mapping.match(text);
    if (!mapped.hasMatch())
        return std::nullopt;
    MappedInput input;
    input.stream = QStringLiteral("0:") + mapped.captured(1);
    // The input's streams are described before the mapping, the output's after it.
    const QRegularExpression described(
        QStringLiteral("^\\s*Stream #%1(?:\\[[^\\]]*\\])?(?:\\([^)]*\\))?: Audio: ([^\\r\\n]*)")
            .arg(QRegularExpression::escape(input.stream)),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch line =
        described.match(QStringView(text).left(mapped.capturedStart()));
    if (!line.hasMatch())
        return input;
    input.codec = line.captured(1).section(QLatin1Char(' '), 0, 0).remove(QLatin1Char(','));
    static const QRegularExpression rateAndLayout(QStringLiteral("(\\d+) Hz, ([^,]+)"));
    const QRegularExpressionMatch figures = rateAndLayout.match(line.captured(1));
    if (figures.hasMatch()) {
        input.rate = figures.captured(1).toInt();
        input.channels = channelCount(figures.captured(2).trimmed()).value_or(0);
    }
    return input;
}

std::optional<int> channelCount(const QString &layout)
{
    static const QHash<QString, int> named = {
        {QStringLiteral("mono"), 1},       {QStringLiteral("stereo"), 2},
        {QStringLiteral("downmix"), 2},    {QStringLiteral("2.1"), 3},
        {QStringLiteral("3.0"), 3},        {QStringLiteral("3.0(back)"), 3},
        {QStringLiteral("4.0"), 4},        {QStringLiteral("quad"), 4},
        {QStringLiteral("quad(side)"), 4}, {QStringLiteral("3.1"), 4},
        {QStringLiteral("5.0"), 5},        {QStringLiteral("5.0(side)"), 5},
        {QStringLiteral("4.1"), 5},        {QStringLiteral("5.1"), 6},
        {QStringLiteral("5.1(side)"), 6},  {QStringLiteral("6.0"), 6},
        {QStringLiteral("6.0(front)"), 6}, {QStringLiteral("hexagonal"), 6},
        {QStringLiteral("6.1"), 7},        {QStringLiteral("6.1(back)"), 7},
        {QStringLiteral("6.1(front)"), 7}, {QStringLiteral("7.0"), 7},
        {QStringLiteral("7.0(front)"), 7}, {QStringLiteral("7.1"), 8},
        {QStringLiteral("7.1(wide)"), 8},  {QStringLiteral("7.1(wide-side)"), 8},
        {QStringLiteral("7.1(top)"), 8},   {QStringLiteral("octagonal"), 8},
        {QStringLiteral("cube"), 8},       {QStringLiteral("5.1.2"), 8},
        {QStringLiteral("5.1.4"), 10},     {QStringLiteral("7.1.2"), 10},
        {QStringLiteral("7.1.4"), 12},     {QStringLiteral("7.2.3"), 12},
        {QStringLiteral("9.1.4"), 14},     {QStringLiteral("hexadecagonal"), 16},
        {QStringLiteral("22.2"), 24},
    };
    if (const auto it = named.constFind(layout); it != named.constEnd())
        return *it;
    // A layout without a name: "3 channels", "3 channels (FL+FR+LFE)", or its channels' names.
    static const QRegularExpression counted(QStringLiteral("^(\\d+) channels?\\b"));
    if (const QRegularExpressionMatch m = counted.match(layout); m.hasMatch())
        return m.captured(1).toInt();
    static const QRegularExpression listed(
        QStringLiteral("^[A-Za-z]+[0-9]*(\\+[A-Za-z]+[0-9]*)+$"));
    if (listed.match(layout).hasMatch())
        return int(layout.count(QLatin1Char('+'))) + 1;
    return std::nullopt;
}

QString problem(MediaLibrary &library, const QString &path, const Expected &expected,
                const QByteArray &ffmpegOutput)
{
    const QString failure = writeFailure(ffmpegOutput);
    if (!failure.isEmpty())
        return QStringLiteral("the output file was not written whole: ffmpeg reported \"%1\"")
            .arg(failure);

    if (const std::optional<MappedInput> input = mappedInput(ffmpegOutput)) {
        // ffmpeg describes HE-AAC as decoded, the library may give its core: SBR doubles the
        // rate, parametric stereo makes two channels of one.
        const bool aac = input->codec == QLatin1String("aac");
        const bool otherRate =
            input->rate > 0 && !expected.shownRate.isEmpty() &&
            !oneOf(expected.shownRate, input->rate) &&
            !(aac && input->rate % 2 == 0 && oneOf(expected.shownRate, input->rate / 2));
        const bool otherChannels =
            input->channels > 0 && !expected.shownChannels.isEmpty() &&
            !oneOf(expected.shownChannels, input->channels) &&
            !(aac && input->channels == 2 && oneOf(expected.shownChannels, 1));
        if (otherRate || otherChannels)
            return QStringLiteral("ffmpeg encoded the source's stream %1 (%2 Hz, %3 channels), "
                                  "not the one the summary shows (%4 Hz, %5 channels)")
                .arg(input->stream)
                .arg(input->rate)
                .arg(input->channels)
                .arg(expected.shownRate, expected.shownChannels);
    }

    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("ffmpeg wrote no output file");
    if (info.size() == 0)
        return QStringLiteral("the output file is empty");

    OpenedMedia file(library, path);
    const auto get = [&file](MediaLibrary::StreamKind kind, const char *parameter) {
        return QString::fromUtf8(file.get(kind, parameter));
    };
    const QString format = get(MediaLibrary::Audio, "Format");
    const bool formatOk =
        expected.codec == QLatin1String("ac3")
            ? format == QLatin1String("AC-3")
            : format == QLatin1String("MPEG Audio") &&
                  get(MediaLibrary::Audio, "Format_Profile") == QLatin1String("Layer 2");
    if (!formatOk)
        return QStringLiteral("the output file is not %1 audio").arg(expected.codec.toUpper());
    const QString gotRate = get(MediaLibrary::Audio, "SamplingRate");
    if (gotRate != expected.rate)
        return QStringLiteral("the output file has a sampling rate of %1 Hz, not %2 Hz")
            .arg(gotRate, expected.rate);
    const QString gotChannels = get(MediaLibrary::Audio, "Channels");
    if (gotChannels != expected.channels)
        return QStringLiteral("the output file's channel count is %1, not %2")
            .arg(gotChannels, expected.channels);

    // ffmpeg prints its summary at the end of every run it finished; an encoder that does not
    // (a wrapper that lowers the log level) is only held to its write errors and the format.
    const std::optional<Written> wrote = written(ffmpegOutput);
    if (!wrote)
        return {};
    // A container may add to the packets, never take from them.
    if (info.size() < wrote->bytes)
        return QStringLiteral("the output file holds %1 of the %2 bytes ffmpeg wrote")
            .arg(info.size())
            .arg(wrote->bytes);

    const int rate = gotRate.toInt();
    std::optional<qint64> held = number(get(MediaLibrary::Audio, "SamplingCount"));
    if (!held) {
        if (const std::optional<qint64> ms = number(get(MediaLibrary::Audio, "Duration")))
            held = *ms * rate / 1000;
    }
    if (!held)
        return QStringLiteral("the length of the output file cannot be read");
    // Whole frames hold at least what was encoded, the last one padded; libmediainfo's count
    // can come from a duration in milliseconds, so one millisecond is allowed for.
    if (*held + rate / 1000 < wrote->samples)
        return QStringLiteral("the output file holds %1 of the %2 samples ffmpeg encoded (%3 s "
                              "of %4 s)")
            .arg(*held)
            .arg(wrote->samples)
            .arg(secondsOf(*held, rate), secondsOf(wrote->samples, rate));
    return {};
}

} // namespace outputcheck
