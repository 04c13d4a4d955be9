#include "application.h"
#include "fakemedia.h"
#include "fixtures.h"
#include "harness.h"
#include "log.h"
#include "testmain.h"
#include "thread.h"
#include "unit1.h"

#include "logview.h"
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestConversion : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void choicesAreChecked();
    void commandLineGoesToTheLog();
    void failedJobIsReported();
    void barShowsOutputSize_data();
    void barShowsOutputSize();
    void bitrateTheFormatCannotEncode_data();
    void bitrateTheFormatCannotEncode();
    void endToEnd_data();
    void endToEnd();
    void ffmpegMissingFromPath();
    void largeOutputIsWholeBeforeTheNotice();
    void stopButton();
    void closeDuringJob();
    void noKeepsTheWindowWhenTheJobEndedMeanwhile();
    void quitAtAnyMoment_data();
    void quitAtAnyMoment();
    void refusedThread();
    void streamShownIsStreamEncoded();
    void trackFfmpegSkipsBeforeTheAudio();
    void encodedStreamMustBeTheOneShown();

private:
    QTemporaryDir m_dir;
    QString m_wav;
};

void TestConversion::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_wav = m_dir.filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(5), m_wav));
}

void TestConversion::choicesAreChecked()
{
    Harness h;
    const QString logBefore = h.log();
    h.convert(); // neither chosen: only the source is complained about
    QCOMPARE(h.notices, QStringList{"Please select an audio source"});
    h.chooseSource(m_wav);
    h.convert();
    QCOMPARE(h.notices,
             (QStringList{"Please select an audio source", "Please select an audio output"}));
    QCOMPARE(h.log(), logBefore);
    QVERIFY(!h.window.jobRunning());
    QVERIFY(!converting);
}

void TestConversion::commandLineGoesToTheLog()
{
    Harness h;
    h.window.importmedia->setFileName("in.mpg"); // as the dialogs hold them; nothing probed
    h.window.saveaudio->setFileName(m_dir.filePath("never.ac3"));
    h.window.audiosource->setText("typed.wav");
    h.window.audioformat->setCurrentText("MP2");
    h.window.audiobitrate->setCurrentText("384");
    h.window.audiorate->setCurrentText("44100");
    h.window.estimatedkb = 1500;
    h.convert();
    const QString line =
        QString(
            R"(ffmpeg -loglevel verbose -i "in.mpg" -ab 384k -ar 44100 -ac 2 -acodec mp2 -y "%1")")
            .arg(m_dir.filePath("never.ac3"));
    // Below the log's one empty start line, until the runner replaces it.
    const QString unprobed = "The source has not been probed successfully, so ffmpeg chooses "
                             "which audio stream to encode";
    QCOMPARE(h.log(), "\n" + line + "\n" + unprobed);
    QCOMPARE(h.window.bar->maximum(), 1536000);
    QVERIFY(h.window.jobRunning());
    QCOMPARE(h.window.Button1->text(), QString("Stop")); // one job at a time
    QVERIFY(h.finish());
    QVERIFY(h.window.Button1->isEnabled());
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    const QString firstOutput = h.log();
    QVERIFY(!firstOutput.contains(line));

    // A second job appends its line below the first job's output.
    h.window.audioformat->setCurrentText("AC3");
    h.window.audiobitrate->setCurrentText("192");
    h.window.audiorate->setCurrentText("48000");
    h.convert();
    QCOMPARE(
        h.log(),
        firstOutput + "\n" +
            QString(
                R"(ffmpeg -loglevel verbose -i "in.mpg" -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "%1")")
                .arg(m_dir.filePath("never.ac3")) +
            "\n" + unprobed);
    QVERIFY(h.finish());
}

