// One conversion without a window: the stream it encodes, what it checks before it says a job
// succeeded, and what it does with an output that was already there. Real ffmpeg, real
// libmediainfo.
#include "command.h"
#include "fixtures.h"
#include "job.h"
#include "kelvaneerror.h"
#include "outputcheck.h"
#include "probe.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The job's part files in dir, by name.
QStringList partsIn(const QString &dir)
{
    return QDir(dir).entryList({".kelvane-part-*"}, QDir::Files | QDir::Hidden);
}

// The size of the one part file in dir, -1 when there is none or more than one.
qint64 partSize(const QString &dir)
{
    const QStringList parts = partsIn(dir);
    return parts.size() == 1 ? QFileInfo(QDir(dir).filePath(parts.first())).size() : -1;
}

// A job on a source with the list choices the window starts with, or MP2 when asked.
struct Run
{
    explicit Run(const QString &source, const QString &output, const QString &format = "AC3",
                 const QString &stream = {})
    {
        JobSettings s;
        s.choices = {.source = source,
                     .output = output,
                     .format = format,
                     .bitrate = "192",
                     .rate = "48000",
                     .channels = "2",
                     .stream = stream};
        s.command = command::build(s.choices);
        job = std::make_unique<ConversionJob>(s);
        QObject::connect(job.get(), &ConversionJob::logReplaced,
                         [this](const QStringList &lines) { log = lines; });
        QObject::connect(job.get(), &ConversionJob::logAppended,
                         [this](const QString &line) { log.append(line); });
        QObject::connect(job.get(), &ConversionJob::finished,
                         [this](const JobOutcome &o) { outcome = o; });
    }
    bool finish(int ms = fixtures::scaled(60000))
    {
        QSignalSpy done(job.get(), &ConversionJob::finished);
        return job->isFinished() || done.wait(ms);
    }

    std::unique_ptr<ConversionJob> job;
    QStringList log;
    JobOutcome outcome;
};

// A tone that ffmpeg reads as it is played, through a FIFO: a job on it lasts about seconds.
class PacedSource
{
public:
    PacedSource(const QString &fifo, int seconds)
    {
        QFile::remove(fifo);
        if (mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            qFatal("cannot make a FIFO");
        m_feeder.start("sh", {"-c",
                              "exec ffmpeg -v error -nostdin -readrate 1 -f lavfi -i "
                              "sine=duration=$1 -f wav - > \"$0\"",
                              fifo, QString::number(seconds)});
    }
    ~PacedSource()
    {
        m_feeder.kill();
        m_feeder.waitForFinished();
    }
    Q_DISABLE_COPY_MOVE(PacedSource)

private:
    QProcess m_feeder;
};

// A job in a process of its own (another Kelvane), its log on its standard output.
struct JobProcess
{
    JobProcess(const QString &source, const QString &output,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               const std::function<void()> &inChild = {},
               const QString &program = QStringLiteral(JOBPROCESS))
    {
        process.setProcessEnvironment(env);
        if (inChild)
            process.setChildProcessModifier(inChild);
        process.start(program, {source, output});
    }
    ~JobProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    Q_DISABLE_COPY_MOVE(JobProcess)
    QString log()
    {
        text += QString::fromLocal8Bit(process.readAllStandardOutput());
        return text;
    }
    bool ended(int ms = fixtures::scaled(20000))
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(ms);
    }

    QProcess process;
    QString text;
};

