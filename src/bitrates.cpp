#include "bitrates.h"

namespace bitrates {

QString refusal(const Choices &choices, const QStringList &offered)
{
    const Format *format = formats::find(choices.format);
    const QList<int> ok = format ? format->validBitrates(choices.rate.toInt()) : QList<int>();
    const int chosen = choices.bitrate.toInt();
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
        .arg(choices.format, choices.bitrate, choices.rate, choose);
}

} // namespace bitrates