void TestConversion::failedJobIsReported()
{
    Harness h;
    h.window.importmedia->setFileName(m_dir.filePath("no such source.wav"));
    h.chooseOutput(m_dir.filePath("failed.ac3"));
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(
        h.notices,
        QStringList{"Conversion failed: ffmpeg exited with code 1. The log shows the details."});
    QVERIFY2(h.log().contains("No such file or directory"), qPrintable(h.log()));
    QVERIFY(h.log().endsWith("\nffmpeg exited with code 1"));
    QVERIFY(!h.convertingAtNotice);
    QVERIFY(!QFile::exists(m_dir.filePath("failed.ac3")));
}

// The bar against what ffmpeg wrote: an ffmpeg on PATH writes so many bytes to the file it is
// told to write and fails, so the monitor sees exactly those bytes; the earlier output there
// is left as it was.
void TestConversion::barShowsOutputSize_data()
{
    QTest::addColumn<qint64>("estimatedkb");
    QTest::addColumn<int>("fileBytes");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("shown");
    QTest::newRow("half") << qint64(1500) << 768000 << 1536000 << 768000;
    QTest::newRow("beyond the estimate shows full") << qint64(1) << 5000 << 1024 << 1024;
    QTest::newRow("estimate 0") << qint64(0) << 5000 << 0 << 0;
    QTest::newRow("beyond 32-bit bytes is scaled") << qint64(3000000) << 768000 << 3000000 << 750;
}

void TestConversion::barShowsOutputSize()
{
    QFETCH(qint64, estimatedkb);
    QFETCH(int, fileBytes);
    QFETCH(int, maximum);
    QFETCH(int, shown);
    const QString out = m_dir.filePath("existing.ac3");
    QFile f(out);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(fileBytes, 'a'));
    f.close();

    QTemporaryDir bin;
    QFile fake(bin.filePath("ffmpeg"));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write(QString("#!/bin/sh\nfor last; do :; done\nhead -c %1 /dev/zero | tr '\\0' b > "
                       "\"$last\"\nexit 1\n")
                   .arg(fileBytes)
                   .toUtf8());
    fake.close();
    QVERIFY(fake.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ":" + path);
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });

    Harness h;
    h.window.importmedia->setFileName(m_dir.filePath("missing.wav"));
    h.window.saveaudio->setFileName(out);
    h.window.estimatedkb = estimatedkb;
    h.convert();
    QCOMPARE(h.window.bar->maximum(), maximum);
    QVERIFY(h.finish());
    QCOMPARE(h.barAtNotice, shown); // the last measured size, shown before the notice
    QCOMPARE(h.window.bar->value(), 0);
    // The maximum stays the job's; an empty range is not left drawn as "busy".
    QCOMPARE(h.window.bar->maximum(), maximum);
    if (maximum == 0) {
        JobBar idle;
        idle.setMaximum(1);
        idle.setTextVisible(false);
        idle.resize(h.window.bar->size());
        const auto picture = [](QWidget *w) {
            return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        QCOMPARE(picture(h.window.bar), picture(&idle));
    }
    QTest::qWait(250); // nothing lands after the reset
    QCOMPARE(h.window.bar->value(), 0);
    // ffmpeg failed: the user's file is left as it was.
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray(fileBytes, 'a'));
}

// The refusal comes before anything starts: the notice only, nothing logged or written.
void TestConversion::bitrateTheFormatCannotEncode_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<QString>("message");
    QTest::newRow("AC3 288") << "AC3"
                             << "288"
                             << "AC3 cannot be encoded at 288 kbit/s at 48000 Hz. Choose 256 or "
                                "320 kbit/s.";
    QTest::newRow("AC3 416") << "AC3"
                             << "416"
                             << "AC3 cannot be encoded at 416 kbit/s at 48000 Hz. Choose 384 or "
                                "448 kbit/s.";
    QTest::newRow("MP2 352") << "MP2"
                             << "352"
                             << "MP2 cannot be encoded at 352 kbit/s at 48000 Hz. Choose 320 or "
                                "384 kbit/s.";
    QTest::newRow("MP2 448") << "MP2"
                             << "448"
                             << "MP2 cannot be encoded at 448 kbit/s at 48000 Hz. Choose 384 "
                                "kbit/s.";
}