// An earlier output that a job in another process is replacing from a source that grows until
// the test ends it.
struct JobOverEarlierOutput
{
    JobOverEarlierOutput(const QString &earlier,
                         const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
        : output(dir.filePath("kept.ac3")), source(dir.filePath("live.wav")),
          copied(QFile::copy(earlier, output)), before(bytesOf(output)), live(source),
          job(source, output, env)
    {}
    Q_DISABLE_COPY_MOVE(JobOverEarlierOutput)
    // Once ffmpeg writes the part file.
    bool writing() const
    {
        return copied &&
               QTest::qWaitFor([&] { return partSize(dir.path()) > 0; }, fixtures::scaled(10000));
    }
    // The encoder's process, 0 if none runs.
    int encoder() const { return fixtures::processWith(source, "ffmpeg"); }
    bool untouched() const { return bytesOf(output) == before && partsIn(dir.path()).isEmpty(); }

    QTemporaryDir dir;
    const QString output;
    const QString source;
    const bool copied;
    const QByteArray before;
    const LiveSource live;
    JobProcess job;
};

// A writable file, out.ac3 holding content, in a folder that takes no new file: for root (who
// writes any folder) a read-only mount of the folder with the file mounted writable on it, for
// others a folder without write permission. Empty if it cannot be made; mounts gets what to
// unmount, last first.
QString fileInReadOnlyFolder(const QString &base, const QByteArray &content,
                             QList<QByteArray> &mounts)
{
    const QDir dir(base);
    QFile f(dir.filePath("rw/out.ac3"));
    if (!dir.mkpath("rw") || !dir.mkpath("ro") || !f.open(QIODevice::WriteOnly) ||
        f.write(content) != content.size())
        return {};
    f.close();
    QString file = dir.filePath("ro/out.ac3");
    const QByteArray rw = QFile::encodeName(dir.filePath("rw"));
    const QByteArray ro = QFile::encodeName(dir.filePath("ro"));
    if (geteuid() != 0) {
        return QFile::rename(f.fileName(), file) && ::chmod(ro.constData(), 0555) == 0 ? file
                                                                                       : QString();
    }
    if (::mount(rw.constData(), ro.constData(), nullptr, MS_BIND, nullptr) != 0)
        return {};
    mounts.append(ro);
    const QByteArray name = QFile::encodeName(file);
    if (::mount(nullptr, ro.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0 ||
        ::mount((rw + "/out.ac3").constData(), name.constData(), nullptr, MS_BIND, nullptr) != 0)
        return {};
    mounts.append(name);
    return file;
}

// A library that cannot read the output back.
class Unreadable final : public MediaLibrary
{
public:
    explicit Unreadable(bool anException) : m_anException(anException) {}
    Handle open(const QByteArray &) override
    {
        if (m_anException)
            throw KelvaneError("The MediaInfo library could not be loaded: gone");
        throw 42;
    }
    QByteArray get(Handle, StreamKind, const char *) override { return {}; }
    void close(Handle) override {}

private:
    const bool m_anException;
};

} // namespace

class TestJob : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void streamShownIsStreamEncoded_data();
    void streamShownIsStreamEncoded();
    void fullDisk_data();
    void fullDisk();
    void earlierOutputSurvivesFailure_data();
    void earlierOutputSurvivesFailure();
    void earlierOutputReplacedOnSuccess();
    void uncheckableOutputFails_data();
    void uncheckableOutputFails();
    void refusedThread();
    void sameFile();
    void oneJobPerOutput_data();
    void oneJobPerOutput();
    void killedProgramLeavesNoEncoder();
    void endSignals_data();
    void endSignals();
    void programEndsOnSignals();
    void lostDisplay();
    void outputKinds_data();
    void outputKinds();
    void stickyFolder_data();
    void stickyFolder();
    void killedInPlaceJobIsPutRight();

private:
    QTemporaryDir m_dir;
    QString m_wav;
    QString m_ac3;
};

void TestJob::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_wav = m_dir.filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(10), m_wav));
    m_ac3 = m_dir.filePath("tone.ac3");
    QVERIFY(fixtures::ffmpeg({"-i", m_wav, "-ab", "192k", "-c:a", "ac3"}, m_ac3));
}

