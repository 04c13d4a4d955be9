#include "numbers.h"

#include "kelvaneerror.h"

#include <charconv>
#include <limits>

namespace numbers {

namespace {

QString quoted(const QByteArray &text)
{
    return QLatin1Char('\'') + QString::fromLocal8Bit(text) + QLatin1Char('\'');
}

[[noreturn]] void failInteger(const QByteArray &text)
{
    throw KelvaneError(QStringLiteral("%1 is not a valid integer value").arg(quoted(text)));
}

[[noreturn]] void failFloat(const QByteArray &text)
{
    throw KelvaneError(QStringLiteral("%1 is not a valid floating point value").arg(quoted(text)));
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Past the optional leading blanks and sign; negative tells which sign it was.
qsizetype skipBlanksAndSign(const QByteArray &text, bool &negative)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    return i;
}

} // namespace

qint32 readInteger(const QByteArray &text)
{
    const qsizetype n = text.size();
    bool negative = false;
    qsizetype i = skipBlanksAndSign(text, negative);
    if (i == n)
        failInteger(text);
    // Accumulate as a negative number so that the most negative 32-bit value is reachable.
    qint64 value = 0;
    for (; i < n; ++i) {
        if (!isDigit(text[i]))
            failInteger(text);
        value = value * 10 - (text[i] - '0');
        if (value < qint64(std::numeric_limits<qint32>::min()))
            failInteger(text);
    }
    if (!negative) {
        value = -value;
        if (value > std::numeric_limits<qint32>::max())
            failInteger(text);
    }
    return qint32(value);
}

double readFloat(const QByteArray &text)
{
    const qsizetype n = text.size();
    bool negative = false;
    qsizetype i = skipBlanksAndSign(text, negative);
    // Only the plain decimal shape: from_chars alone would also take "inf", "nan" and hex.
    qsizetype j = i;
    while (j < n && isDigit(text[j]))
        ++j;
    if (j == i)
        failFloat(text);
    if (j < n && (text[j] == 'e' || text[j] == 'E')) {
        qsizetype k = j + 1;
        if (k < n && (text[k] == '+' || text[k] == '-'))
            ++k;
        const qsizetype digits = k;
        while (k < n && isDigit(text[k]))
            ++k;
        if (k == digits)
            failFloat(text);
        j = k;
    }
    if (j != n)
        failFloat(text);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.constData() + i, text.constData() + n, value);
    // A value beyond double's range is an error here (result_out_of_range), never infinity.
    if (ec != std::errc() || end != text.constData() + n)
        failFloat(text);
    return negative ? -value : value;
}

qint32 divide(qint32 dividend, qint32 divisor, const QString &what)
{
    if (divisor == 0)
        throw KelvaneError(QStringLiteral("Division by zero"));
    // Only the most negative dividend over -1 leaves 32 bits.
    const qint64 quotient = qint64(dividend) / divisor;
    if (quotient > std::numeric_limits<qint32>::max())
        throw KelvaneError(QStringLiteral("The %1 %2 is out of range").arg(what).arg(quotient));
    return qint32(quotient);
}

} // namespace numbers