void TestConversion::bitrateTheFormatCannotEncode()
{
    QFETCH(QString, format);
    QFETCH(QString, bitrate);
    QFETCH(QString, message);
    Harness h;
    h.chooseSource(m_wav);
    h.chooseOutput(m_dir.filePath("refused.out"));
    h.window.audioformat->setCurrentText(format);
    h.window.audiobitrate->setCurrentText(bitrate);
    const QString logBefore = h.log();
    h.convert();
    QCOMPARE(h.notices, QStringList{message});
    QVERIFY(!h.window.jobRunning());
    QVERIFY(!converting);
    QCOMPARE(h.log(), logBefore);
    QVERIFY(!QFile::exists(m_dir.filePath("refused.out")));
}

void TestConversion::endToEnd_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("codec");
    QTest::newRow("ac3 192 48000") << "AC3"
                                   << "192"
                                   << "48000"
                                   << "ac3";
    QTest::newRow("mp2 384 44100") << "MP2"
                                   << "384"
                                   << "44100"
                                   << "mp2";
}

void TestConversion::endToEnd()
{
    QFETCH(QString, format);
    QFETCH(QString, bitrate);
    QFETCH(QString, rate);
    QFETCH(QString, codec);

    const QString folder = m_dir.filePath(R"(out dir 'q' "dq" $HOME ü)");
    QVERIFY(QDir().mkpath(folder));
    const QString out = folder + "/-result." + codec;

    Harness h;
    h.chooseSource(m_wav);
    QCOMPARE(h.window.audioinfo->text(), QString("PCM 48000rate 2channels 1536000bitrate 5sec"));
    h.window.audioformat->setCurrentText(format);
    h.window.audiobitrate->setCurrentText(bitrate);
    h.window.audiorate->setCurrentText(rate);
    h.chooseOutput(out);
    h.convert();
    QCOMPARE(h.window.bar->maximum(), int(bitrate.toInt() * 5 / 8 * 1024));
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
    QVERIFY2(h.log().contains("ffmpeg version"), qPrintable(h.log()));
    QVERIFY(!h.log().contains("ffmpeg -loglevel verbose -i"));
    QCOMPARE(h.window.bar->value(), 0);
    QVERIFY(h.window.Button1->isEnabled());
    QVERIFY(!converting);

    QCOMPARE(fixtures::probeValue(out, "codec_name"), codec);
    QCOMPARE(fixtures::probeValue(out, "sample_rate"), rate);
    QCOMPARE(fixtures::probeValue(out, "channels"), QString("2"));
    QCOMPARE(fixtures::probeValue(out, "bit_rate"), QString::number(bitrate.toInt() * 1000));
    const double duration = fixtures::probeValue(out, "duration").toDouble();
    QVERIFY2(qAbs(duration - 5.0) <= 0.1, qPrintable(QString::number(duration)));
}

void TestConversion::ffmpegMissingFromPath()
{
    QTemporaryDir emptyBin;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", emptyBin.path().toUtf8());
    Harness h;
    h.window.importmedia->setFileName(m_wav);
    h.window.saveaudio->setFileName(m_dir.filePath("unused.ac3"));
    h.convert();
    const bool finished = h.finish();
    qputenv("PATH", path);
    QVERIFY(finished);
    QCOMPARE(h.notices.size(), 1);
    QVERIFY2(h.notices[0].startsWith("Conversion failed: ffmpeg could not be started: "),
             qPrintable(h.notices[0]));
    const QString reason = h.notices[0].section(": ", 1).section(". The log", 0, 0);
    QVERIFY2(h.log().endsWith('\n' + reason), qPrintable(h.log()));
    QVERIFY(h.log().contains("ffmpeg -loglevel verbose -i \"")); // the command line stays visible
    QVERIFY(h.window.Button1->isEnabled());
    QVERIFY(!converting);
}

