// What makes a job a success: ffmpeg wrote everything it said it wrote, the file holds every
// sample ffmpeg encoded, and the stream it encoded is the stream the summary shows. Real
// ffmpeg, real libmediainfo, a real small file system.
#include "command.h"
#include "fixtures.h"
#include "job.h"
#include "outputcheck.h"
#include "probe.h"
#include "testmain.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

namespace {

QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A job as the window starts it after a probe of source: the summary's stream, its figures.
struct Run
{
    Run(const QString &source, const QString &output, const QString &format = "AC3")
    {
        LibMediaInfo library;
        const ProbeResult found = probe::probeSource(library, source, "192");
        JobSettings s;
        s.choices = {.source = source,
                     .output = output,
                     .format = format,
                     .bitrate = "192",
                     .rate = "48000",
                     .channels = "2",
                     .stream = found.stream};
        s.shownRate = found.rate;
        s.shownChannels = found.channels;
        settings = s;
    }
    bool finish()
    {
        settings.command = command::build(settings.choices);
        job = std::make_unique<ConversionJob>(settings);
        QObject::connect(job.get(), &ConversionJob::logReplaced,
                         [this](const QStringList &lines) { log = lines.join(QString()); });
        QObject::connect(job.get(), &ConversionJob::finished,
                         [this](const JobOutcome &o) { outcome = o; });
        QSignalSpy done(job.get(), &ConversionJob::finished);
        job->start();
        return job->isFinished() || done.wait(120000);
    }

    JobSettings settings;
    std::unique_ptr<ConversionJob> job;
    QString log;
    JobOutcome outcome;
};

// The length of a file's first audio stream, from its decoded samples.
double secondsOf(const QString &file)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-nostdin", "-i", file, "-map", "0:a:0", "-ac", "1", "-ar",
                       "48000", "-f", "s16le", "-"});
    p.waitForFinished(60000);
    const qsizetype bytes = p.readAllStandardOutput().size();
    if (bytes > 0)
        return double(bytes) / 2 / 48000;
    // ffmpeg cannot read a file of one MP2 frame; libmediainfo counts its samples.
    LibMediaInfo library;
    OpenedMedia media(library, file);
    return media.get(MediaLibrary::Audio, "SamplingCount").toDouble() /
           media.get(MediaLibrary::Audio, "SamplingRate").toDouble();
}

// ffmpeg's whole output for one real conversion with the command the window builds.
QByteArray convert(const QString &source, const QString &output, const QString &format)
{
    const FfmpegCommand cmd = command::build({.source = source,
                                              .output = output,
                                              .format = format,
                                              .bitrate = "192",
                                              .rate = "48000",
                                              .channels = "2"});
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(cmd.program, cmd.arguments);
    p.waitForFinished(60000);
    return p.readAll();
}

} // namespace

class TestOutputCheck : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void writeFailure_data();
    void writeFailure();
    void written();
    void mappedInput_data();
    void mappedInput();
    void channelCount_data();
    void channelCount();
    void outputCheck_data();
    void outputCheck();
    void shortOutputFails_data();
    void shortOutputFails();
    void wholeAudioFinishes_data();
    void wholeAudioFinishes();
    void diskFullInTheLastSecond_data();
    void diskFullInTheLastSecond();
    void streamShownIsStreamEncoded_data();
    void streamShownIsStreamEncoded();
    void otherStreamEncodedFails_data();
    void otherStreamEncodedFails();
    void heAacCoreIsTheSameStream_data();
    void heAacCoreIsTheSameStream();

private:
    QTemporaryDir m_dir;
    QString m_wav;
};

void TestOutputCheck::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_wav = m_dir.filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(10), m_wav));
}

