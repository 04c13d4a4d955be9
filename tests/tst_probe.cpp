#include "application.h"
#include "fixtures.h"
#include "kelvaneerror.h"
#include "numbers.h"
#include "probe.h"
#include "unit1.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include "logview.h"
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

// Answers from a table, "A:Codec" for the audio stream and "G:PlayTime" for the general one,
// and records every call in order.
class FakeMedia final : public MediaLibrary
{
public:
    explicit FakeMedia(QHash<QByteArray, QByteArray> answers) : m_answers(std::move(answers)) {}

    Handle open(const QByteArray &name) override
    {
        calls.append("open " + name);
        ++openHandles;
        return this;
    }
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override
    {
        Q_ASSERT(handle == this);
        const QByteArray key = (kind == Audio ? "A:" : "G:") + QByteArray(parameter);
        calls.append(key);
        return m_answers.value(key);
    }
    void close(Handle) override
    {
        calls.append("close");
        --openHandles;
    }

    QByteArrayList calls;
    int openHandles = 0;
    QHash<QByteArray, QByteArray> m_answers;
};

using Answers = QHash<QByteArray, QByteArray>;

Answers withPlayTime(const QByteArray &playTime)
{
    return {{"A:Codec", "MPA1L2"},       {"G:PlayTime", playTime}, {"A:Codec_String", "MPEG-1"},
            {"A:SamplingRate", "48000"}, {"A:Channels", "2"},      {"A:BitRate", "192000"}};
}

Answers fallbackAnswers(const QByteArray &fileSize, const QByteArray &bitRate)
{
    return {{"A:Codec", "AC3"},        {"G:FileSize", fileSize},    {"A:BitRate", bitRate},
            {"A:Codec_String", "AC3"}, {"A:SamplingRate", "48000"}, {"A:Channels", "2"}};
}

// A window whose source dialog answers with name and whose library is fake.
struct FakeWindow
{
    explicit FakeWindow(Answers answers)
    {
        auto lib = std::make_unique<FakeMedia>(std::move(answers));
        media = lib.get();
        window = std::make_unique<Tmain>(std::move(lib));
        window->importmedia->setAnswerer([this](const FileDialog &) -> std::optional<QStringList> {
            if (name.isEmpty())
                return std::nullopt;
            return QStringList{name};
        });
        Application::setErrorDisplay([this](const QString &t) { errors.append(t); });
    }
    ~FakeWindow() { Application::setErrorDisplay({}); }

    void browse() { QTest::mouseClick(window->Button2, Qt::LeftButton); }

    FakeMedia *media;
    std::unique_ptr<Tmain> window;
    QString name = "in.mpg";
    QStringList errors;
};

} // namespace

class TestProbe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void playTime_data();
    void playTime();
    void fallback_data();
    void fallback();
    void queriesInOrder();
    void streamSpecifier_data();
    void streamSpecifier();
    void noAudioKeepsEarlierValues();
    void bitrateChange();
    void failureKeepsEverything();
    void failedProbeForgetsTheStream();
    void cancelProbesTheHeldName();
    void readInteger_data();
    void readInteger();
    void realFiles_data();
    void realFiles();
    void dropChoosesTheSource();

private:
    QTemporaryDir m_dir;
};

void TestProbe::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

// Play time -> seconds, estimate at 192 and the summary's end; an empty result means an error.
void TestProbe::playTime_data()
{
    QTest::addColumn<QByteArray>("playTime");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("error");
    QTest::newRow("90000") << QByteArray("90000") << 90 << QString();
    QTest::newRow("90001") << QByteArray("90001") << 91 << QString();
    QTest::newRow("999") << QByteArray("999") << 1 << QString();
    QTest::newRow("0") << QByteArray("0") << 0 << QString();
    QTest::newRow("1500.7 is cut") << QByteArray("1500.7") << 2 << QString();
    QTest::newRow("leading blanks") << QByteArray("  4000") << 4 << QString();
    QTest::newRow("exponent") << QByteArray("9e4") << 90 << QString();
    QTest::newRow("negative") << QByteArray("-1500") << -1 << QString();
    QTest::newRow(".5 leaves nothing")
        << QByteArray(".5") << 0 << "'' is not a valid floating point value.";
    QTest::newRow("abc") << QByteArray("abc") << 0 << "'abc' is not a valid floating point value.";
    QTest::newRow("trailing blank")
        << QByteArray("5000 ") << 0 << "'5000 ' is not a valid floating point value.";
    QTest::newRow("inf") << QByteArray("inf") << 0 << "'inf' is not a valid floating point value.";
    QTest::newRow("minus zero") << QByteArray("-0.5") << 0 << QString();
    QTest::newRow("underflow") << QByteArray("1e-400") << 0
                               << "'1e-400' is not a valid floating point value.";
    QTest::newRow("exponent without digits")
        << QByteArray("5e") << 0 << "'5e' is not a valid floating point value.";
    QTest::newRow("largest that fits") << QByteArray("2147483647000") << 2147483647 << QString();
    QTest::newRow("beyond 32-bit seconds")
        << QByteArray("2147483647001") << 0 << "The play time '2147483647001' is out of range.";
    QTest::newRow("huge exponent")
        << QByteArray("1e300") << 0 << "The play time '1e300' is out of range.";
}