namespace {

// Ten megabytes of encoder-like output.
QByteArray tenMegabytes()
{
    QByteArray output;
    for (int i = 0; output.size() < 10LL * 1024 * 1024; ++i)
        output += QByteArray::number(i) + " frame=  100 fps=0.0 size=       0kB\r\n";
    return output;
}

// An "ffmpeg" in bin that writes output and leaves a real AC3 file where the output goes.
bool fakeEncoder(const QTemporaryDir &bin, const QByteArray &output)
{
    QFile data(bin.filePath("output.txt"));
    if (!data.open(QIODevice::WriteOnly) || data.write(output) != output.size())
        return false;
    data.close();
    const QString made = bin.filePath("made.ac3");
    if (!fixtures::ffmpeg(fixtures::sine(1) + QStringList{"-c:a", "ac3"}, made))
        return false;
    QFile fake(bin.filePath("ffmpeg"));
    if (!fake.open(QIODevice::WriteOnly))
        return false;
    fake.write("#!/bin/sh\nfor last; do :; done\ncp '" + QFile::encodeName(made) +
               "' \"$last\"\nexec cat '" + QFile::encodeName(data.fileName()) + "'\n");
    fake.close();
    return fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);
}

} // namespace

// 10 MB of encoder output enters the log in slices, all of it before the notice.
void TestConversion::largeOutputIsWholeBeforeTheNotice()
{
    const QByteArray output = tenMegabytes();
    QTemporaryDir bin;
    QVERIFY(fakeEncoder(bin, output));

    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ":" + path);
    Harness h;
    h.chooseSource(m_wav);
    h.window.saveaudio->setFileName(m_dir.filePath("unused.ac3"));
    // Twice: the second job's log replaces the first one's 10 MB.
    // The first job's output is held in the log's queue, so its end is seen while the log fills.
    h.window.log()->hold(true);
    h.convert();
    // Between the job's end and its notice, Convert waits too.
    QTRY_VERIFY_WITH_TIMEOUT(!h.window.jobRunning() && h.window.log()->lineCount() > 1000,
                             fixtures::scaled(20000));
    const bool waitingForNotice =
        h.window.log()->busy() && h.notices.isEmpty() && !h.window.Button1->isEnabled();
    h.window.log()->hold(false);
    bool finished = h.finish();
    h.convert();
    finished = finished && h.finish();
    qputenv("PATH", path);
    QVERIFY(finished);
    QVERIFY(waitingForNotice);
    QCOMPARE(h.notices, (QStringList{"Finished", "Finished"}));
    QVERIFY(h.window.ResultsRE->toPlainText().size() > 10'000'000);
    // The log shows each chunk as a line, its CR LF and lone CR as line breaks.
    QStringList lines;
    for (qsizetype at = 0; at < output.size(); at += 4000)
        lines.append(
            QString::fromLatin1(output.mid(at, 4000)).replace("\r\n", "\n").replace('\r', '\n'));
    QCOMPARE(h.logAtNotice.size(), lines.join('\n').size());
    QVERIFY(h.logAtNotice == lines.join('\n'));
}

