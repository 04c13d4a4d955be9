#include "probe.h"

#include "numbers.h"

#include <QFile>

#include <cmath>

namespace probe {

namespace {

// Gives the handle back on every path, a failed number reading included.
class OpenFile
{
public:
    OpenFile(MediaLibrary &lib, const QString &fileName)
        : m_lib(lib), m_handle(lib.open(QFile::encodeName(fileName)))
    {}
    ~OpenFile() { m_lib.close(m_handle); }
    Q_DISABLE_COPY_MOVE(OpenFile)

    QByteArray get(MediaLibrary::StreamKind kind, const char *parameter)
    {
        return m_lib.get(m_handle, kind, parameter);
    }

private:
    MediaLibrary &m_lib;
    MediaLibrary::Handle m_handle;
};

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

ProbeResult probeSource(MediaLibrary &lib, const QString &fileName, const QString &bitrateText)
{
    OpenFile file(lib, fileName);
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
        result.durationsec = numbers::divide(size, bitRate / 8);
    }
    result.estimatedkb = estimateKb(bitrateText, result.durationsec);

    result.summary = text(file.get(MediaLibrary::Audio, "Codec_String")) + QLatin1Char(' ');
    result.summary += text(file.get(MediaLibrary::Audio, "SamplingRate")) + QLatin1String("rate ");
    result.summary += text(file.get(MediaLibrary::Audio, "Channels")) + QLatin1String("channels ");
    result.summary += text(file.get(MediaLibrary::Audio, "BitRate")) + QLatin1String("bitrate ");
    result.summary += QString::number(result.durationsec) + QLatin1String("sec");
    return result;
}

} // namespace probe
