#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Strict readings of the numbers the media library answers in text; each refusal throws a
// KelvaneError naming the text.
namespace numbers {

// A signed 32-bit decimal: optional leading blanks, an optional sign, digits to the end.
qint32 readInteger(const QByteArray &text);

// A decimal number (an exponent allowed, no fraction: the caller cuts the text at its "." first).
double readFloat(const QByteArray &text);

// Whole-number division that refuses a zero divisor and a quotient outside 32 bits; what names
// the quotient in the message that refuses it.
qint32 divide(qint32 dividend, qint32 divisor, const QString &what);

} // namespace numbers
