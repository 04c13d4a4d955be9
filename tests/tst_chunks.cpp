// The encoder's output cut into the log's lines, 4000 bytes each.
#include "chunks.h"
#include "testmain.h"

#include <QtTest>

class TestChunks : public QObject
{
    Q_OBJECT
private slots:
    void toLines_data();
    void toLines();
};

void TestChunks::toLines_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("lines");
    const QByteArray x3999(3999, 'x');
    const QByteArray x4000(4000, 'x');
    QTest::newRow("nothing") << QByteArray() << QStringList{""};
    QTest::newRow("short") << QByteArray("abc\r\ndef") << QStringList{"abc\r\ndef"};
    // The last read is the first short one, so a whole chunk is followed by an empty one.
    QTest::newRow("exactly one chunk") << x4000 << QStringList{QString(x4000), ""};
    QTest::newRow("one byte more") << x4000 + "y" << QStringList{QString(x4000), "y"};
    QTest::newRow("zero byte cuts its chunk")
        << QByteArray("a\r\nb\0tail", 9) << QStringList{"a\r\nb"};
    QTest::newRow("zero byte cuts only its own chunk")
        << QByteArray(3998, 'x') + QByteArray("\0z", 2) + "next"
        << QStringList{QString(QByteArray(3998, 'x')), "next"};
    QTest::newRow("character across chunks")
        << x3999 + "\xc3\xbc" + "z" << QStringList{QString(x3999), QString::fromUtf8("\xc3\xbcz")};
}

void TestChunks::toLines()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, lines);
    QCOMPARE(chunks::toLines(output), lines);
}

KELVANE_TEST_MAIN(QCoreApplication, TestChunks)

#include "tst_chunks.moc"
