// The probe on a fake library: which fields it asks for, how it reads them, what it makes of
// them, and which stream it names for ffmpeg.
#include "fakemedia.h"
#include "kelvaneerror.h"
#include "numbers.h"
#include "probe.h"
#include "testmain.h"

#include <QtTest>

namespace {

using Answers = FakeMedia::Answers;

Answers with(Answers answers, const QByteArray &key, const QByteArray &value)
{
    answers.insert(key, value);
    return answers;
}

} // namespace

class TestProbeSource : public QObject
{
    Q_OBJECT
private slots:
    void probeSource_data();
    void probeSource();
    void queriesInOrder();
    void noAudioAsksNothingMore();
    void streamSpecifier_data();
    void streamSpecifier();
    void oggSerials();
};

// What one probe finds, or the message of the error that ends it; the estimate is for the
// bitrate chosen, in KB.
void TestProbeSource::probeSource_data()
{
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<qint32>("seconds");
    QTest::addColumn<qint64>("estimatedkb");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QString>("error");
    const auto playTime = [](const char *name, const QByteArray &playTime, qint32 seconds,
                             qint64 kb) {
        QTest::newRow(name)
            << FakeMedia::withPlayTime(playTime) << "192" << seconds << kb
            << QString("MPEG-1 48000rate 2channels 192000bitrate %1sec").arg(seconds) << ""
            << "";
    };
    const auto refused = [](const char *name, const Answers &answers, const QString &error) {
        QTest::newRow(name) << answers << "192" << 0 << qint64(0) << ""
                            << "" << error;
    };
    playTime("90000", "90000", 90, 2160);
    playTime("90001 is rounded up", "90001", 91, 2184);
    playTime("999", "999", 1, 24);
    playTime("0", "0", 0, 0);
    playTime("1500.7 is cut", "1500.7", 2, 48);
    playTime("leading blanks", "  4000", 4, 96);
    playTime("exponent", "9e4", 90, 2160);
    playTime("negative", "-1500", -1, -24);
    playTime("minus zero", "-0.5", 0, 0);
    // Wide arithmetic: 192 * 2147483647 / 8 does not wrap.
    playTime("largest that fits", "2147483647000", 2147483647, 51539607528);
    refused(".5 leaves nothing", FakeMedia::withPlayTime(".5"),
            "'' is not a valid floating point value");
    refused("abc", FakeMedia::withPlayTime("abc"), "'abc' is not a valid floating point value");
    refused("trailing blank", FakeMedia::withPlayTime("5000 "),
            "'5000 ' is not a valid floating point value");
    refused("inf", FakeMedia::withPlayTime("inf"), "'inf' is not a valid floating point value");
    refused("underflow", FakeMedia::withPlayTime("1e-400"),
            "'1e-400' is not a valid floating point value");
    refused("exponent without digits", FakeMedia::withPlayTime("5e"),
            "'5e' is not a valid floating point value");
    refused("beyond 32-bit seconds", FakeMedia::withPlayTime("2147483647001"),
            "The play time '2147483647001' is out of range");
    refused("huge exponent", FakeMedia::withPlayTime("1e300"),
            "The play time '1e300' is out of range");

    // No play time: the whole file at the stream's byte rate.
    QTest::newRow("1000000 / 128000")
        << FakeMedia::withFileSize("1000000", "128000") << "192" << 62 << qint64(1488)
        << "AC3 48000rate 2channels 128000bitrate 62sec"
        << ""
        << "";
    QTest::newRow("negative rate")
        << FakeMedia::withFileSize("1000000", "-128000") << "192" << -62 << qint64(-1488)
        << "AC3 48000rate 2channels -128000bitrate -62sec"
        << ""
        << "";
    QTest::newRow("rate 8") << FakeMedia::withFileSize("1000000", "8") << "192" << 1000000
                            << qint64(24000000) << "AC3 48000rate 2channels 8bitrate 1000000sec"
                            << ""
                            << "";
    refused("empty bit rate", FakeMedia::withFileSize("1000000", ""),
            "'' is not a valid integer value");
    refused("rate 0", FakeMedia::withFileSize("1000000", "0"), "Division by zero");
    refused("rate -7", FakeMedia::withFileSize("1000000", "-7"), "Division by zero");
    refused("size 2147483648", FakeMedia::withFileSize("2147483648", "128000"),
            "'2147483648' is not a valid integer value");
    refused("bad size reported before bad rate", FakeMedia::withFileSize("1e6", "x"),
            "'1e6' is not a valid integer value");
    refused("most negative / -1 does not fit", FakeMedia::withFileSize("-2147483648", "-8"),
            "The duration 2147483648 is out of range");

    // The chosen bitrate.
    QTest::newRow("448 kbit/s") << FakeMedia::withPlayTime("90000") << "448" << 90 << qint64(5040)
                                << "MPEG-1 48000rate 2channels 192000bitrate 90sec"
                                << ""
                                << "";
    QTest::newRow("64 kbit/s") << FakeMedia::withPlayTime("90000") << "64" << 90 << qint64(720)
                               << "MPEG-1 48000rate 2channels 192000bitrate 90sec"
                               << ""
                               << "";
    // A blank codec text counts as audio.
    QTest::newRow("blank codec") << with(FakeMedia::withPlayTime("90000"), "A:Codec", " ") << "192"
                                 << 90 << qint64(2160)
                                 << "MPEG-1 48000rate 2channels 192000bitrate 90sec"
                                 << ""
                                 << "";
    // The stream the summary describes, named for ffmpeg.
    QTest::newRow("MPEG-TS stream")
        << with(with(FakeMedia::withPlayTime("62000"), "G:Format", "MPEG-TS"), "A:ID", "256")
        << "192" << 62 << qint64(1488) << "MPEG-1 48000rate 2channels 192000bitrate 62sec"
        << "0:a:i:256"
        << "";
}

