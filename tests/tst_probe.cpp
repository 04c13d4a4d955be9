#include "application.h"
#include "fakemedia.h"
#include "fixtures.h"
#include "harness.h"
#include "kelvaneerror.h"
#include "numbers.h"
#include "probe.h"
#include "scriptedprompts.h"
#include "testmain.h"
#include "unit1.h"

#include "logview.h"
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

using Answers = FakeMedia::Answers;

// A window whose source dialog answers with prompts.open, "in.mpg" to begin with, and whose
// library is fake.
struct FakeWindow
{
    explicit FakeWindow(Answers answers)
    {
        auto lib = std::make_unique<FakeMedia>(std::move(answers));
        media = lib.get();
        window = std::make_unique<Tmain>(std::move(lib));
        prompts.open = "in.mpg";
        window->setPrompts(prompts);
    }

    void browse()
    {
        QTest::mouseClick(window->Button2, Qt::LeftButton);
        QVERIFY(probed(*window));
    }

    ScriptedPrompts prompts;
    FakeMedia *media;
    std::unique_ptr<Tmain> window;
};

} // namespace

class TestProbe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void browseShowsTheProbe_data();
    void browseShowsTheProbe();
    void noAudioKeepsEarlierValues();
    void bitrateChange();
    void failureKeepsEverything();
    void failedProbeForgetsTheStream_data();
    void failedProbeForgetsTheStream();
    void convertWaitsForTheProbe();
    void cancelProbesTheHeldName();
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

// What the window shows of a probe, or of the error that ended it: the box's text ends with a
// full stop and nothing but the source box changes.
void TestProbe::browseShowsTheProbe_data()
{
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("estimate");
    QTest::addColumn<QString>("error");
    QTest::newRow("found") << FakeMedia::withPlayTime("90000") << 90
                           << "MPEG-1 48000rate 2channels 192000bitrate 90sec"
                           << "Output filesize: 2160 KB"
                           << "";
    QTest::newRow("largest that fits") << FakeMedia::withPlayTime("2147483647000") << 2147483647
                                       << "MPEG-1 48000rate 2channels 192000bitrate 2147483647sec"
                                       << "Output filesize: 51539607528 KB"
                                       << "";
    QTest::newRow("found by the file size") << FakeMedia::withFileSize("1000000", "128000") << 62
                                            << "AC3 48000rate 2channels 128000bitrate 62sec"
                                            << "Output filesize: 1488 KB"
                                            << "";
    QTest::newRow("not a number") << FakeMedia::withPlayTime("abc") << 0 << ""
                                  << ""
                                  << "'abc' is not a valid floating point value.";
    QTest::newRow("out of range") << FakeMedia::withPlayTime("1e300") << 0 << ""
                                  << ""
                                  << "The play time '1e300' is out of range.";
    QTest::newRow("division by zero") << FakeMedia::withFileSize("1000000", "0") << 0 << ""
                                      << ""
                                      << "Division by zero.";
}

void TestProbe::browseShowsTheProbe()
{
    QFETCH(Answers, answers);
    QFETCH(int, seconds);
    QFETCH(QString, summary);
    QFETCH(QString, estimate);
    QFETCH(QString, error);
    FakeWindow f(answers);
    f.browse();
    QCOMPARE(f.prompts.errors, error.isEmpty() ? QStringList() : QStringList{error});
    QCOMPARE(f.window->audiosource->text(), QString("in.mpg"));
    QCOMPARE(f.window->durationsec, seconds);
    QCOMPARE(f.window->audioinfo->text(), summary);
    QCOMPARE(f.window->outputsize->text(), estimate);
    QCOMPARE(f.media->openHandles, 0);
}

void TestProbe::noAudioKeepsEarlierValues()
{
    FakeWindow f(FakeMedia::withPlayTime("90000"));
    f.browse();
    QCOMPARE(f.window->estimatedkb, 2160);
    f.media->answers.remove("A:Codec"); // the next file has no audio
    f.media->calls.clear();
    f.prompts.open = "video.mpg";
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
    f.media->answers.insert("A:Codec", " ");
    f.browse();
    QCOMPARE(f.window->audioinfo->text(),
             QString("MPEG-1 48000rate 2channels 192000bitrate 90sec"));
}