// Lines as ffmpeg 5.1 prints them when the disk fills, before or at the end.
void TestOutputCheck::writeFailure_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("failure");
    QTest::newRow("trailer") << QByteArray("size=    2304kB time=00:01:39.99 bitrate= 188.8kbits/s "
                                           "speed=54.4x    \rNo more output streams to write to, "
                                           "finishing.\nError writing trailer of /m/out.ac3: No "
                                           "space left on device\nsize=    2304kB time=\n")
                             << "Error writing trailer of /m/out.ac3: No space left on device";
    QTest::newRow("a packet, after a progress line")
        << QByteArray("size=       0kB time=00:00:00.00 bitrate=N/A speed=N/A    "
                      "\rav_interleaved_write_frame(): No space left on device\n")
        << "av_interleaved_write_frame(): No space left on device";
    QTest::newRow("closing")
        << QByteArray("Output file #0 (o.mp2):\nError closing file o.mp2: Disk quota exceeded\n")
        << "Error closing file o.mp2: Disk quota exceeded";
    QTest::newRow("later ffmpeg") << QByteArray("[out#0/ac3 @ 0x1] Error submitting a packet to "
                                                "the muxer: No space left on device\n")
                                  << "[out#0/ac3 @ 0x1] Error submitting a packet to the muxer: "
                                     "No space left on device";
    QTest::newRow("a cause alone") << QByteArray("[ac3 @ 0x55] /m/out.ac3: File too large\n")
                                   << "[ac3 @ 0x55] /m/out.ac3: File too large";
    QTest::newRow("a tag that reads like one")
        << QByteArray("  Metadata:\n    title           : No space left on device\n") << "";
    QTest::newRow("a whole run") << QByteArray("size=     235kB time=00:00:10.01 bitrate= "
                                               "192.1kbits/s speed=84.6x    \nvideo:0kB "
                                               "audio:235kB muxing overhead: 0.000000%\n")
                                 << "";
}

void TestOutputCheck::writeFailure()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, failure);
    QCOMPARE(outputcheck::writeFailure(output), failure);
}

// The figures of a real run, and none from output without ffmpeg's summary.
void TestOutputCheck::written()
{
    const QString out = m_dir.filePath("written.ac3");
    const std::optional<outputcheck::Written> wrote =
        outputcheck::written(convert(m_wav, out, "AC3"));
    QVERIFY(wrote);
    QCOMPARE(wrote->samples, 480000);
    QCOMPARE(wrote->packets, 313); // 1536 samples a frame, the last one padded
    QCOMPARE(wrote->bytes, QFileInfo(out).size());
    QVERIFY(!outputcheck::written("size=     235kB time=00:00:10.01 bitrate= 192.1kbits/s\n"));
}

void TestOutputCheck::mappedInput_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("stream"); // empty: no mapping reported
    QTest::addColumn<QString>("codec");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::newRow("audio after video")
        << QByteArray("Input #0, mov,mp4 from 'late.mp4':\n"
                      "  Stream #0:0[0x1](und): Video: mpeg4 (Simple Profile), 160x120, 25 fps\n"
                      "  Stream #0:1[0x2](und): Audio: aac (LC) (mp4a / 0x6134706D), 48000 Hz, "
                      "mono, fltp, 69 kb/s (default)\n"
                      "Stream mapping:\n  Stream #0:1 -> #0:0 (aac (native) -> ac3 (native))\n"
                      "Output #0, ac3, to 'o.ac3':\n"
                      "  Stream #0:0(und): Audio: ac3, 48000 Hz, stereo, fltp, 192 kb/s\n")
        << "0:1"
        << "aac" << 48000 << 1;
    // The output's own "Stream #0:0" comes after the mapping and is not the input's.
    QTest::newRow("first stream, a layout without a name")
        << QByteArray("Input #0, matroska,webm, from 'x.mkv':\n"
                      "  Stream #0:0: Audio: pcm_s16le, 44100 Hz, 3 channels, s16, 2116 kb/s\n"
                      "Stream mapping:\r\n  Stream #0:0 -> #0:0 (pcm_s16le (native) -> mp2 "
                      "(native))\r\nOutput #0, mp2, to 'o.mp2':\n"
                      "  Stream #0:0: Audio: mp2, 48000 Hz, stereo, s16, 192 kb/s\n")
        << "0:0"
        << "pcm_s16le" << 44100 << 3;
    QTest::newRow("no mapping") << QByteArray("in.mpg: No such file or directory\n") << ""
                                << "" << 0 << 0;
}

void TestOutputCheck::mappedInput()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, stream);
    QFETCH(QString, codec);
    QFETCH(int, rate);
    QFETCH(int, channels);
    const std::optional<outputcheck::MappedInput> got = outputcheck::mappedInput(output);
    QCOMPARE(got.has_value(), !stream.isEmpty());
    if (!got)
        return;
    QCOMPARE(got->stream, stream);
    QCOMPARE(got->codec, codec);
    QCOMPARE(got->rate, rate);
    QCOMPARE(got->channels, channels);
}