void TestProbe::playTime()
{
    QFETCH(QByteArray, playTime);
    QFETCH(int, seconds);
    QFETCH(QString, error);
    FakeWindow f(withPlayTime(playTime));
    f.browse();
    if (!error.isEmpty()) {
        QCOMPARE(f.errors, QStringList{error});
        QCOMPARE(f.window->durationsec, 0);
        QCOMPARE(f.window->audioinfo->text(), QString());
    } else {
        QCOMPARE(f.errors, QStringList());
        QCOMPARE(f.window->durationsec, seconds);
        // Wide arithmetic: 192 * 2147483647 / 8 does not wrap.
        QCOMPARE(f.window->estimatedkb, qint64(192) * seconds / 8);
        QCOMPARE(f.window->outputsize->text(),
                 QString("Output filesize: %1 KB").arg(qint64(192) * seconds / 8));
        QCOMPARE(f.window->audioinfo->text(),
                 QString("MPEG-1 48000rate 2channels 192000bitrate %1sec").arg(seconds));
        QCOMPARE(f.window->audiosource->text(), QString("in.mpg"));
    }
    QCOMPARE(f.media->openHandles, 0);
}

void TestProbe::fallback_data()
{
    QTest::addColumn<QByteArray>("fileSize");
    QTest::addColumn<QByteArray>("bitRate");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("error");
    QTest::newRow("1000000 / 128000")
        << QByteArray("1000000") << QByteArray("128000") << 62 << QString();
    QTest::newRow("negative rate")
        << QByteArray("1000000") << QByteArray("-128000") << -62 << QString();
    QTest::newRow("empty bit rate")
        << QByteArray("1000000") << QByteArray() << 0 << "'' is not a valid integer value.";
    QTest::newRow("rate 0") << QByteArray("1000000") << QByteArray("0") << 0 << "Division by zero.";
    QTest::newRow("rate -7") << QByteArray("1000000") << QByteArray("-7") << 0
                             << "Division by zero.";
    QTest::newRow("rate 8") << QByteArray("1000000") << QByteArray("8") << 1000000 << QString();
    QTest::newRow("size 2147483648") << QByteArray("2147483648") << QByteArray("128000") << 0
                                     << "'2147483648' is not a valid integer value.";
    QTest::newRow("bad size reported before bad rate")
        << QByteArray("1e6") << QByteArray("x") << 0 << "'1e6' is not a valid integer value.";
    QTest::newRow("most negative / -1 does not fit")
        << QByteArray("-2147483648") << QByteArray("-8") << 0
        << "The duration 2147483648 is out of range.";
}

void TestProbe::fallback()
{
    QFETCH(QByteArray, fileSize);
    QFETCH(QByteArray, bitRate);
    QFETCH(int, seconds);
    QFETCH(QString, error);
    FakeWindow f(fallbackAnswers(fileSize, bitRate));
    f.browse();
    if (!error.isEmpty()) {
        QCOMPARE(f.errors, QStringList{error});
    } else {
        QCOMPARE(f.errors, QStringList());
        QCOMPARE(f.window->durationsec, seconds);
        QCOMPARE(f.window->estimatedkb, qint64(192) * seconds / 8);
        QCOMPARE(f.window->audioinfo->text(), QString("AC3 48000rate 2channels %1bitrate %2sec")
                                                  .arg(QString::fromLatin1(bitRate))
                                                  .arg(seconds));
    }
    QCOMPARE(f.media->openHandles, 0);
}

