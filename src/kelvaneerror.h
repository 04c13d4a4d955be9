#pragma once

#include <QString>

#include <stdexcept>

// An error that ends the running handler; its message is shown to the user, with a full stop
// added when it ends in no punctuation mark.
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

// The message of the exception being handled; call it from a catch block. Empty for a thrown
// object that is not an exception.
QString currentExceptionMessage();