void TestOutputCheck::channelCount_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("channels"); // 0: not known
    QTest::newRow("mono") << "mono" << 1;
    QTest::newRow("stereo") << "stereo" << 2;
    QTest::newRow("2.1") << "2.1" << 3;
    QTest::newRow("quad(side)") << "quad(side)" << 4;
    QTest::newRow("5.1(side)") << "5.1(side)" << 6;
    QTest::newRow("6.1(back)") << "6.1(back)" << 7;
    QTest::newRow("7.1(wide-side)") << "7.1(wide-side)" << 8;
    QTest::newRow("hexadecagonal") << "hexadecagonal" << 16;
    QTest::newRow("22.2") << "22.2" << 24;
    QTest::newRow("counted") << "3 channels" << 3;
    QTest::newRow("counted and named") << "3 channels (FL+FR+LFE)" << 3;
    QTest::newRow("named") << "FL+FR+LFE" << 3;
    QTest::newRow("one channel") << "1 channels" << 1;
    QTest::newRow("unknown") << "s16" << 0;
}

void TestOutputCheck::channelCount()
{
    QFETCH(QString, layout);
    QFETCH(int, channels);
    QCOMPARE(outputcheck::channelCount(layout).value_or(0), channels);
}

// Real files against what was chosen, with the figures of a real run of the window's command.
void TestOutputCheck::outputCheck_data()
{
    QTest::addColumn<QString>("format");    // what ffmpeg makes
    QTest::addColumn<QStringList>("asked"); // codec, rate and channels the job expects
    QTest::addColumn<qint64>("keep");       // bytes kept of the file: -1 all, -2 none left
    QTest::addColumn<QString>("problem");
    const QStringList ac3{"ac3", "48000", "2"};
    QTest::newRow("whole AC3") << "AC3" << ac3 << qint64(-1) << "";
    QTest::newRow("whole MP2") << "MP2" << QStringList{"mp2", "48000", "2"} << qint64(-1) << "";
    QTest::newRow("MP2 where AC3 was chosen")
        << "MP2" << ac3 << qint64(-1) << "the output file is not AC3 audio";
    QTest::newRow("other rate") << "AC3" << QStringList{"ac3", "44100", "2"} << qint64(-1)
                                << "the output file has a sampling rate of 48000 Hz, not 44100 Hz";
    QTest::newRow("other channel count") << "AC3" << QStringList{"ac3", "48000", "1"} << qint64(-1)
                                         << "the output file's channel count is 2, not 1";
    QTest::newRow("empty") << "AC3" << ac3 << qint64(0) << "the output file is empty";
    QTest::newRow("missing") << "AC3" << ac3 << qint64(-2) << "ffmpeg wrote no output file";
}

void TestOutputCheck::outputCheck()
{
    QFETCH(QString, format);
    QFETCH(QStringList, asked);
    QFETCH(qint64, keep);
    QFETCH(QString, problem);
    const QString out = m_dir.filePath("check." + format.toLower());
    const QByteArray log = convert(m_wav, out, format);
    if (keep == -2)
        QVERIFY(QFile::remove(out));
    else if (keep >= 0)
        QVERIFY(QFile::resize(out, keep));
    LibMediaInfo library;
    QCOMPARE(outputcheck::problem(library, out, {asked[0], asked[1], asked[2], "48000", "2"}, log),
             problem);
}

// An output a few frames short fails whichever figure shows it: the bytes on disk, or (for a
// file whose bytes are all there, as a container could make it) the samples in it.
void TestOutputCheck::shortOutputFails_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("problem");
    QTest::newRow("AC3 cut by 5 %") << "AC3"
                                    << "cut"
                                    << "the output file holds 228096 of the 240384 bytes ffmpeg "
                                       "wrote";
    QTest::newRow("MP2 cut by 5 %") << "MP2"
                                    << "cut"
                                    << "the output file holds 228096 of the 240192 bytes ffmpeg "
                                       "wrote";
    QTest::newRow("AC3 short of samples")
        << "AC3"
        << "samples"
        << "the output file holds 480768 of the 504000 samples ffmpeg encoded (10.02 s of 10.50 s)";
    QTest::newRow("MP2 short of samples")
        << "MP2"
        << "samples"
        << "the output file holds 480384 of the 504000 samples ffmpeg encoded (10.01 s of 10.50 s)";
}