// The summary describes libmediainfo's first audio stream; ffmpeg on its own would take the
// stream with the most channels or the one flagged default. The output must be the former.
void TestJob::streamShownIsStreamEncoded_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("shown"); // what the summary says of the stream
    QTest::addColumn<QString>("map");
    QTest::addColumn<double>("hz");
    QTest::addColumn<double>("seconds");
    const QStringList codecs{"-c:a:0", "mp2", "-c:a:1", "ac3"};
    const QString first = "44100rate 2channels";
    const QString second = "48000rate 6channels";
    QTest::newRow("MPEG-TS") << "x.ts" << codecs << first << "0:a:i:256" << 440.0 << 4.0;
    QTest::newRow("MPEG-TS, PIDs against the order")
        << "rev.ts" << codecs + QStringList{"-streamid", "0:0x300", "-streamid", "1:0x150"}
        << second << "0:a:i:336" << 1000.0 << 6.0;
    QTest::newRow("MPEG-PS") << "x.mpg" << codecs << first << "0:a:i:448" << 440.0 << 4.0;
    QTest::newRow("AVI") << "x.avi" << codecs << first << "0:0" << 440.0 << 4.0;
    QTest::newRow("Matroska, no default")
        << "x.mkv" << codecs + QStringList{"-disposition:a:0", "0", "-disposition:a:1", "0"}
        << first << "0:a:0" << 440.0 << 4.0;
    QTest::newRow("Matroska, second default")
        << "d.mkv" << codecs + QStringList{"-disposition:a:0", "0", "-disposition:a:1", "default"}
        << first << "0:a:0" << 440.0 << 4.0;
    QTest::newRow("MP4, second default")
        << "d.mp4" << codecs + QStringList{"-disposition:a:0", "0", "-disposition:a:1", "default"}
        << first << "0:a:i:1" << 440.0 << 4.0;
}

void TestJob::streamShownIsStreamEncoded()
{
    QFETCH(QString, name);
    QFETCH(QStringList, extra);
    QFETCH(QString, shown);
    QFETCH(QString, map);
    QFETCH(double, hz);
    QFETCH(double, seconds);
    const QString source = m_dir.filePath(name);
    QVERIFY(fixtures::ffmpeg(fixtures::twoTones(extra), source));
    LibMediaInfo library;
    const ProbeResult found = probe::probeSource(library, source, "192");
    QVERIFY2(found.summary.contains(" " + shown + " "), qPrintable(found.summary));
    QCOMPARE(found.stream, map);

    const QString output = m_dir.filePath(name + ".ac3");
    Run run(source, output, "AC3", found.stream);
    run.job->start();
    QVERIFY(run.finish());
    QVERIFY2(run.outcome.succeeded(), qPrintable(run.log.join('\n')));
    QVERIFY(qAbs(fixtures::toneHz(output) - hz) < 20);
    const double duration = fixtures::probeValue(output, "duration").toDouble();
    QVERIFY2(qAbs(duration - seconds) < 0.1, qPrintable(QString::number(duration)));
}

// ffmpeg 5.1 exits with 0 after "No space left on device"; the job must not.
void TestJob::fullDisk_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("earlier"); // an earlier output of the same name is there
    QTest::newRow("AC3") << "AC3" << false;
    QTest::newRow("MP2") << "MP2" << false;
    QTest::newRow("AC3 over an earlier file") << "AC3" << true;
    QTest::newRow("MP2 over an earlier file") << "MP2" << true;
}

void TestJob::fullDisk()
{
    QFETCH(QString, format);
    QFETCH(bool, earlier);
    if (geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    QTemporaryDir mountPoint;
    QVERIFY(::mount("tmpfs", QFile::encodeName(mountPoint.path()).constData(), "tmpfs", 0,
                    "size=64k") == 0);
    const auto unmount =
        qScopeGuard([&] { ::umount(QFile::encodeName(mountPoint.path()).constData()); });
    const QString output = mountPoint.filePath("out." + format.toLower());
    const QByteArray before = QByteArray(8000, 'k');
    if (earlier) {
        QFile f(output);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
    }

    Run run(m_wav, output, format);
    run.job->start();
    QVERIFY(run.finish());
    QCOMPARE(run.outcome.kind, JobOutcome::OutputProblem);
    QVERIFY2(run.outcome.error.startsWith("the output file "), qPrintable(run.outcome.error));
    QVERIFY(run.log.contains(run.outcome.error));
    if (earlier) {
        QCOMPARE(bytesOf(output), before);
        QCOMPARE(run.log.last(), "The earlier output file was not touched: " + output);
    } else {
        QVERIFY(!QFile::exists(output));
    }
    QCOMPARE(QDir(mountPoint.path()).entryList(QDir::Files | QDir::Hidden).size(), int(earlier));
}

// Whatever ends a job short, a file that was there before is there afterwards, byte for byte,
// and never moved meanwhile: ffmpeg writes a file of the job's own beside it.
void TestJob::earlierOutputSurvivesFailure_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("kind");
    QTest::newRow("ffmpeg fails") << "missing source" << int(JobOutcome::ExitCode);
    QTest::newRow("stopped") << "stop" << int(JobOutcome::Stopped);
    QTest::newRow("ffmpeg killed") << "kill" << int(JobOutcome::Crashed);
}

