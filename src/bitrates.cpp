#include "bitrates.h"

namespace bitrates {

QList<int> valid(const QString &format, int samplingRate)
{
    if (samplingRate != 48000 && samplingRate != 44100 && samplingRate != 32000)
        return {};
    if (format == QLatin1String("AC3"))
        return {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                192, 224, 256, 320, 384, 448, 512, 576, 640};
    if (format == QLatin1String("MP2")) // MPEG-1 Layer II
        return {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    return {};
}

QString refusal(const QString &format, const QString &bitrate, const QString &samplingRate,
                const QStringList &offered)
{
    const QList<int> ok = valid(format, samplingRate.toInt());
    const int chosen = bitrate.toInt();
    if (ok.isEmpty() || ok.contains(chosen))
        return {};
    int below = 0;
    int above = 0;
    for (const QString &text : offered) {
        const int rate = text.toInt();
        if (!ok.contains(rate))
            continue;
        if (rate < chosen && rate > below)
            below = rate;
        if (rate > chosen && (above == 0 || rate < above))
            above = rate;
    }
    QString choose;
    if (below && above)
        choose = QStringLiteral(" Choose %1 or %2 kbit/s.").arg(below).arg(above);
    else if (below || above)
        choose = QStringLiteral(" Choose %1 kbit/s.").arg(below ? below : above);
    return QStringLiteral("%1 cannot be encoded at %2 kbit/s at %3 Hz.%4")
        .arg(format, bitrate, samplingRate, choose);
}

} // namespace bitrates
