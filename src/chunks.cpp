#include "chunks.h"

#include <QList>
#include <QStringDecoder>

namespace chunks {

namespace {

constexpr qsizetype ChunkSize = 4000;

QList<QByteArray> split(const QByteArray &output)
{
    QList<QByteArray> result;
    qsizetype offset = 0;
    for (;;) {
        const QByteArray chunk = output.mid(offset, ChunkSize);
        result.append(chunk);
        offset += chunk.size();
        if (chunk.size() < ChunkSize)
            return result;
    }
}

QByteArray cutAtZero(const QByteArray &chunk)
{
    const qsizetype zero = chunk.indexOf('\0');
    return zero < 0 ? chunk : chunk.left(zero);
}

} // namespace

QStringList toLines(const QByteArray &output)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QStringList lines;
    for (const QByteArray &chunk : split(output))
        lines.append(decoder.decode(cutAtZero(chunk)));
    return lines;
}

} // namespace chunks