void TestJob::earlierOutputSurvivesFailure()
{
    QFETCH(QString, how);
    QFETCH(int, kind);
    QTemporaryDir dir;
    const QString output = dir.filePath("keep me.ac3");
    QVERIFY(QFile::copy(m_ac3, output));
    const QByteArray before = bytesOf(output);

    std::unique_ptr<LiveSource> live;
    QString source = dir.filePath("missing.wav");
    if (how != "missing source") {
        source = dir.filePath("live.wav");
        live = std::make_unique<LiveSource>(source);
    }
    Run run(source, output);
    run.job->setGraceMs(500);
    run.job->start();
    if (live) {
        QTRY_VERIFY_WITH_TIMEOUT(partSize(dir.path()) > 0, fixtures::scaled(10000));
        QCOMPARE(bytesOf(output), before);
        if (how == "stop") {
            run.job->stop();
        } else {
            const int pid = fixtures::processWith(source, "ffmpeg");
            QVERIFY(pid > 0);
            QCOMPARE(::kill(pid, SIGKILL), 0);
        }
    }
    QVERIFY(run.finish(10000));
    QCOMPARE(int(run.outcome.kind), kind);
    QCOMPARE(bytesOf(output), before);
    QCOMPARE(run.log.last(), "The earlier output file was not touched: " + output);
    QCOMPARE(QDir(dir.path()).entryList({"*.ac3*"}, QDir::Files | QDir::Hidden),
             QStringList{"keep me.ac3"});
}

void TestJob::earlierOutputReplacedOnSuccess()
{
    QTemporaryDir dir;
    const QString output = dir.filePath("old.mp2");
    QFile old(output);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("an old take") > 0);
    old.close();
    Run run(m_wav, output, "MP2");
    run.job->start();
    QVERIFY(run.finish());
    QVERIFY2(run.outcome.succeeded(), qPrintable(run.log.join('\n')));
    QCOMPARE(fixtures::probeValue(output, "codec_name"), QString("mp2"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.mp2"});
}

// An output that cannot be read back is a failure with the reason; an earlier file is put back.
void TestJob::uncheckableOutputFails_data()
{
    QTest::addColumn<bool>("anException");
    QTest::addColumn<QString>("error");
    QTest::newRow("exception") << true << "The MediaInfo library could not be loaded: gone";
    QTest::newRow("not an exception") << false << "the output file could not be checked";
}

void TestJob::uncheckableOutputFails()
{
    QFETCH(bool, anException);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString output = dir.filePath("earlier.ac3");
    const QByteArray before = "an earlier take";
    QFile earlier(output);
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(before) == before.size());
    earlier.close();
    Run run(m_wav, output);
    run.job->setLibrary(std::make_shared<Unreadable>(anException));
    run.job->start();
    QVERIFY(run.finish());
    QCOMPARE(run.outcome.kind, JobOutcome::OutputProblem);
    QCOMPARE(run.outcome.error, error);
    QVERIFY2(run.log.contains(error), qPrintable(run.log.join('\n')));
    QCOMPARE(bytesOf(output), before);
    QCOMPARE(run.log.last(), "The earlier output file was not touched: " + output);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"earlier.ac3"});
}

// The system refuses the runner's thread: an error for the user, and nothing changed.
void TestJob::refusedThread()
{
    QTemporaryDir dir;
    const QString output = dir.filePath("earlier.ac3");
    QVERIFY(QFile::copy(m_ac3, output));
    const QByteArray before = bytesOf(output);
    Run run(m_wav, output);
    try {
        const RefusedThreads refused;
        run.job->start();
        QFAIL("the job started");
    } catch (const KelvaneError &e) {
        QCOMPARE(e.message(),
                 QString("The conversion could not be started: the system refused a thread"));
    }
    QVERIFY(!run.job->isRunning());
    QVERIFY(!converting);
    QCOMPARE(bytesOf(output), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"earlier.ac3"});
}