void TestProbe::queriesInOrder()
{
    FakeWindow f(fallbackAnswers("1000000", "128000"));
    f.browse();
    QCOMPARE(f.media->calls,
             (QByteArrayList{"open in.mpg", "A:Codec", "G:PlayTime", "G:FileSize", "A:BitRate",
                             "A:Codec_String", "A:SamplingRate", "A:Channels", "A:BitRate",
                             "G:Format", "G:AudioCount", "A:StreamOrder", "A:ID", "close"}));
    QCOMPARE(f.window->estimatedkb, 1488);
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 1488 KB"));
}

// The fields as this machine's libmediainfo gives them for files made by ffmpeg, and the
// specifier under which ffmpeg finds the same stream.
void TestProbe::streamSpecifier_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("audioCount");
    QTest::addColumn<QString>("streamOrder");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("specifier");
    QTest::newRow("MPEG-TS by PID") << "MPEG-TS"
                                    << "2"
                                    << "0-0"
                                    << "256"
                                    << "0:a:i:256";
    QTest::newRow("MPEG-TS, PIDs against the order") << "MPEG-TS"
                                                     << "2"
                                                     << "0-1"
                                                     << "336"
                                                     << "0:a:i:336";
    QTest::newRow("M2TS") << "BDAV"
                          << "1"
                          << "0-1"
                          << "4352"
                          << "0:a:i:4352";
    QTest::newRow("MPEG-PS MPEG audio") << "MPEG-PS"
                                        << "2"
                                        << "0"
                                        << "192"
                                        << "0:a:i:448";
    QTest::newRow("MPEG-PS last MPEG audio id") << "MPEG-PS"
                                                << "2"
                                                << "0"
                                                << "223"
                                                << "0:a:i:479";
    QTest::newRow("MPEG-PS private stream AC3") << "MPEG-PS"
                                                << "1"
                                                << "1"
                                                << "189-128"
                                                << "0:a:i:128";
    QTest::newRow("MPEG-PS unknown id") << "MPEG-PS"
                                        << "2"
                                        << "1"
                                        << "253-117"
                                        << "";
    QTest::newRow("MPEG-PS video id is not audio") << "MPEG-PS"
                                                   << "1"
                                                   << "0"
                                                   << "224"
                                                   << "";
    QTest::newRow("MPEG-4 by track ID") << "MPEG-4"
                                        << "2"
                                        << "1"
                                        << "2"
                                        << "0:a:i:2";
    QTest::newRow("QuickTime by track ID") << "QuickTime"
                                           << "1"
                                           << "0"
                                           << "1"
                                           << "0:a:i:1";
    QTest::newRow("Matroska by position") << "Matroska"
                                          << "2"
                                          << "0"
                                          << "1"
                                          << "0:0";
    QTest::newRow("Matroska after video") << "Matroska"
                                          << "1"
                                          << "1"
                                          << "2"
                                          << "0:1";
    QTest::newRow("AVI by position") << "AVI"
                                     << "2"
                                     << "1"
                                     << "1"
                                     << "0:1";
    QTest::newRow("AVI without order") << "AVI"
                                       << "2"
                                       << ""
                                       << "1"
                                       << "0:1";
    QTest::newRow("WAV, one stream") << "Wave"
                                     << "1"
                                     << ""
                                     << ""
                                     << "0:a:0";
    QTest::newRow("Ogg, one stream") << "Ogg"
                                     << "1"
                                     << ""
                                     << "1787230238"
                                     << "0:a:0";
    QTest::newRow("two streams, nothing to tell") << "Ogg"
                                                  << "2"
                                                  << ""
                                                  << "17"
                                                  << "";
    QTest::newRow("order not a number") << "Matroska"
                                        << "2"
                                        << "0-1"
                                        << ""
                                        << "";
    QTest::newRow("id with a sign") << "MPEG-TS"
                                    << "2"
                                    << ""
                                    << "-256"
                                    << "";
}

void TestProbe::streamSpecifier()
{
    QFETCH(QString, container);
    QFETCH(QString, audioCount);
    QFETCH(QString, streamOrder);
    QFETCH(QString, id);
    QFETCH(QString, specifier);
    QCOMPARE(probe::streamSpecifier(container, audioCount, streamOrder, id), specifier);
}