void TestOutputCheck::shortOutputFails()
{
    QFETCH(QString, format);
    QFETCH(QString, how);
    QFETCH(QString, problem);
    const QString out = m_dir.filePath("short." + format.toLower());
    QByteArray log = convert(m_wav, out, format);
    LibMediaInfo library;
    const outputcheck::Expected expected{format.toLower(), "48000", "2", "48000", "2"};
    QCOMPARE(outputcheck::problem(library, out, expected, log), QString());
    if (how == "cut") {
        // Whole frames, so the file itself still reads well.
        const qint64 frame = format == "AC3" ? 768 : 576;
        const qint64 size = QFileInfo(out).size();
        QVERIFY(QFile::resize(out, (size * 95 / 100) / frame * frame));
    } else {
        log.replace("(480000 samples)", "(504000 samples)");
    }
    QCOMPARE(outputcheck::problem(library, out, expected, log), problem);
}

// Whole audio that starts late, has a gap, is far shorter than a frame or comes in frames of
// varying size: the output holds what ffmpeg encoded, and the job says so.
void TestOutputCheck::wholeAudioFinishes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("make");
    QTest::addColumn<double>("seconds"); // of audio in the output
    const QStringList late{"-f",         "lavfi",
                           "-i",         "testsrc=size=160x120:rate=25:duration=6",
                           "-itsoffset", "2",
                           "-f",         "lavfi",
                           "-i",         "sine=frequency=440:duration=4:sample_rate=48000",
                           "-map",       "0:v",
                           "-map",       "1:a",
                           "-c:v",       "mpeg4",
                           "-c:a",       "aac"};
    QTest::newRow("audio 2 s after video") << "late.mp4" << late << 4.0;
    QTest::newRow("audio 0.6 s late in 30 s")
        << "clip.mkv"
        << QStringList{"-f",         "lavfi",
                       "-i",         "testsrc=size=160x120:rate=25:duration=30",
                       "-itsoffset", "0.6",
                       "-f",         "lavfi",
                       "-i",         "sine=frequency=440:duration=29.4:sample_rate=48000",
                       "-map",       "0:v",
                       "-map",       "1:a",
                       "-c:v",       "mpeg4",
                       "-c:a",       "ac3"}
        << 29.4;
    QTest::newRow("a 3 s gap")
        << "gap.mkv" << QStringList{"-f",   "lavfi",
                                    "-i",   "sine=frequency=550:duration=4:sample_rate=48000",
                                    "-af",  "asetpts='if(gte(T,2),PTS+3/TB,PTS)'",
                                    "-c:a", "pcm_s16le"}
        << 4.0;
    QTest::newRow("20 ms") << "blip.wav"
                           << QStringList{"-f", "lavfi", "-i",
                                          "sine=duration=0.02:sample_rate=48000"}
                           << 0.02;
    QTest::newRow("VBR MP3")
        << "vbr.mp3"
        << QStringList{"-f",   "lavfi",
                       "-i",   "aevalsrc=sin(440*2*PI*t)*gt(mod(t\\,2)\\,1)|0:d=7:s=44100",
                       "-c:a", "libmp3lame",
                       "-q:a", "4"}
        << 7.0;
}

void TestOutputCheck::wholeAudioFinishes()
{
    QFETCH(QString, name);
    QFETCH(QStringList, make);
    QFETCH(double, seconds);
    const QString source = m_dir.filePath(name);
    QVERIFY(fixtures::ffmpeg(make, source));
    for (const QString &format : QStringList{"AC3", "MP2"}) {
        const QString out = m_dir.filePath(name + "." + format.toLower());
        Run run(source, out, format);
        QVERIFY(run.finish());
        QVERIFY2(run.outcome.succeeded(), qPrintable(format + ": " + run.outcome.describe()));
        // The last frame is padded; the encoder delay adds to it.
        const double got = secondsOf(out);
        QVERIFY2(got >= seconds - 0.01 && got <= seconds + 0.1,
                 qPrintable(format + ": " + QString::number(got)));
    }
}