void TestJob::sameFile()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("real"));
    const QString source = dir.filePath("real/song.mp2");
    QVERIFY(QFile::copy(m_ac3, source));
    QVERIFY(QFile::link(dir.filePath("real"), dir.filePath("link")));
    QVERIFY(!ConversionJob::refusal(source, dir.filePath("link/song.mp2")).isEmpty());
    QVERIFY(!ConversionJob::refusal(source, dir.filePath("real/./song.mp2")).isEmpty());
    QVERIFY(ConversionJob::refusal(source, dir.filePath("real/other.mp2")).isEmpty());
    QVERIFY(ConversionJob::refusal(dir.filePath("real/missing.mp2"),
                                   dir.filePath("real/missing.mp2"))
                .isEmpty()); // nothing there to lose
}

// Two jobs on one output, in one process or two, in both orders: the second is refused before
// anything runs; the first ends as if it had been alone, and the original is either replaced by
// the first's output or, if it is stopped, untouched.
void TestJob::oneJobPerOutput_data()
{
    QTest::addColumn<bool>("firstElsewhere");
    QTest::addColumn<bool>("secondElsewhere");
    QTest::addColumn<bool>("firstStopped");
    QTest::newRow("here, then here, first finishes") << false << false << false;
    QTest::newRow("here, then another process, first stopped") << false << true << true;
    QTest::newRow("another process, then here, first finishes") << true << false << false;
    QTest::newRow("another process, then here, first stopped") << true << false << true;
}

void TestJob::oneJobPerOutput()
{
    QFETCH(bool, firstElsewhere);
    QFETCH(bool, secondElsewhere);
    QFETCH(bool, firstStopped);
    QTemporaryDir dir;
    const QString output = dir.filePath("original.ac3");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3) + QStringList{"-c:a", "ac3"}, output));
    const QByteArray original = bytesOf(output);
    const QString busy = QString("Another conversion is writing \"%1\" now. Choose another "
                                 "output file, or wait until that conversion has ended.")
                             .arg(output);

    const QString firstSource = dir.filePath("first.wav");
    const PacedSource paced(firstSource, 8);
    std::unique_ptr<Run> first;
    std::unique_ptr<JobProcess> firstProcess;
    if (firstElsewhere) {
        firstProcess = std::make_unique<JobProcess>(firstSource, output);
    } else {
        first = std::make_unique<Run>(firstSource, output);
        first->job->setGraceMs(500);
        first->job->start();
    }
    // The first one's encoder is under way on its new file (which ffmpeg fills in bursts).
    QTRY_VERIFY_WITH_TIMEOUT(
        partsIn(dir.path()).size() == 1 && fixtures::processWith(firstSource, "ffmpeg") > 0, 10000);

    if (secondElsewhere) {
        JobProcess second(m_wav, output);
        QVERIFY(second.ended());
        QCOMPARE(second.log(), busy + "\noutcome: " + busy + "\n");
    } else {
        Run second(m_wav, output);
        second.job->start();
        QVERIFY(second.finish());
        QCOMPARE(second.outcome.kind, JobOutcome::Refused);
        QCOMPARE(second.outcome.error, busy);
        QCOMPARE(second.log, QStringList{busy}); // nothing removed or put back
    }
    QCOMPARE(fixtures::processWith(m_wav, "ffmpeg"), 0);
    QCOMPARE(bytesOf(output), original); // the first job's file has not replaced it yet

    if (firstStopped) {
        if (first)
            first->job->stop();
        else
            QCOMPARE(::kill(int(firstProcess->process.processId()), SIGTERM), 0);
    }
    if (first) {
        QVERIFY(first->finish(20000));
        QCOMPARE(first->outcome.succeeded(), !firstStopped);
    } else {
        QVERIFY(firstProcess->ended());
        QVERIFY2(firstProcess->log().endsWith(firstStopped
                                                  ? "outcome: ffmpeg was stopped by the user\n"
                                                  : "outcome: Finished\n"),
                 qPrintable(firstProcess->log()));
    }
    if (firstStopped) {
        QCOMPARE(bytesOf(output), original);
    } else {
        const double seconds = fixtures::probeValue(output, "duration").toDouble();
        QVERIFY2(qAbs(seconds - 8) < 0.2, qPrintable(QString::number(seconds)));
    }
    QCOMPARE(partsIn(dir.path()), QStringList());
}

