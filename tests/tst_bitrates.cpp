// Which bitrates each format takes, the message that refuses the others, and the installed
// ffmpeg's own word on every choice the window's lists offer.
#include "bitrates.h"
#include "command.h"
#include "testmain.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// The window's bitrate list.
const QStringList offered{"64",  "128", "160", "192", "224", "256",
                          "288", "320", "352", "384", "416", "448"};

} // namespace

class TestBitrates : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void valid_data();
    void valid();
    void refusal_data();
    void refusal();
    void agreesWithFfmpeg_data();
    void agreesWithFfmpeg();

private:
    QTemporaryDir m_dir;
    QString m_source;
};

void TestBitrates::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_source = m_dir.filePath("short.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(1), m_source));
}

void TestBitrates::valid_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QList<int>>("bitrates");
    const QList<int> ac3{32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                         192, 224, 256, 320, 384, 448, 512, 576, 640};
    const QList<int> mp2{32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    QTest::newRow("AC3 48000") << "AC3" << 48000 << ac3;
    QTest::newRow("AC3 44100") << "AC3" << 44100 << ac3;
    QTest::newRow("AC3 32000") << "AC3" << 32000 << ac3;
    QTest::newRow("MP2 48000") << "MP2" << 48000 << mp2;
    QTest::newRow("MP2 44100") << "MP2" << 44100 << mp2;
    QTest::newRow("unknown rate") << "AC3" << 22050 << QList<int>();
    QTest::newRow("unknown format") << "WAV" << 48000 << QList<int>();
    QTest::newRow("lower-case name is another format") << "ac3" << 48000 << QList<int>();
}

void TestBitrates::valid()
{
    QFETCH(QString, format);
    QFETCH(int, rate);
    QFETCH(QList<int>, bitrates);
    const Format *known = formats::find(format);
    QCOMPARE(known ? known->validBitrates(rate) : QList<int>(), bitrates);
}

void TestBitrates::refusal_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("message");
    QTest::newRow("AC3 192 is fine") << "AC3"
                                     << "192"
                                     << "48000" << offered << "";
    QTest::newRow("AC3 288") << "AC3"
                             << "288"
                             << "48000" << offered
                             << "AC3 cannot be encoded at 288 kbit/s at 48000 Hz. Choose 256 or "
                                "320 kbit/s.";
    QTest::newRow("AC3 416") << "AC3"
                             << "416"
                             << "48000" << offered
                             << "AC3 cannot be encoded at 416 kbit/s at 48000 Hz. Choose 384 or "
                                "448 kbit/s.";
    QTest::newRow("MP2 352") << "MP2"
                             << "352"
                             << "48000" << offered
                             << "MP2 cannot be encoded at 352 kbit/s at 48000 Hz. Choose 320 or "
                                "384 kbit/s.";
    QTest::newRow("MP2 448, nothing above") << "MP2"
                                            << "448"
                                            << "48000" << offered
                                            << "MP2 cannot be encoded at 448 kbit/s at 48000 Hz. "
                                               "Choose 384 kbit/s.";
    QTest::newRow("MP2 416 at 44100") << "MP2"
                                      << "416"
                                      << "44100" << offered
                                      << "MP2 cannot be encoded at 416 kbit/s at 44100 Hz. "
                                         "Choose 384 kbit/s.";
    QTest::newRow("nothing offered works") << "MP2"
                                           << "448"
                                           << "48000" << QStringList{"416", "448"}
                                           << "MP2 cannot be encoded at 448 kbit/s at 48000 Hz.";
    QTest::newRow("unknown rate is left to ffmpeg") << "MP2"
                                                    << "448"
                                                    << "22050" << offered << "";
}

void TestBitrates::refusal()
{
    QFETCH(QString, format);
    QFETCH(QString, bitrate);
    QFETCH(QString, rate);
    QFETCH(QStringList, offered);
    QFETCH(QString, message);
    QCOMPARE(bitrates::refusal({.source = {},
                                .output = {},
                                .format = format,
                                .bitrate = bitrate,
                                .rate = rate,
                                .channels = {}},
                               offered),
             message);
}

// Every choice the lists offer: accepted exactly when the installed ffmpeg writes that bitrate.
void TestBitrates::agreesWithFfmpeg_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<bool>("encodes");
    const QHash<QString, QStringList> refused{{"AC3", {"288", "352", "416"}},
                                              {"MP2", {"288", "352", "416", "448"}}};
    for (const QString format : {"AC3", "MP2"})
        for (const QString rate : {"48000", "44100"})
            for (const QString &bitrate : offered)
                QTest::addRow("%s %s %s", qPrintable(format), qPrintable(rate), qPrintable(bitrate))
                    << format << rate << bitrate << !refused[format].contains(bitrate);
}

void TestBitrates::agreesWithFfmpeg()
{
    QFETCH(QString, format);
    QFETCH(QString, rate);
    QFETCH(QString, bitrate);
    QFETCH(bool, encodes);
    const QString out = m_dir.filePath("rate-check." + format.toLower());
    const Choices choices{.source = m_source,
                          .output = out,
                          .format = format,
                          .bitrate = bitrate,
                          .rate = rate,
                          .channels = "2"};
    QCOMPARE(bitrates::refusal(choices, {bitrate}).isEmpty(), encodes);

    QFile::remove(out);
    const FfmpegCommand cmd = command::build(choices);
    QProcess p;
    p.start(cmd.program, QStringList{"-v", "error", "-nostdin"} + cmd.arguments);
    QVERIFY(p.waitForFinished(30000));
    const bool encoded =
        p.exitCode() == 0 && fixtures::probeValue(out, "bit_rate") == bitrate + "000";
    QCOMPARE(encoded, encodes);
}

KELVANE_TEST_MAIN(QCoreApplication, TestBitrates)

#include "tst_bitrates.moc"