// 100 s onto a file system that runs out in the last second, an earlier output in the way:
// ffmpeg has reported all but that second as encoded, and exits with 0.
void TestOutputCheck::diskFullInTheLastSecond_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("AC3") << "AC3";
    QTest::newRow("MP2") << "MP2";
}

void TestOutputCheck::diskFullInTheLastSecond()
{
    QFETCH(QString, format);
    if (geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    const QString source = m_dir.filePath("long.wav");
    if (!QFile::exists(source))
        QVERIFY(fixtures::ffmpeg(fixtures::sine(100), source));
    QTemporaryDir mountPoint;
    QVERIFY(::mount("tmpfs", QFile::encodeName(mountPoint.path()).constData(), "tmpfs", 0,
                    "size=2816k") == 0);
    const auto unmount =
        qScopeGuard([&] { ::umount(QFile::encodeName(mountPoint.path()).constData()); });
    const QString output = mountPoint.filePath("out." + format.toLower());
    const QByteArray before(500000, 'k');
    {
        QFile f(output);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
    }

    Run run(source, output, format);
    QVERIFY(run.finish());
    static const QRegularExpression time("time=00:01:(\\d\\d\\.\\d\\d)");
    double last = 0;
    for (auto it = time.globalMatch(run.log); it.hasNext();)
        last = 60 + it.next().captured(1).toDouble();
    QVERIFY2(last >= 99, qPrintable(run.log)); // the disk ran out in the last second
    QCOMPARE(run.outcome.kind, JobOutcome::OutputProblem);
    QVERIFY2(run.outcome.error.contains("No space left on device"), qPrintable(run.outcome.error));
    QCOMPARE(bytesOf(output), before);
}

// The summary's stream is what comes out, also where libmediainfo and ffmpeg number the
// streams differently: a track ffmpeg skips, Ogg streams listed by serial number.
void TestOutputCheck::streamShownIsStreamEncoded_data()
{
    QTest::addColumn<QString>("source"); // a name for the file made for the row
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("hz");
    QTest::addColumn<double>("seconds");
    QTest::newRow("Matroska, buttons before two audio tracks")
        << "buttons-first.mkv"
        << " 44100rate 2channels " << 440.0 << 4.0;
    QTest::newRow("Matroska, buttons before the audio") << "buttons-one-audio.mkv"
                                                        << " 44100rate 2channels " << 440.0 << 4.0;
    QTest::newRow("Ogg, shown stream first") << "first.ogg"
                                             << "" << 0.0 << 0.0;
    QTest::newRow("Ogg, shown stream second") << "second.ogg"
                                              << "" << 0.0 << 0.0;
}

void TestOutputCheck::streamShownIsStreamEncoded()
{
    QFETCH(QString, source);
    QFETCH(QString, shown);
    QFETCH(double, hz);
    QFETCH(double, seconds);
    LibMediaInfo library;
    if (source.endsWith(".ogg")) {
        // Two streams whose serial numbers are drawn at random; libmediainfo lists the lower
        // one first. Drawn again until the order of the row's name comes up.
        const bool wantSecond = source.startsWith("second");
        source = m_dir.filePath(source);
        for (int tries = 0;; ++tries) {
            QVERIFY(tries < 60);
            QVERIFY(fixtures::ffmpeg(
                fixtures::twoTones({"-c:a", "libvorbis", "-ac:a:1", "1", "-f", "ogg"}), source));
            const ProbeResult found = probe::probeSource(library, source, "192");
            if (found.summary.contains(" 48000rate ") == wantSecond)
                break;
        }
        shown = wantSecond ? " 48000rate 1channels " : " 44100rate 2channels ";
        hz = wantSecond ? 1000 : 440;
        seconds = wantSecond ? 6 : 4;
    } else {
        const bool secondAudio = source == "buttons-first.mkv";
        source = m_dir.filePath(source);
        QVERIFY(fixtures::matroskaButtonsFirst(source, secondAudio));
    }
    const ProbeResult found = probe::probeSource(library, source, "192");
    QVERIFY2(found.summary.contains(shown), qPrintable(found.summary));

    const QString out = m_dir.filePath("shown.ac3");
    Run run(source, out);
    QVERIFY(run.finish());
    QVERIFY2(run.outcome.succeeded(), qPrintable(run.log + run.outcome.describe()));
    QVERIFY2(qAbs(fixtures::toneHz(out) - hz) < 20,
             qPrintable(QString::number(fixtures::toneHz(out))));
    QVERIFY2(qAbs(secondsOf(out) - seconds) < 0.1, qPrintable(QString::number(secondsOf(out))));
    QCOMPARE(fixtures::probeValue(out, "channels"), QString("2"));
}

// The net under every container: whatever named the stream, a job whose encoded stream is not
// the one shown fails, and leaves no output.
void TestOutputCheck::otherStreamEncodedFails_data()
{
    QTest::addColumn<QString>("stream"); // what the job names; empty: ffmpeg chooses
    QTest::addColumn<QString>("problem");
    QTest::newRow("another stream named")
        << "0:1"
        << "ffmpeg encoded the source's stream 0:1 (48000 Hz, 6 channels), not the one the "
           "summary shows (44100 Hz, 2 channels)";
    QTest::newRow("ffmpeg's own choice")
        << ""
        << "ffmpeg encoded the source's stream 0:1 (48000 Hz, 6 channels), not the one the "
           "summary shows (44100 Hz, 2 channels)";
}

void TestOutputCheck::otherStreamEncodedFails()
{
    QFETCH(QString, stream);
    QFETCH(QString, problem);
    // The second stream is flagged default, which ffmpeg on its own prefers.
    const QString source = m_dir.filePath("two.mkv");
    if (!QFile::exists(source))
        QVERIFY(fixtures::ffmpeg(fixtures::twoTones({"-c:a", "pcm_s16le", "-disposition:a:0", "0",
                                                     "-disposition:a:1", "default"}),
                                 source));
    const QString out = m_dir.filePath("other.ac3");
    Run run(source, out);
    QCOMPARE(run.settings.shownRate, QString("44100"));
    run.settings.choices.stream = stream;
    QVERIFY(run.finish());
    QCOMPARE(run.outcome.kind, JobOutcome::OutputProblem);
    QCOMPARE(run.outcome.error, problem);
    QVERIFY(!QFile::exists(out));
}

// This ffmpeg has no HE-AAC encoder: a real run's output with its input described as HE-AAC,
// which ffmpeg shows decoded and libmediainfo may show by its core.
void TestOutputCheck::heAacCoreIsTheSameStream_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("shownRate");
    QTest::addColumn<QString>("shownChannels");
    QTest::addColumn<bool>("same");
    QTest::newRow("SBR and parametric stereo") << "aac (HE-AACv2)"
                                               << "24000"
                                               << "1" << true;
    QTest::newRow("both views") << "aac (HE-AAC)"
                                << "48000 / 24000"
                                << "2" << true;
    QTest::newRow("half the rate of another codec") << "mp3"
                                                    << "24000"
                                                    << "2" << false;
    QTest::newRow("one channel of another codec") << "mp3"
                                                  << "48000"
                                                  << "1" << false;
    QTest::newRow("a third of the rate") << "aac (LC)"
                                         << "16000"
                                         << "2" << false;
}

void TestOutputCheck::heAacCoreIsTheSameStream()
{
    QFETCH(QString, codec);
    QFETCH(QString, shownRate);
    QFETCH(QString, shownChannels);
    QFETCH(bool, same);
    const QString out = m_dir.filePath("he.ac3");
    QByteArray log = convert(m_wav, out, "AC3");
    const QByteArray input = "Stream #0:0: Audio: pcm_s16le ([1][0][0][0] / 0x0001), 48000 Hz";
    QVERIFY(log.contains(input));
    log.replace(input, "Stream #0:0: Audio: " + codec.toLatin1() + ", 48000 Hz");
    LibMediaInfo library;
    const QString problem =
        outputcheck::problem(library, out, {"ac3", "48000", "2", shownRate, shownChannels}, log);
    QVERIFY2(problem.isEmpty() == same, qPrintable(problem));
}

KELVANE_TEST_MAIN(QCoreApplication, TestOutputCheck)

#include "tst_outputcheck.moc"