void TestConversion::stopButton()
{
    LiveSource source(m_dir.filePath("live-stop.wav"));
    const QString out = m_dir.filePath("stopped.ac3");
    Harness h;
    QVERIFY(startLiveJob(h, m_dir.filePath("live-stop.wav"), out));
    QCOMPARE(h.window.Button1->text(), QString("Stop"));
    QVERIFY(h.window.bar->isTextVisible());
    // The percentage and the elapsed time, then the time left once the growth is measured.
    QVERIFY2(h.window.bar->text().contains('%'), qPrintable(h.window.bar->text()));
    QTRY_VERIFY_WITH_TIMEOUT(h.window.bar->text().endsWith(" left"), fixtures::scaled(5000));
    QVERIFY2(QRegularExpression(R"(^\d+% \x{00b7} 0:0\d \x{00b7} \d+:\d\d left$)")
                 .match(h.window.bar->text())
                 .hasMatch(),
             qPrintable(h.window.bar->text()));
    // ffmpeg writes a new file beside the output, which appears only once it is whole.
    const QStringList parts =
        QDir(m_dir.path()).entryList({".kelvane-part-*"}, QDir::Files | QDir::Hidden);
    QCOMPARE(parts.size(), 1);
    QVERIFY(!QFile::exists(out));

    h.convert(); // the same button, now Stop
    QVERIFY(h.finish(10000));
    QCOMPARE(h.notices, QStringList{"The conversion was stopped. The log shows the details."});
    QVERIFY(!ffmpegRunningWith(out));
    QVERIFY2(h.log().contains("ffmpeg version"), qPrintable(h.log())); // ffmpeg's own output
    QVERIFY(h.log().contains("\nffmpeg was stopped by the user\n"));
    QVERIFY(h.log().endsWith("\nThe unfinished output file was removed: " +
                             m_dir.filePath(parts.first())));
    QVERIFY(!QFile::exists(out));
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    QVERIFY(h.window.Button1->isEnabled());
    QCOMPARE(h.window.bar->value(), 0);
    QVERIFY(!h.window.bar->isTextVisible());
    QVERIFY(!converting);
}

