#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <stdexcept>

// An error that ends the running handler; its message is shown to the user as it stands.
class KelvaneError : public std::runtime_error
{
public:
    explicit KelvaneError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {}
    QString message() const { return m_message; }

private:
    QString m_message;
};

namespace numbers {

// A signed 32-bit decimal: optional leading blanks, an optional sign, digits to the end.
qint32 readInteger(const QByteArray &text);

// A decimal number (an exponent allowed, no fraction: the caller cuts the text at its "." first).
double readFloat(const QByteArray &text);

// Whole-number division that refuses a zero divisor and a quotient outside 32 bits.
qint32 divide(qint32 dividend, qint32 divisor);

// The largest value that fits the 32-bit fields; wider results are refused, never wrapped.
qint32 toInt32(qint64 value, const QString &what);

} // namespace numbers
