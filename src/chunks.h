#pragma once

#include <QByteArray>
#include <QStringList>

namespace chunks {

// One log line per 4000 bytes read, the way reading the output 4000 bytes at a time gives it:
// the last read is the first that delivers fewer bytes, so a length that is a multiple of 4000
// ends with an empty line. A line ends at its chunk's first zero byte. The text is decoded as
// UTF-8 across chunk boundaries, so that a character split between two chunks is not garbled.
QStringList toLines(const QByteArray &output);

} // namespace chunks