void TestConversion::closeDuringJob()
{
    LiveSource source(m_dir.filePath("live-close.wav"));
    const QString out = m_dir.filePath("closed-mid-job.ac3");
    auto h = std::make_unique<Harness>();
    bool answer = false;
    h->prompts.answer = [&](const QString &) { return answer; };
    QVERIFY(startLiveJob(*h, m_dir.filePath("live-close.wav"), out));

    // No: the job goes on and the window stays.
    QVERIFY(!h->window.close());
    QCOMPARE(h->prompts.questions, QStringList{"A conversion is running. Stop it and quit?"});
    QVERIFY(h->window.isVisible());
    QVERIFY(h->window.jobRunning());
    QVERIFY(ffmpegRunningWith(out));

    // Yes: stopped and quiet, well within the kill grace; the window closes once ffmpeg has
    // ended and never waits for it.
    answer = true;
    QElapsedTimer clock;
    clock.start();
    h->window.close();
    QVERIFY2(clock.elapsed() < fixtures::scaled(100), qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(!h->window.isVisible(), fixtures::scaled(3000));
    QVERIFY2(clock.elapsed() < fixtures::scaled(3000),
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(h->prompts.questions.size(), 2);
    QVERIFY(!h->window.jobRunning());
    QVERIFY(!converting);
    QVERIFY(!ffmpegRunningWith(out));
    QVERIFY(!QFile::exists(out));
    QCOMPARE(h->notices, QStringList()); // nothing more is asked of a leaving user
    h.reset();
}

// The job may end while the question is up; No still means the window stays, and the notice
// held back while the question was up comes after it.
void TestConversion::noKeepsTheWindowWhenTheJobEndedMeanwhile()
{
    LiveSource source(m_dir.filePath("live-no.wav"));
    const QString out = m_dir.filePath("no.ac3");
    Harness h;
    bool endedMeanwhile = false;
    h.prompts.answer = [&](const QString &) {
        h.convert(); // Stop, as if pressed while the question was up
        // Ended, and the log holds all of ffmpeg's output: the notice would be due now.
        endedMeanwhile =
            QTest::qWaitFor([&] { return !h.window.jobRunning() && !h.window.log()->busy(); },
                            5000) &&
            h.notices.isEmpty();
        return false;
    };
    QVERIFY(startLiveJob(h, m_dir.filePath("live-no.wav"), out));
    QVERIFY(!h.window.close());
    QVERIFY(endedMeanwhile);
    QVERIFY(h.finish(5000));
    QCOMPARE(h.notices, QStringList{"The conversion was stopped. The log shows the details."});
    QVERIFY(h.window.isVisible());
    QVERIFY(!h.window.jobRunning());
}

// Quitting ends the program within a second or two whatever the job is doing, with no
// ffmpeg left behind and nothing more asked.
void TestConversion::quitAtAnyMoment_data()
{
    // The source is a pipe that never ends; the quit comes once ffmpeg runs; the encoder
    // writes 10 MB, and the quit comes while the log takes them in; or at the notice.
    QTest::addColumn<bool>("live");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("flood");
    QTest::addColumn<bool>("atNotice");
    QTest::newRow("starting") << true << false << false << false;
    QTest::newRow("running") << true << true << false << false;
    QTest::newRow("log filling") << false << false << true << false;
    QTest::newRow("notice showing") << false << false << false << true;
}

void TestConversion::quitAtAnyMoment()
{
    QFETCH(bool, live);
    QFETCH(bool, running);
    QFETCH(bool, flood);
    QFETCH(bool, atNotice);
    const QString fifo = m_dir.filePath("live-quit.wav");
    const QString out = m_dir.filePath(QString("quit %1.ac3").arg(QTest::currentDataTag()));
    std::unique_ptr<LiveSource> source;
    if (live)
        source = std::make_unique<LiveSource>(fifo);
    QTemporaryDir bin;
    const QByteArray path = qgetenv("PATH");
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
    if (flood) {
        QVERIFY(fakeEncoder(bin, tenMegabytes()));
        qputenv("PATH", bin.path().toUtf8() + ":" + path);
    }

    Harness h;
    h.prompts.answer = [](const QString &) { return true; };
    QElapsedTimer clock;
    if (atNotice) {
        h.prompts.onNotice = [&](const QString &) {
            clock.start();
            h.window.Exit1Click();
        };
    }
    h.window.show();
    // The 10 MB wait in the log's queue: the quit comes for certain while the log fills.
    if (flood)
        h.window.log()->hold(true);
    if (running) {
        QVERIFY(startLiveJob(h, fifo, out));
    } else {
        h.window.importmedia->setFileName(live ? fifo : m_wav);
        h.window.saveaudio->setFileName(out);
        h.convert();
    }
    if (flood) {
        QTRY_VERIFY_WITH_TIMEOUT(!h.window.jobRunning(), fixtures::scaled(20000));
        QVERIFY(h.window.log()->busy());
        QVERIFY(h.window.log()->lineCount() > 1000);
    }
    if (atNotice)
        QTRY_COMPARE_WITH_TIMEOUT(h.notices, QStringList{"Finished"}, fixtures::scaled(20000));
    else {
        clock.start();
        h.window.Exit1Click();
        QCOMPARE(h.notices, QStringList());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!h.window.isVisible(), fixtures::scaled(2000));
    QVERIFY2(clock.elapsed() < fixtures::scaled(2000),
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!h.window.jobRunning());
    QVERIFY(!converting);
    QVERIFY(!ffmpegRunningWith(out));
    if (live)
        QVERIFY(!QFile::exists(out)); // a job cut short leaves nothing
}

// The system refuses the runner's thread: the error box says so and the window is ready for
// the next job.
void TestConversion::refusedThread()
{
    Harness h;
    h.chooseSource(m_wav);
    h.chooseOutput(m_dir.filePath("refused.ac3"));
    {
        const RefusedThreads refused;
        h.convert();
    }
    QCOMPARE(h.prompts.errors,
             QStringList{"The conversion could not be started: the system refused a thread."});
    QVERIFY(!h.window.jobRunning());
    QVERIFY(!converting);
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    QVERIFY(h.window.Button1->isEnabled());
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
}

// Through the window: the summary shows the first stream libmediainfo lists, which in this
// MPEG-TS is the second one ffmpeg sees and not the one it would choose by itself.
void TestConversion::streamShownIsStreamEncoded()
{
    const QString source = m_dir.filePath("reversed pids.ts");
    QVERIFY(fixtures::ffmpeg(fixtures::twoTones({"-c:a:0", "mp2", "-c:a:1", "ac3", "-streamid",
                                                 "0:0x300", "-streamid", "1:0x150"}),
                             source));
    const QString out = m_dir.filePath("shown.ac3");
    Harness h;
    h.chooseSource(source);
    QVERIFY2(h.window.audioinfo->text().contains(" 48000rate 6channels "),
             qPrintable(h.window.audioinfo->text()));
    h.chooseOutput(out);
    h.convert();
    QVERIFY2(
        h.log().endsWith(
            QString(R"(ffmpeg -loglevel verbose -i "%1" -map 0:a:i:336 -ab 192k -ar 48000 -ac 2 )"
                    R"(-acodec ac3 -y "%2")")
                .arg(source, out)),
        qPrintable(h.log()));
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
    QVERIFY(qAbs(fixtures::toneHz(out) - 1000) < 20);

    // Another file that was never probed does not inherit that stream.
    const QString other = m_dir.filePath("other.ts");
    QVERIFY(fixtures::ffmpeg(fixtures::twoTones({"-c:a:0", "mp2", "-c:a:1", "ac3"}), other));
    h.window.importmedia->setFileName(other);
    h.convert();
    QVERIFY2(
        h.log().endsWith(QString(R"(ffmpeg -loglevel verbose -i "%1" -ab 192k -ar 48000 -ac 2 )"
                                 R"(-acodec ac3 -y "%2")"
                                 "\nThe source has not been probed successfully, so ffmpeg "
                                 "chooses which audio stream to encode")
                             .arg(other, out)),
        qPrintable(h.log()));
    QVERIFY(h.finish());
    QVERIFY(h.log().contains("\nThe source has not been probed successfully"));
}

// A Matroska file whose first track is one ffmpeg skips (DVD buttons): the audio the summary
// shows is what comes out.
void TestConversion::trackFfmpegSkipsBeforeTheAudio()
{
    const QString source = m_dir.filePath("buttons first.mkv");
    QVERIFY(fixtures::matroskaButtonsFirst(source, true));
    const QString out = m_dir.filePath("buttons.ac3");
    Harness h;
    h.chooseSource(source);
    QVERIFY2(h.window.audioinfo->text().contains(" 44100rate 2channels "),
             qPrintable(h.window.audioinfo->text()));
    h.chooseOutput(out);
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
    QVERIFY(qAbs(fixtures::toneHz(out) - 440) < 20);
}

// The window hands the job the figures of the stream it shows; a job that encoded a stream
// without them fails, whatever chose it.
void TestConversion::encodedStreamMustBeTheOneShown()
{
    FakeMedia::Answers answers = FakeMedia::withPlayTime("5000");
    answers.insert("A:SamplingRate", "22050");
    ScriptedPrompts prompts;
    Tmain window(std::make_unique<FakeMedia>(answers));
    window.setPrompts(prompts);
    prompts.open = m_wav;
    QTest::mouseClick(window.Button2, Qt::LeftButton);
    const QString out = m_dir.filePath("not shown.ac3");
    prompts.save = out;
    QTest::mouseClick(window.Button3, Qt::LeftButton);
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.jobRunning() && !prompts.notices.isEmpty(),
                             fixtures::scaled(60000));
    QCOMPARE(prompts.notices,
             QStringList{"Conversion failed: ffmpeg encoded the source's stream 0:0 (48000 Hz, 2 "
                         "channels), not the one the summary shows (22050 Hz, 2 channels). The "
                         "log shows the details."});
    QVERIFY(!QFile::exists(out));
}

KELVANE_TEST_MAIN(Application, TestConversion)

#include "tst_conversion.moc"
