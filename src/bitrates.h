#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Which bitrates each encoder takes. The window's list offers rates that some formats cannot
// encode: AC3 silently rounds them down, MP2 refuses them.
namespace bitrates {

// The bitrates in kbit/s the format's encoder takes at this sampling rate; empty if unknown.
QList<int> valid(const QString &format, int samplingRate);

// Empty when the combination can be encoded; otherwise the message that refuses it, naming the
// nearest offered bitrates that work.
QString refusal(const QString &format, const QString &bitrate, const QString &samplingRate,
                const QStringList &offered);

} // namespace bitrates