void TestProbe::bitrateChange()
{
    FakeWindow f(FakeMedia::withPlayTime("90000"));
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
    FakeWindow f(FakeMedia::withPlayTime("62000"));
    f.browse();
    const QString info = f.window->audioinfo->text();
    f.media->answers.insert("G:PlayTime", "x");
    f.prompts.open = "second.mpg";
    f.browse();
    QCOMPARE(f.prompts.errors, QStringList{"'x' is not a valid floating point value."});
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

void TestProbe::failedProbeForgetsTheStream_data()
{
    QTest::addColumn<QString>("second");
    QTest::newRow("another file") << "second.mpg";
    // The file may have been replaced since it was read.
    QTest::newRow("the same path") << "in.mpg";
}

// The stream the first probe identified belongs to the file as it was then: a Convert after a
// failed probe leaves the choice to ffmpeg, and says so.
void TestProbe::failedProbeForgetsTheStream()
{
    QFETCH(QString, second);
    Answers answers = FakeMedia::withPlayTime("62000");
    answers.insert("G:Format", "MPEG-TS");
    answers.insert("A:ID", "256");
    FakeWindow f(answers);
    QTemporaryDir dir;
    f.window->saveaudio->setFileName(dir.filePath("out.ac3"));
    f.browse();
    QTest::mouseClick(f.window->Button1, Qt::LeftButton);
    QVERIFY2(f.window->ResultsRE->toPlainText().contains(R"("in.mpg" -map 0:a:i:256 -ab)"),
             qPrintable(f.window->ResultsRE->toPlainText()));
    QTRY_VERIFY_WITH_TIMEOUT(!f.window->jobRunning(), 20000);

    f.media->answers.insert("G:PlayTime", "x");
    f.prompts.open = second;
    f.browse();
    QCOMPARE(f.prompts.errors, QStringList{"'x' is not a valid floating point value."});
    QTest::mouseClick(f.window->Button1, Qt::LeftButton);
    QVERIFY2(
        f.window->ResultsRE->toPlainText().endsWith(
            QString(
                R"(ffmpeg -loglevel verbose -i "%2" -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "%1")"
                "\nThe source has not been probed successfully, so ffmpeg chooses "
                "which audio stream to encode")
                .arg(dir.filePath("out.ac3"), second)),
        qPrintable(f.window->ResultsRE->toPlainText()));
    QTRY_VERIFY_WITH_TIMEOUT(!f.window->jobRunning(), 20000);
}

namespace {
// Holds every open() until the test lets it through: a file that is still being read.
class GatedMedia final : public MediaLibrary
{
public:
    explicit GatedMedia(FakeMedia::Answers answers) : fake(std::move(answers)) {}
    Handle open(const QByteArray &name) override
    {
        ++waiting;
        gate.acquire();
        return fake.open(name);
    }
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override
    {
        return fake.get(handle, kind, parameter);
    }
    void close(Handle handle) override
    {
        fake.close(handle);
        ++closed;
    }

    QSemaphore gate;
    std::atomic<int> waiting = 0;
    std::atomic<int> closed = 0;
    FakeMedia fake;
};
} // namespace

// Convert while the source is being read waits for the probe and then converts with what it
// found; Escape drops both.
void TestProbe::convertWaitsForTheProbe()
{
    Answers answers = FakeMedia::withPlayTime("62000");
    answers.insert("G:Format", "MPEG-TS");
    answers.insert("A:ID", "256");
    auto library = std::make_unique<GatedMedia>(answers);
    GatedMedia &media = *library;
    ScriptedPrompts prompts;
    prompts.open = "in.mpg";
    Tmain window(std::move(library));
    // A failing check must not leave the probe's thread waiting at the gate.
    const auto open = qScopeGuard([&media] { media.gate.release(2); });
    window.setPrompts(prompts);
    QTemporaryDir dir;
    window.saveaudio->setFileName(dir.filePath("out.ac3"));
    // Escape is the window's shortcut: it reaches an active window.
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QTest::mouseClick(window.Button2, Qt::LeftButton);
    QVERIFY(window.probing());
    QCOMPARE(window.audioinfo->text(), QString("Reading the file\u2026"));
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    QVERIFY(!window.jobRunning());
    QCOMPARE(window.ResultsRE->toPlainText(), QString());
    media.gate.release();
    QTRY_VERIFY(window.ResultsRE->toPlainText().contains(R"("in.mpg" -map 0:a:i:256 -ab)"));
    QCOMPARE(window.durationsec, 62);
    QTRY_VERIFY_WITH_TIMEOUT(!window.jobRunning(), 20000);
    QTRY_COMPARE(prompts.notices.size(), 1);
    const QString log = window.ResultsRE->toPlainText();

    QTest::mouseClick(window.Button2, Qt::LeftButton);
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    // Escape while the library is reading, not before the probe's thread has begun.
    QTRY_COMPARE(media.waiting.load(), 2);
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.probing());
    QCOMPARE(window.audioinfo->text(), QString("MPEG-1 48000rate 2channels 192000bitrate 62sec"));
    media.gate.release();
    // The dropped probe ends on its thread and leaves no trace.
    QTRY_COMPARE(media.closed.load(), 2);
    QTest::qWait(50);
    QVERIFY(!window.jobRunning());
    QCOMPARE(window.ResultsRE->toPlainText(), log);
    QCOMPARE(prompts.errors, QStringList());
}

