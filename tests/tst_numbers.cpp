// The strict number readers and the checked arithmetic the probe builds on. An empty error
// column means the call succeeds; otherwise it is the message the user is shown.
#include "kelvaneerror.h"
#include "numbers.h"
#include "testmain.h"

#include <QtTest>

#include <functional>
#include <limits>

namespace {

// The message the call throws; empty when it returns.
QString thrown(const std::function<void()> &call)
{
    try {
        call();
    } catch (const KelvaneError &e) {
        return e.message();
    }
    return {};
}

} // namespace

class TestNumbers : public QObject
{
    Q_OBJECT
private slots:
    void readInteger_data();
    void readInteger();
    void readFloat_data();
    void readFloat();
    void divide_data();
    void divide();
};

void TestNumbers::readInteger_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint32>("value");
    QTest::addColumn<QString>("error");
    const auto refused = [](const char *name, const QByteArray &text) {
        QTest::newRow(name) << text << 0
                            << QString("'%1' is not a valid integer value").arg(QString(text));
    };
    QTest::newRow("plain") << QByteArray("128000") << 128000 << QString();
    QTest::newRow("blanks and sign") << QByteArray("  -42") << -42 << QString();
    QTest::newRow("plus") << QByteArray("+7") << 7 << QString();
    QTest::newRow("max") << QByteArray("2147483647") << 2147483647 << QString();
    QTest::newRow("min") << QByteArray("-2147483648") << std::numeric_limits<qint32>::min()
                         << QString();
    // Found while fuzzing against strtol with full checks.
    QTest::newRow("minus zero") << QByteArray("-0") << 0 << QString();
    QTest::newRow("leading zeros")
        << QByteArray("0000000000002147483647") << 2147483647 << QString();
    refused("over max", "2147483648");
    refused("under min", "-2147483649");
    refused("many digits", "99999999999999999999999");
    refused("empty", "");
    refused("sign only", "-");
    refused("trailing blank", "12 ");
    refused("fraction", "1.5");
    refused("hex", "0x10");
    refused("tab", "\t5");
    refused("two signs", "+-1");
    refused("blank after sign", "- 1");
    QTest::newRow("zero byte") << QByteArray("1\0", 2) << 0
                               << QString("'1") + QChar(0) + "' is not a valid integer value";
}

void TestNumbers::readInteger()
{
    QFETCH(QByteArray, text);
    QFETCH(qint32, value);
    QFETCH(QString, error);
    qint32 got = 0;
    QCOMPARE(thrown([&] { got = numbers::readInteger(text); }), error);
    QCOMPARE(got, value);
}

// The play time's whole part, as the library gives it.
void TestNumbers::readFloat_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("error");
    const auto refused = [](const char *name, const QByteArray &text) {
        QTest::newRow(name)
            << text << 0.0
            << QString("'%1' is not a valid floating point value").arg(QString(text));
    };
    QTest::newRow("plain") << QByteArray("90000") << 90000.0 << QString();
    QTest::newRow("leading blanks") << QByteArray("  4000") << 4000.0 << QString();
    QTest::newRow("exponent") << QByteArray("9e4") << 90000.0 << QString();
    QTest::newRow("signed exponent") << QByteArray("25E-1") << 2.5 << QString();
    QTest::newRow("negative") << QByteArray("-1500") << -1500.0 << QString();
    QTest::newRow("plus") << QByteArray("+7") << 7.0 << QString();
    QTest::newRow("huge but finite") << QByteArray("1e300") << 1e300 << QString();
    refused("empty", "");
    refused("letters", "abc");
    refused("trailing blank", "5000 ");
    refused("inf", "inf");
    refused("nan", "nan");
    refused("hex", "0x10");
    refused("fraction", "1.5");
    refused("exponent without digits", "5e");
    refused("underflow", "1e-400");
    refused("overflow", "1e400");
    refused("sign only", "-");
}

void TestNumbers::readFloat()
{
    QFETCH(QByteArray, text);
    QFETCH(double, value);
    QFETCH(QString, error);
    double got = 0;
    QCOMPARE(thrown([&] { got = numbers::readFloat(text); }), error);
    QCOMPARE(got, value);
}

void TestNumbers::divide_data()
{
    QTest::addColumn<qint32>("dividend");
    QTest::addColumn<qint32>("divisor");
    QTest::addColumn<qint32>("quotient");
    QTest::addColumn<QString>("error");
    QTest::newRow("1000000 / 16000") << 1000000 << 16000 << 62 << QString();
    QTest::newRow("negative divisor") << 1000000 << -16000 << -62 << QString();
    QTest::newRow("cut toward zero") << -7 << 2 << -3 << QString();
    QTest::newRow("by one") << 1000000 << 1 << 1000000 << QString();
    QTest::newRow("by zero") << 1000000 << 0 << 0 << "Division by zero";
    QTest::newRow("most negative / -1 does not fit")
        << std::numeric_limits<qint32>::min() << -1 << 0
        << "The duration 2147483648 is out of range";
}

void TestNumbers::divide()
{
    QFETCH(qint32, dividend);
    QFETCH(qint32, divisor);
    QFETCH(qint32, quotient);
    QFETCH(QString, error);
    qint32 got = 0;
    QCOMPARE(thrown([&] { got = numbers::divide(dividend, divisor, "duration"); }), error);
    QCOMPARE(got, quotient);
}

KELVANE_TEST_MAIN(QCoreApplication, TestNumbers)

#include "tst_numbers.moc"
