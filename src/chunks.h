#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace chunks {

constexpr qsizetype ChunkSize = 4000;

// Splits output the way reading it 4000 bytes at a time does: the last read is the first one
// that delivers fewer bytes, so a length that is a multiple of 4000 ends with an empty chunk.
QList<QByteArray> split(const QByteArray &output);

// A chunk's text ends at its first zero byte.
QByteArray cutAtZero(const QByteArray &chunk);

// One log line per chunk, decoded as UTF-8 across chunk boundaries, so that a character
// split between two chunks is not garbled.
QStringList toLines(const QByteArray &output);

} // namespace chunks
