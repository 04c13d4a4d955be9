#include "outputcheck.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace outputcheck {

std::optional<double> encodedSeconds(const QByteArray &ffmpegOutput)
{
    static const QRegularExpression time(
        QStringLiteral("time=(\\d+):(\\d\\d):(\\d\\d(?:\\.\\d+)?)"));
    const QString text = QString::fromLatin1(ffmpegOutput);
    std::optional<double> last;
    for (auto it = time.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        last = m.captured(1).toDouble() * 3600 + m.captured(2).toDouble() * 60 +
               m.captured(3).toDouble();
    }
    return last;
}

namespace {

QString seconds(double s)
{
    return QString::number(s, 'f', 1);
}

} // namespace

QString problem(MediaLibrary &library, const QString &path, const QString &codec,
                const QString &rate, const QString &channels, std::optional<double> encoded)
{
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
        codec == QLatin1String("ac3")
            ? format == QLatin1String("AC-3")
            : format == QLatin1String("MPEG Audio") &&
                  get(MediaLibrary::Audio, "Format_Profile") == QLatin1String("Layer 2");
    if (!formatOk)
        return QStringLiteral("the output file is not %1 audio").arg(codec.toUpper());
    const QString gotRate = get(MediaLibrary::Audio, "SamplingRate");
    if (gotRate != rate)
        return QStringLiteral("the output file has a sampling rate of %1 Hz, not %2 Hz")
            .arg(gotRate, rate);
    const QString gotChannels = get(MediaLibrary::Audio, "Channels");
    if (gotChannels != channels)
        return QStringLiteral("the output file's channel count is %1, not %2")
            .arg(gotChannels, channels);
    if (encoded) {
        bool ok = false;
        const double held = get(MediaLibrary::General, "Duration").toDouble(&ok) / 1000.0;
        // A frame or two of padding either way is normal (AC3 frames last 32 ms).
        if (!ok || std::abs(held - *encoded) > 0.25 + 0.01 * *encoded)
            return QStringLiteral("the output file holds %1 s of the %2 s ffmpeg encoded")
                .arg(seconds(ok ? held : 0), seconds(*encoded));
    }
    return {};
}

} // namespace outputcheck