// Kelvane killed outright: its encoder dies with it, the user's file is as it was, and the next
// job for that output removes the part file left behind.
void TestJob::killedProgramLeavesNoEncoder()
{
    JobOverEarlierOutput killed(m_ac3);
    QVERIFY(killed.writing());
    QVERIFY(killed.encoder() > 0);
    QCOMPARE(::kill(int(killed.job.process.processId()), SIGKILL), 0);
    QTRY_COMPARE_WITH_TIMEOUT(killed.encoder(), 0, 5000);
    QCOMPARE(bytesOf(killed.output), killed.before);
    const QStringList left = partsIn(killed.dir.path());
    QCOMPARE(left.size(), 1);

    Run next(m_wav, killed.output);
    next.job->start();
    QVERIFY(next.finish());
    QVERIFY2(next.outcome.succeeded(), qPrintable(next.log.join('\n')));
    QVERIFY2(next.log.contains("A part file left by an interrupted conversion was removed: " +
                               killed.dir.filePath(left.first())),
             qPrintable(next.log.join('\n')));
    QCOMPARE(partsIn(killed.dir.path()), QStringList());
}

// A logout, a kill or a closed terminal stops the job as Stop does before the program ends.
void TestJob::endSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("SIGINT") << SIGINT;
}

void TestJob::endSignals()
{
    QFETCH(int, signal);
    JobOverEarlierOutput ended(m_ac3);
    QVERIFY(ended.writing());
    const int encoder = ended.encoder();
    QVERIFY(encoder > 0);
    // Its own process group: a signal to Kelvane's group does not reach it.
    QVERIFY(::getpgid(encoder) != ::getpgid(int(ended.job.process.processId())));
    QCOMPARE(::kill(int(ended.job.process.processId()), signal), 0);
    QVERIFY(ended.job.ended());
    QCOMPARE(ended.job.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(ended.job.log().contains("\nThe unfinished output file was removed: "),
             qPrintable(ended.job.log()));
    QVERIFY(ended.job.log().endsWith("outcome: ffmpeg was stopped by the user\n"));
    QCOMPARE(ended.encoder(), 0);
    QVERIFY(ended.untouched());
}

// The real program takes the end signals as File > Exit: it ends normally instead of dying.
void TestJob::programEndsOnSignals()
{
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(KELVANE_BINARY, {});
        QVERIFY(program.waitForStarted());
        const QString status = QString("/proc/%1/status").arg(program.processId());
        // Caught once the window is up: the bit of the signal in SigCgt.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QFile f(status);
                if (!f.open(QIODevice::ReadOnly))
                    return false;
                for (const QByteArray &line : f.readAll().split('\n')) {
                    if (line.startsWith("SigCgt:"))
                        return ((line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) &
                                1) != 0;
                }
                return false;
            }(),
            20000);
        QCOMPARE(::kill(int(program.processId()), signal), 0);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
}