void TestProbe::noAudioKeepsEarlierValues()
{
    FakeWindow f(withPlayTime("90000"));
    f.browse();
    QCOMPARE(f.window->estimatedkb, 2160);
    f.media->m_answers.remove("A:Codec"); // the next file has no audio
    f.media->calls.clear();
    f.name = "video.mpg";
    f.browse();
    QCOMPARE(f.media->calls, (QByteArrayList{"open video.mpg", "A:Codec", "close"}));
    QCOMPARE(f.window->audioinfo->text(), QString("No audio"));
    QCOMPARE(f.window->audiosource->text(), QString());
    QCOMPARE(f.window->durationsec, 90);
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 2160 KB"));
    // A later bitrate change still works from the earlier duration.
    f.window->audiobitrate->setCurrentText("448");
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 5040 KB"));
    // A blank codec text counts as present.
    f.media->m_answers.insert("A:Codec", " ");
    f.browse();
    QCOMPARE(f.window->audioinfo->text(),
             QString("MPEG-1 48000rate 2channels 192000bitrate 90sec"));
}

void TestProbe::bitrateChange()
{
    FakeWindow f(withPlayTime("90000"));
    f.window->audiobitrate->setCurrentText("64"); // before any probe
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 0 KB"));
    QCOMPARE(f.window->estimatedkb, 0);
    f.window->audiobitrate->setCurrentText("192");
    f.browse();
    QCOMPARE(f.window->estimatedkb, 2160);
    const auto probes = f.media->calls.count("close");
    f.window->audiobitrate->setCurrentText("448");
    QCOMPARE(f.window->estimatedkb, 5040);
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 5040 KB"));
    QCOMPARE(f.media->calls.count("close"), probes); // no new probe
}

void TestProbe::failureKeepsEverything()
{
    FakeWindow f(withPlayTime("62000"));
    f.browse();
    const QString info = f.window->audioinfo->text();
    f.media->m_answers.insert("G:PlayTime", "x");
    f.name = "second.mpg";
    f.browse();
    QCOMPARE(f.errors, QStringList{"'x' is not a valid floating point value."});
    QCOMPARE(f.window->audiosource->text(), QString("second.mpg"));
    QCOMPARE(f.window->audioinfo->text(), info);
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 1488 KB"));
    QCOMPARE(f.window->durationsec, 62);
    QCOMPARE(f.window->estimatedkb, 1488);
    QCOMPARE(f.media->openHandles, 0);
    // The window goes on working.
    f.window->audiobitrate->setCurrentText("64");
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 496 KB"));
}

// The stream the first probe identified belongs to the first file: a Convert after a failed
// probe of another file leaves the choice to ffmpeg, and says so.
void TestProbe::failedProbeForgetsTheStream()
{
    Answers answers = withPlayTime("62000");
    answers.insert("G:Format", "MPEG-TS");
    answers.insert("A:ID", "256");
    FakeWindow f(answers);
    QTemporaryDir dir;
    f.window->saveaudio->setFileName(dir.filePath("out.ac3"));
    f.window->setMessageBox([](const QString &) {});
    f.browse();
    QTest::mouseClick(f.window->Button1, Qt::LeftButton);
    QVERIFY2(f.window->ResultsRE->toPlainText().contains(R"("in.mpg" -map 0:a:i:256 -ab)"),
             qPrintable(f.window->ResultsRE->toPlainText()));
    QTRY_VERIFY_WITH_TIMEOUT(!f.window->jobRunning(), 20000);

    f.media->m_answers.insert("G:PlayTime", "x");
    f.name = "second.mpg";
    f.browse();
    QCOMPARE(f.errors, QStringList{"'x' is not a valid floating point value."});
    QTest::mouseClick(f.window->Button1, Qt::LeftButton);
    QVERIFY2(f.window->ResultsRE->toPlainText().endsWith(
                 QString(R"(ffmpeg -i "second.mpg" -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "%1")"
                         "\nThe source has not been probed successfully, so ffmpeg chooses "
                         "which audio stream to encode")
                     .arg(dir.filePath("out.ac3"))),
             qPrintable(f.window->ResultsRE->toPlainText()));
    QTRY_VERIFY_WITH_TIMEOUT(!f.window->jobRunning(), 20000);
}