void TestProbeSource::probeSource()
{
    QFETCH(Answers, answers);
    QFETCH(QString, bitrate);
    QFETCH(qint32, seconds);
    QFETCH(qint64, estimatedkb);
    QFETCH(QString, summary);
    QFETCH(QString, stream);
    QFETCH(QString, error);
    FakeMedia media(answers);
    ProbeResult found;
    QString thrown;
    try {
        found = probe::probeSource(media, "in.mpg", bitrate);
    } catch (const KelvaneError &e) {
        thrown = e.message();
    }
    QCOMPARE(thrown, error);
    QCOMPARE(found.hasAudio, error.isEmpty());
    QCOMPARE(found.durationsec, seconds);
    QCOMPARE(found.estimatedkb, estimatedkb);
    QCOMPARE(found.summary, summary);
    QCOMPARE(found.stream, stream);
    QCOMPARE(media.openHandles, 0); // closed on every path
}

void TestProbeSource::queriesInOrder()
{
    FakeMedia media(FakeMedia::withFileSize("1000000", "128000"));
    const ProbeResult found = probe::probeSource(media, "in.mpg", "192");
    QCOMPARE(media.calls,
             (QByteArrayList{"open in.mpg", "A:Codec", "G:PlayTime", "G:FileSize", "A:BitRate",
                             "A:Codec_String", "A:SamplingRate", "A:Channels", "A:BitRate",
                             "G:Format", "G:AudioCount", "A:StreamOrder", "A:ID", "close"}));
    QCOMPARE(found.estimatedkb, 1488);
    QCOMPARE(probe::estimateText(found.estimatedkb), QString("Output filesize: 1488 KB"));
}

void TestProbeSource::noAudioAsksNothingMore()
{
    Answers answers = FakeMedia::withPlayTime("90000");
    answers.remove("A:Codec");
    FakeMedia media(answers);
    const ProbeResult found = probe::probeSource(media, "video.mpg", "192");
    QCOMPARE(media.calls, (QByteArrayList{"open video.mpg", "A:Codec", "close"}));
    QVERIFY(!found.hasAudio);
    QCOMPARE(found.summary, QString());
}