// Qt ends the program with exit() when the X server goes away: the job is stopped first.
void TestJob::lostDisplay()
{
    if (QStandardPaths::findExecutable("Xvfb").isEmpty())
        QSKIP("Xvfb is not installed");
    QProcess xvfb;
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    xvfb.setChildProcessModifier([fds] { ::dup2(fds[1], 3); });
    xvfb.start("Xvfb", {"-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    ::close(fds[1]);
    QByteArray number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    QVERIFY2(!number.isEmpty(), "Xvfb gave no display");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", ":" + QString::fromLatin1(number));
    JobOverEarlierOutput lost(m_ac3, env);
    QVERIFY(lost.writing());
    xvfb.kill();
    xvfb.waitForFinished();
    QVERIFY(lost.job.ended());
    QCOMPARE(lost.encoder(), 0);
    QVERIFY(lost.untouched());
}

// Outputs that are not plain files in a folder the job may write to.
void TestJob::outputKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("stopped");
    for (const char *kind : {"link to a file", "dangling link", "name of 250 bytes", "mode 0600",
                             "read-only folder, writable file"}) {
        QTest::addRow("%s, finished", kind) << QString(kind) << false;
        QTest::addRow("%s, stopped", kind) << QString(kind) << true;
    }
}

void TestJob::outputKinds()
{
    QFETCH(QString, kind);
    QFETCH(bool, stopped);
    QTemporaryDir dir;
    QString output = dir.filePath("out.ac3");
    QString target = output; // where the bytes land
    QByteArray before = "an earlier take";
    QList<QByteArray> mounts;
    const auto unmount = qScopeGuard([&] {
        while (!mounts.isEmpty())
            ::umount2(mounts.takeLast().constData(), MNT_DETACH);
        ::chmod(QFile::encodeName(dir.filePath("ro")).constData(), 0755);
    });
    const auto write = [](const QString &path, const QByteArray &bytes) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    if (kind == "link to a file") {
        target = dir.filePath("real.ac3");
        QVERIFY(write(target, before));
        QVERIFY(QFile::link("real.ac3", output));
    } else if (kind == "dangling link") {
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        target = dir.filePath("sub/missing.ac3");
        QVERIFY(QFile::link("sub/missing.ac3", output));
        before.clear();
    } else if (kind == "name of 250 bytes") {
        output = target = dir.filePath(QString(246, QChar(u'n')) + ".ac3");
        QVERIFY(write(output, before));
    } else if (kind == "mode 0600") {
        QVERIFY(write(output, before));
        QVERIFY(::chmod(QFile::encodeName(output).constData(), 0600) == 0);
    } else if (kind == "read-only folder, writable file") {
        output = target = fileInReadOnlyFolder(dir.path(), before, mounts);
        QVERIFY(!output.isEmpty());
    }
    struct stat was = {};
    ::stat(QFile::encodeName(target).constData(), &was);

    const QString source = dir.filePath("live.wav");
    std::unique_ptr<LiveSource> live;
    if (stopped)
        live = std::make_unique<LiveSource>(source);
    Run run(stopped ? source : m_wav, output);
    run.job->setGraceMs(500);
    run.job->start();
    if (stopped) {
        QTRY_VERIFY_WITH_TIMEOUT(fixtures::processWith(source, "ffmpeg") > 0,
                                 fixtures::scaled(10000));
        QTest::qWait(300); // ffmpeg under way; the outcome is the same if it had not begun
        run.job->stop();
    }
    QVERIFY(run.finish(20000));
    const QString log = run.log.join('\n');
    QCOMPARE(run.outcome.succeeded(), !stopped);
    if (kind.contains("link"))
        QVERIFY2(QFileInfo(output).isSymLink(), qPrintable(log)); // the link stays a link
    if (stopped) {
        QCOMPARE(bytesOf(target), before);
        QCOMPARE(QFileInfo::exists(target), !before.isEmpty());
    } else {
        QCOMPARE(fixtures::probeValue(output, "codec_name"), QString("ac3"));
    }
    struct stat now = {};
    if (::stat(QFile::encodeName(target).constData(), &now) == 0 && was.st_mode != 0)
        QCOMPARE(now.st_mode & 07777, was.st_mode & 07777);
    if (kind.startsWith("read-only"))
        QVERIFY2(log.contains("takes no new file"), qPrintable(log));
    QCOMPARE(partsIn(QFileInfo(target).path()), QStringList());
    QVERIFY2(!log.contains("source file"), qPrintable(log));
    // Nothing is said of a file but the job's own: a stopped job names the file it removed,
    // and a finished one removed and put back nothing.
    if (!stopped)
        QVERIFY2(!log.contains("put back") && !log.contains("was removed"), qPrintable(log));
    else if (log.contains("was removed"))
        QVERIFY2(log.contains("The unfinished output file was removed: " +
                              QFileInfo(target).path() + "/.kelvane-part-"),
                 qPrintable(log));
}

// Another user's file, writable by all, in a sticky folder (as in /tmp): only its owner may
// replace it, but the user may write it. The job, run as nobody, writes it in place and puts
// the earlier contents back when stopped; the file stays its owner's.
void TestJob::stickyFolder_data()
{
    QTest::addColumn<bool>("stopped");
    QTest::newRow("finished") << false;
    QTest::newRow("stopped") << true;
}

void TestJob::stickyFolder()
{
    QFETCH(bool, stopped);
    if (geteuid() != 0)
        QSKIP("another user's file and a job as nobody need root");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    QVERIFY(QDir(dir.path()).mkdir("shared"));
    QVERIFY(::chmod(QFile::encodeName(dir.filePath("shared")).constData(), 01777) == 0);
    const QString output = dir.filePath("shared/theirs.ac3");
    const QByteArray before = "an earlier take";
    {
        QFile f(output);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
    }
    QVERIFY(::chmod(QFile::encodeName(output).constData(), 0666) == 0);

    QString source = dir.filePath("tone.wav");
    std::unique_ptr<LiveSource> live;
    if (stopped) {
        source = dir.filePath("live.wav");
        live = std::make_unique<LiveSource>(source);
    } else {
        QVERIFY(QFile::copy(m_wav, source));
    }
    QVERIFY(::chmod(QFile::encodeName(source).constData(), 0644) == 0);
    // The build may sit in a folder nobody cannot enter (root's home): the job runs from here.
    const QString program = dir.filePath("jobprocess");
    QVERIFY(QFile::copy(QStringLiteral(JOBPROCESS), program));
    QVERIFY(::chmod(QFile::encodeName(program).constData(), 0755) == 0);
    constexpr uid_t nobody = 65534;
    JobProcess job(
        source, output, QProcessEnvironment::systemEnvironment(),
        [] {
            if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(3);
        },
        program);
    if (stopped) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(output).size() > before.size(), fixtures::scaled(10000));
        QCOMPARE(::kill(int(job.process.processId()), SIGTERM), 0);
    }
    QVERIFY(job.ended(60000));
    const QString log = job.log();
    QVERIFY2(log.contains("As in the sticky folder " + dir.filePath("shared") +
                          " only the owner may replace theirs.ac3, ffmpeg writes the output in "
                          "place"),
             qPrintable(log));
    QVERIFY2(!log.contains("source file"), qPrintable(log));
    if (stopped) {
        QVERIFY2(log.endsWith("The earlier output file was put back: " + output +
                              "\noutcome: ffmpeg was stopped by the user\n"),
                 qPrintable(log));
        QCOMPARE(bytesOf(output), before);
    } else {
        QVERIFY2(log.endsWith("outcome: Finished\n"), qPrintable(log));
        QCOMPARE(fixtures::probeValue(output, "codec_name"), QString("ac3"));
    }
    QCOMPARE(QFileInfo(output).ownerId(), 0u);
    QCOMPARE(QDir(dir.filePath("shared")).entryList(QDir::Files | QDir::Hidden),
             QStringList{"theirs.ac3"});
    // The copy of the earlier contents is gone with the job.
    QCOMPARE(QDir(QString("/tmp/kelvane-%1").arg(nobody)).entryList({"*.kept"}, QDir::Files),
             QStringList());
}