void TestProbe::cancelProbesTheHeldName()
{
    FakeWindow f(FakeMedia::withPlayTime("90000"));
    f.prompts.open.clear(); // cancel before any choice: the empty name is probed
    f.media->answers.remove("A:Codec");
    f.browse();
    QCOMPARE(f.media->calls, (QByteArrayList{"open ", "A:Codec", "close"}));
    QCOMPARE(f.window->audioinfo->text(), QString("No audio"));
    QCOMPARE(f.window->audiosource->text(), QString());

    f.media->answers.insert("A:Codec", "MPA1L2");
    f.prompts.open = "in.mpg";
    f.browse();
    f.prompts.open.clear(); // cancel after a choice: the same file again, with the current bitrate
    f.window->audiobitrate->setCurrentText("64");
    f.media->calls.clear();
    f.browse();
    QCOMPARE(f.media->calls.first(), QByteArray("open in.mpg"));
    QCOMPARE(f.window->outputsize->text(), QString("Output filesize: 720 KB"));
}

// Real files through the real window and the real libmediainfo.
void TestProbe::realFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("make"); // ffmpeg's arguments; empty: the bytes below instead
    QTest::addColumn<QByteArray>("bytes"); // null: no file at all
    QTest::addColumn<QString>("codec");    // empty: no audio expected
    QTest::addColumn<QString>("rate");

    const QByteArray none;
    QTest::newRow("wav") << "tone.wav" << fixtures::sine(5) << none << "PCM"
                         << "48000";
    QTest::newRow("mp3") << "tone.mp3"
                         << (fixtures::sine(5, 44100) << "-b:a"
                                                      << "128k")
                         << none << "MPEG-1 Audio layer 3"
                         << "44100";
    QTest::newRow("ac3") << "tone.ac3"
                         << (fixtures::sine(4) << "-b:a"
                                               << "192k")
                         << none << "AC3"
                         << "48000";
    QTest::newRow("mpeg with video and mp2") << "movie.mpg"
                                             << (fixtures::video(3) + fixtures::sine(3) << "-c:a"
                                                                                        << "mp2"
                                                                                        << "-f"
                                                                                        << "mpeg")
                                             << none << "MPEG-1 Audio layer 2"
                                             << "48000";
    QTest::newRow("blanks and non-ASCII")
        << "dir with blanks/Grüße ü.wav" << fixtures::sine(2) << none << "PCM"
        << "48000";
    QTest::newRow("video only") << "silent.mpg"
                                << (fixtures::video(2) << "-f"
                                                       << "mpeg")
                                << none << QString() << QString();
    QTest::newRow("text named mp3")
        << "text.mp3" << QStringList() << QByteArray("this is not audio at all\n") << QString()
        << QString();
    QTest::newRow("zero bytes") << "empty.wav" << QStringList() << QByteArray("") << QString()
                                << QString();
    QTest::newRow("missing") << "does-not-exist.wav" << QStringList() << none << QString()
                             << QString();
}

void TestProbe::realFiles()
{
    QFETCH(QString, name);
    QFETCH(QStringList, make);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, codec);
    QFETCH(QString, rate);

    const QString path = m_dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!make.isEmpty()) {
        QVERIFY(fixtures::ffmpeg(make, path));
    } else if (!bytes.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }

    ScriptedPrompts prompts;
    prompts.open = path;
    Tmain window;
    window.setPrompts(prompts);
    QTest::mouseClick(window.Button2, Qt::LeftButton);
    QVERIFY(probed(window));
    QCOMPARE(prompts.errors, QStringList());

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
    ScriptedPrompts prompts;
    Tmain window;
    window.setPrompts(prompts);
    QVERIFY(window.acceptDrops());

    // Nothing usable: refused quietly, nothing changes.
    QVERIFY(!drop(window, {QUrl::fromLocalFile(m_dir.path()), QUrl("https://example.org/a.wav"),
                           QUrl::fromLocalFile(m_dir.filePath("gone.wav"))}));
    QCOMPARE(window.importmedia->FileName(), QString());
    QCOMPARE(window.audioinfo->text(), QString());

    // The first local file wins, exactly as if chosen in the dialog.
    QVERIFY(drop(window, {QUrl::fromLocalFile(m_dir.path()), QUrl("https://example.org/a.wav"),
                          QUrl::fromLocalFile(wav), QUrl::fromLocalFile(mp3)}));
    QVERIFY(probed(window));
    QCOMPARE(prompts.errors, QStringList());
    QCOMPARE(window.importmedia->FileName(), wav);
    QCOMPARE(window.audiosource->text(), wav);
    QVERIFY2(window.audioinfo->text().startsWith("PCM 48000rate 2channels "),
             qPrintable(window.audioinfo->text()));
    QCOMPARE(window.durationsec, 3);
    QCOMPARE(window.outputsize->text(), QString("Output filesize: 72 KB"));
}

KELVANE_TEST_MAIN(Application, TestProbe)

#include "tst_probe.moc"