void TestProbe::cancelProbesTheHeldName()
{
    FakeWindow f(withPlayTime("90000"));
    f.name.clear(); // cancel before any choice: the empty name is probed
    f.media->m_answers.remove("A:Codec");
    f.browse();
    QCOMPARE(f.media->calls, (QByteArrayList{"open ", "A:Codec", "close"}));
    QCOMPARE(f.window->audioinfo->text(), QString("No audio"));
    QCOMPARE(f.window->audiosource->text(), QString());

    f.media->m_answers.insert("A:Codec", "MPA1L2");
    f.name = "in.mpg";
    f.browse();
    f.name.clear(); // cancel after a choice: the same file again, with the current bitrate
    f.window->audiobitrate->setCurrentText("64");
    f.media->calls.clear();
    f.browse();
    QCOMPARE(f.media->calls.first(), QByteArray("open in.mpg"));
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 720 KB"));
}

void TestProbe::readInteger_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("value"); // out of int range: a failure
    const qint64 fail = std::numeric_limits<qint64>::min();
    QTest::newRow("plain") << QByteArray("128000") << qint64(128000);
    QTest::newRow("blanks and sign") << QByteArray("  -42") << qint64(-42);
    QTest::newRow("plus") << QByteArray("+7") << qint64(7);
    QTest::newRow("max") << QByteArray("2147483647") << qint64(2147483647);
    QTest::newRow("min") << QByteArray("-2147483648") << qint64(-2147483648LL);
    QTest::newRow("over max") << QByteArray("2147483648") << fail;
    QTest::newRow("under min") << QByteArray("-2147483649") << fail;
    QTest::newRow("many digits") << QByteArray("99999999999999999999999") << fail;
    QTest::newRow("empty") << QByteArray() << fail;
    QTest::newRow("sign only") << QByteArray("-") << fail;
    QTest::newRow("trailing blank") << QByteArray("12 ") << fail;
    QTest::newRow("fraction") << QByteArray("1.5") << fail;
    QTest::newRow("hex") << QByteArray("0x10") << fail;
    QTest::newRow("tab") << QByteArray("\t5") << fail;
    // Found while fuzzing against strtol with full checks.
    QTest::newRow("minus zero") << QByteArray("-0") << qint64(0);
    QTest::newRow("two signs") << QByteArray("+-1") << fail;
    QTest::newRow("leading zeros") << QByteArray("0000000000002147483647") << qint64(2147483647);
    QTest::newRow("zero byte") << QByteArray("1\0", 2) << fail;
    QTest::newRow("blank after sign") << QByteArray("- 1") << fail;
}

void TestProbe::readInteger()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, value);
    if (value == std::numeric_limits<qint64>::min()) {
        try {
            numbers::readInteger(text);
            QFAIL("accepted");
        } catch (const KelvaneError &e) {
            QCOMPARE(e.message(), QString("'%1' is not a valid integer value").arg(QString(text)));
        }
    } else {
        QCOMPARE(qint64(numbers::readInteger(text)), value);
    }
}

// Real files through the real window and the real libmediainfo.
void TestProbe::realFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("make"); // empty: written by hand below
    QTest::addColumn<QString>("codec");    // empty: no audio expected
    QTest::addColumn<QString>("rate");

    QTest::newRow("wav") << "tone.wav" << fixtures::sine(5) << "PCM"
                         << "48000";
    QTest::newRow("mp3") << "tone.mp3"
                         << (fixtures::sine(5, 44100) << "-b:a"
                                                      << "128k")
                         << "MPEG-1 Audio layer 3"
                         << "44100";
    QTest::newRow("ac3") << "tone.ac3"
                         << (fixtures::sine(4) << "-b:a"
                                               << "192k")
                         << "AC3"
                         << "48000";
    QTest::newRow("mpeg with video and mp2") << "movie.mpg"
                                             << (fixtures::video(3) + fixtures::sine(3) << "-c:a"
                                                                                        << "mp2"
                                                                                        << "-f"
                                                                                        << "mpeg")
                                             << "MPEG-1 Audio layer 2"
                                             << "48000";
    QTest::newRow("blanks and non-ASCII")
        << "dir with blanks/Grüße ü.wav" << fixtures::sine(2) << "PCM"
        << "48000";
    QTest::newRow("video only") << "silent.mpg"
                                << (fixtures::video(2) << "-f"
                                                       << "mpeg")
                                << QString() << QString();
    QTest::newRow("text named mp3") << "text.mp3" << QStringList() << QString() << QString();
    QTest::newRow("zero bytes") << "empty.wav" << QStringList() << QString() << QString();
    QTest::newRow("missing") << "does-not-exist.wav" << QStringList() << QString() << QString();
}