// Kelvane killed while ffmpeg wrote an output in place: the next job for that output first
// writes the earlier contents back, says so, and then does its own work.
void TestJob::killedInPlaceJobIsPutRight()
{
    QTemporaryDir dir;
    QList<QByteArray> mounts;
    const auto unmount = qScopeGuard([&] {
        while (!mounts.isEmpty())
            ::umount2(mounts.takeLast().constData(), MNT_DETACH);
        ::chmod(QFile::encodeName(dir.filePath("ro")).constData(), 0755);
    });
    const QByteArray before = bytesOf(m_ac3);
    const QString output = fileInReadOnlyFolder(dir.path(), before, mounts);
    QVERIFY(!output.isEmpty());
    const QString source = dir.filePath("live.wav");
    {
        const LiveSource live(source);
        JobProcess killed(source, output);
        QTRY_VERIFY_WITH_TIMEOUT(
            fixtures::processWith(source, "ffmpeg") > 0 && bytesOf(output) != before, 10000);
        QCOMPARE(::kill(int(killed.process.processId()), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(fixtures::processWith(source, "ffmpeg"), 0, 5000);
    }
    QVERIFY(bytesOf(output) != before); // what the killed run's ffmpeg left

    Run next(dir.filePath("missing.wav"), output); // fails at once: only the putting right
    next.job->start();
    QVERIFY(next.finish());
    const QString log = next.log.join('\n');
    QVERIFY2(log.contains("The earlier output, left half-written by an interrupted conversion, "
                          "was put back: " +
                          output),
             qPrintable(log));
    QCOMPARE(next.outcome.kind, JobOutcome::ExitCode);
    QCOMPARE(bytesOf(output), before);
}

KELVANE_TEST_MAIN(QCoreApplication, TestJob)

#include "tst_job.moc"
