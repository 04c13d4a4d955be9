#pragma once

#include "mediainfo.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Whether a finished encoder run left a whole file. ffmpeg can exit with 0 after it failed
// to write (a full disk), so its word alone is not enough.
namespace outputcheck {

// What ffmpeg last reported as encoded ("time=00:01:02.50"), in seconds.
std::optional<double> encodedSeconds(const QByteArray &ffmpegOutput);

// Empty when path holds audio of the codec ("ac3", "mp2"), rate and channel count chosen, as
// long as what ffmpeg encoded; otherwise what is wrong, as a phrase for "Conversion failed: %1".
QString problem(MediaLibrary &library, const QString &path, const QString &codec,
                const QString &rate, const QString &channels, std::optional<double> encoded);

} // namespace outputcheck
