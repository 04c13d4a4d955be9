#pragma once

#include "formats.h"

#include <QString>
#include <QStringList>

// The window's list offers bitrates that some formats cannot encode: AC3 silently rounds them
// down, MP2 refuses them.
namespace bitrates {

// Empty when the chosen format, bitrate and sampling rate can be encoded; otherwise the message
// that refuses them, naming the nearest offered bitrates that work.
QString refusal(const Choices &choices, const QStringList &offered);

} // namespace bitrates