void TestProbeSource::streamSpecifier_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("audioCount");
    QTest::addColumn<QString>("streamOrder");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("specifier");
    QTest::addColumn<QList<quint32>>("serials"); // an Ogg file's, in the order they begin
    QTest::newRow("MPEG-TS by PID") << "MPEG-TS"
                                    << "2"
                                    << "0-0"
                                    << "256"
                                    << "0:a:i:256" << QList<quint32>();
    QTest::newRow("MPEG-TS, PIDs against the order") << "MPEG-TS"
                                                     << "2"
                                                     << "0-1"
                                                     << "336"
                                                     << "0:a:i:336" << QList<quint32>();
    QTest::newRow("M2TS") << "BDAV"
                          << "1"
                          << "0-1"
                          << "4352"
                          << "0:a:i:4352" << QList<quint32>();
    QTest::newRow("MPEG-PS MPEG audio") << "MPEG-PS"
                                        << "2"
                                        << "0"
                                        << "192"
                                        << "0:a:i:448" << QList<quint32>();
    QTest::newRow("MPEG-PS last MPEG audio id") << "MPEG-PS"
                                                << "2"
                                                << "0"
                                                << "223"
                                                << "0:a:i:479" << QList<quint32>();
    QTest::newRow("MPEG-PS private stream AC3") << "MPEG-PS"
                                                << "1"
                                                << "1"
                                                << "189-128"
                                                << "0:a:i:128" << QList<quint32>();
    QTest::newRow("MPEG-PS unknown id") << "MPEG-PS"
                                        << "2"
                                        << "1"
                                        << "253-117"
                                        << "" << QList<quint32>();
    QTest::newRow("MPEG-PS video id is not audio") << "MPEG-PS"
                                                   << "1"
                                                   << "0"
                                                   << "224"
                                                   << "" << QList<quint32>();
    QTest::newRow("MPEG-4 by track ID") << "MPEG-4"
                                        << "2"
                                        << "1"
                                        << "2"
                                        << "0:a:i:2" << QList<quint32>();
    QTest::newRow("QuickTime by track ID") << "QuickTime"
                                           << "1"
                                           << "0"
                                           << "1"
                                           << "0:a:i:1" << QList<quint32>();
    // StreamOrder also counts the tracks ffmpeg skips (a DVD's buttons).
    QTest::newRow("Matroska, the first audio track") << "Matroska"
                                                     << "2"
                                                     << "1"
                                                     << "2"
                                                     << "0:a:0" << QList<quint32>();
    QTest::newRow("WebM") << "WebM"
                          << "1"
                          << "1"
                          << "2"
                          << "0:a:0" << QList<quint32>();
    QTest::newRow("AVI by position") << "AVI"
                                     << "2"
                                     << "1"
                                     << "1"
                                     << "0:1" << QList<quint32>();
    QTest::newRow("AVI without order") << "AVI"
                                       << "2"
                                       << ""
                                       << "1"
                                       << "0:1" << QList<quint32>();
    QTest::newRow("WAV, one stream") << "Wave"
                                     << "1"
                                     << ""
                                     << ""
                                     << "0:a:0" << QList<quint32>();
    QTest::newRow("Ogg, one stream") << "Ogg"
                                     << "1"
                                     << ""
                                     << "1787230238"
                                     << "0:a:0" << QList<quint32>();
    // libmediainfo lists Ogg streams by serial number, ffmpeg in the order they begin.
    QTest::newRow("Ogg, the stream that begins second")
        << "Ogg"
        << "2"
        << ""
        << "1006237964"
        << "0:1" << QList<quint32>{2597705277, 1006237964};
    QTest::newRow("Ogg, the stream that begins first") << "Ogg"
                                                       << "2"
                                                       << ""
                                                       << "7"
                                                       << "0:0" << QList<quint32>{7, 8};
    QTest::newRow("Ogg, a serial the file does not begin") << "Ogg"
                                                           << "2"
                                                           << ""
                                                           << "9"
                                                           << "" << QList<quint32>{7, 8};
    QTest::newRow("two streams, nothing to tell") << "Ogg"
                                                  << "2"
                                                  << ""
                                                  << "17"
                                                  << "" << QList<quint32>();
    QTest::newRow("order not a number") << "AVI"
                                        << "2"
                                        << "0-1"
                                        << ""
                                        << "" << QList<quint32>();
    QTest::newRow("id with a sign") << "MPEG-TS"
                                    << "2"
                                    << ""
                                    << "-256"
                                    << "" << QList<quint32>();
}

void TestProbeSource::streamSpecifier()
{
    QFETCH(QString, container);
    QFETCH(QString, audioCount);
    QFETCH(QString, streamOrder);
    QFETCH(QString, id);
    QFETCH(QString, specifier);
    QFETCH(QList<quint32>, serials);
    QCOMPARE(probe::streamSpecifier(container, audioCount, streamOrder, id, serials), specifier);
}

// The serial numbers as the file's first pages give them, and nothing from what is not Ogg.
void TestProbeSource::oggSerials()
{
    QTemporaryDir dir;
    const QString ogg = dir.filePath("two.ogg");
    QVERIFY(fixtures::ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", "-f", "lavfi", "-i",
                              "sine=duration=1", "-map", "0", "-map", "1", "-c:a", "libvorbis",
                              "-fflags", "+bitexact", "-serial_offset", "7"},
                             ogg));
    QCOMPARE(probe::oggSerials(ogg), (QList<quint32>{7, 8}));
    // Cut inside the second page: the first is still read.
    const QString cut = dir.filePath("cut.ogg");
    QVERIFY(QFile::copy(ogg, cut));
    QVERIFY(QFile::resize(cut, 70));
    QCOMPARE(probe::oggSerials(cut), (QList<quint32>{7}));
    const QString wav = dir.filePath("a.wav");
    QVERIFY(fixtures::ffmpeg({"-f", "lavfi", "-i", "sine=duration=1"}, wav));
    QCOMPARE(probe::oggSerials(wav), QList<quint32>());
    QCOMPARE(probe::oggSerials(dir.filePath("missing.ogg")), QList<quint32>());
}

KELVANE_TEST_MAIN(QCoreApplication, TestProbeSource)

#include "tst_probesource.moc"