void TestProbe::realFiles()
{
    QFETCH(QString, name);
    QFETCH(QStringList, make);
    QFETCH(QString, codec);
    QFETCH(QString, rate);

    const QString path = m_dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!make.isEmpty()) {
        QVERIFY(fixtures::ffmpeg(make, path));
    } else if (name == "text.mp3") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("this is not audio at all\n");
    } else if (name == "empty.wav") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    Tmain window;
    window.importmedia->setAnswerer([&](const FileDialog &) { return QStringList{path}; });
    QStringList errors;
    Application::setErrorDisplay([&](const QString &t) { errors.append(t); });
    QTest::mouseClick(window.Button2, Qt::LeftButton);
    Application::setErrorDisplay({});
    QCOMPARE(errors, QStringList());

    if (codec.isEmpty()) {
        QCOMPARE(window.audioinfo->text(), QString("No audio"));
        QCOMPARE(window.audiosource->text(), QString());
        return;
    }
    // The seconds as ffprobe measures the file, rounded up as the probe does.
    const double duration = fixtures::probeValue(path, "duration").toDouble();
    const int seconds = int(std::ceil(std::round(duration * 1000) / 1000));
    const QString bitRate = fixtures::probeValue(path, "bit_rate");
    const QString summary = window.audioinfo->text();
    QCOMPARE(window.audiosource->text(), path);
    QVERIFY2(summary.startsWith(codec + " " + rate + "rate 2channels "), qPrintable(summary));
    QVERIFY2(summary.endsWith(QString("bitrate %1sec").arg(seconds)), qPrintable(summary));
    // The library's own bit rate, in bit/s, as ffprobe reads it too.
    QVERIFY2(summary.contains(" " + bitRate + "bitrate"), qPrintable(summary + " / " + bitRate));
    QCOMPARE(window.durationsec, seconds);
    QCOMPARE(window.estimatedkb, qint64(192 * seconds / 8));
    QCOMPARE(window.outputsize->text(), QString("Output filesize: %1 KB").arg(192 * seconds / 8));
}

namespace {
// Drags urls over the window and drops them, as a file manager does; true if it was accepted.
bool drop(Tmain &window, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = window.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &dropped);
    return dropped.isAccepted();
}
} // namespace

void TestProbe::dropChoosesTheSource()
{
    const QString wav = m_dir.filePath("dropped tone.wav");
    const QString mp3 = m_dir.filePath("second.mp3");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3), wav));
    QVERIFY(fixtures::ffmpeg(fixtures::sine(2), mp3));
    Tmain window;
    QVERIFY(window.acceptDrops());
    QStringList errors;
    Application::setErrorDisplay([&](const QString &t) { errors.append(t); });

    // Nothing usable: refused quietly, nothing changes.
    QVERIFY(!drop(window, {QUrl::fromLocalFile(m_dir.path()), QUrl("https://example.org/a.wav"),
                           QUrl::fromLocalFile(m_dir.filePath("gone.wav"))}));
    QCOMPARE(window.importmedia->FileName(), QString());
    QCOMPARE(window.audioinfo->text(), QString());

    // The first local file wins, exactly as if chosen in the dialog.
    QVERIFY(drop(window, {QUrl::fromLocalFile(m_dir.path()), QUrl("https://example.org/a.wav"),
                          QUrl::fromLocalFile(wav), QUrl::fromLocalFile(mp3)}));
    Application::setErrorDisplay({});
    QCOMPARE(errors, QStringList());
    QCOMPARE(window.importmedia->FileName(), wav);
    QCOMPARE(window.audiosource->text(), wav);
    QVERIFY2(window.audioinfo->text().startsWith("PCM 48000rate 2channels "),
             qPrintable(window.audioinfo->text()));
    QCOMPARE(window.durationsec, 3);
    QCOMPARE(window.outputsize->text(), QString("Output filesize: 72 KB"));
}

int main(int argc, char **argv)
{
    Application app(argc, argv);
    if (!fixtures::expectedLocaleActive())
        return 77;
    TestProbe test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_probe.moc"
