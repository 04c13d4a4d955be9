// Jobs that go wrong, with the real ffmpeg and real files. Each must end with a clear log and
// notice, the flag down, the window ready for the next job, no ffmpeg left running and no
// file of the user's changed but the chosen output.
#include "application.h"
#include "fixtures.h"
#include "harness.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTemporaryDir>

#include <QStandardPaths>

#include <csignal>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// Every file under dir with a checksum of its content.
QMap<QString, QByteArray> contents(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            files.insert(path, QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256));
        else
            files.insert(path, "unreadable"); // a FIFO, for one
    }
    return files;
}

// The state every job must end in, whatever went wrong.
void checkSettled(Harness &h, const QString &output)
{
    QVERIFY(!h.window.jobRunning());
    QVERIFY(!converting);
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    QVERIFY(h.window.Button1->isEnabled());
    QCOMPARE(h.window.bar->value(), 0);
    QVERIFY(!ffmpegRunningWith(output));
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void badSource_data();
    void badSource();
    void outputFolderNotWritable();
    void outputIsTheSource_data();
    void outputIsTheSource();
    void ffmpegKilledFromOutside();
    void oddPaths();
    void exitWhileTheOutputsMountHangs();
    void outputIsTheSourceThroughACaseInsensitiveMount();
    void outputAnotherWindowWrites();

private:
    QTemporaryDir m_dir;
    QString m_wav;
};

void TestFaults::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_wav = m_dir.filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(5), m_wav));
}

void TestFaults::badSource_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<QString>("notice");
    const QString failed =
        "Conversion failed: ffmpeg exited with code 1. The log shows the details.";
    QFile wav(m_wav);
    QVERIFY(wav.open(QIODevice::ReadOnly));
    QTest::newRow("nonexistent") << "gone.wav" << QByteArray() << failed;
    QTest::newRow("zero bytes") << "empty.wav" << QByteArray("") << failed;
    QTest::newRow("not media") << "notes.mp3" << QByteArray("shopping list\nmilk\n") << failed;
    // A cut-off file is encoded as far as it goes.
    QTest::newRow("truncated") << "cut.wav" << wav.read(200000) << "Finished";
}

void TestFaults::badSource()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, notice);
    QTemporaryDir dir;
    const QString source = dir.filePath(name);
    if (!content.isNull()) {
        QFile f(source);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    const QString output = dir.filePath("out.ac3");
    const auto before = contents(dir.path());

    Harness h;
    h.chooseSource(source);
    QCOMPARE(h.prompts.errors, QStringList());
    if (notice == "Finished")
        QVERIFY(h.window.audioinfo->text().startsWith("PCM 48000rate 2channels"));
    else
        QCOMPARE(h.window.audioinfo->text(), QString("No audio"));
    h.chooseOutput(output);
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{notice});
    checkSettled(h, output);
    if (notice == "Finished") {
        QCOMPARE(fixtures::probeValue(output, "codec_name"), QString("ac3"));
        const double seconds = fixtures::probeValue(output, "duration").toDouble();
        QVERIFY2(seconds > 0.5 && seconds < 2, qPrintable(QString::number(seconds)));
    } else {
        QVERIFY(h.log().endsWith("\nffmpeg exited with code 1"));
        QVERIFY(!QFile::exists(output));
    }
    auto after = contents(dir.path());
    after.remove(output);
    QCOMPARE(after, before);
}

void TestFaults::outputFolderNotWritable()
{
    // Not even root may create files in /proc.
    const QString output = "/proc/kelvane-test-output.ac3";
    Harness h;
    h.chooseSource(m_wav);
    h.chooseOutput(output);
    h.convert();
    QVERIFY(h.finish());
    // Nothing runs, and the message names the real cause.
    const QString why = "the output file cannot be written: the folder /proc takes no new file "
                        "(No such file or directory)";
    QCOMPARE(h.notices, QStringList{"Conversion failed: " + why + ". The log shows the details."});
    QVERIFY2(h.log().endsWith("\n" + why), qPrintable(h.log()));
    checkSettled(h, output);
}

// ffmpeg's own check compares names; any other name of the same file is refused as well,
// before anything runs.
void TestFaults::outputIsTheSource_data()
{
    QTest::addColumn<QString>("spelling");
    QTest::newRow("same path") << "real/song.mp2";
    QTest::newRow("with /./") << "real/./song.mp2";
    QTest::newRow("with ..") << "real/../real/song.mp2";
    QTest::newRow("through a linked folder") << "link/song.mp2";
    QTest::newRow("hard link") << "real/hard.mp2";
    QTest::newRow("linked file") << "real/soft.mp2";
}

void TestFaults::outputIsTheSource()
{
    QFETCH(QString, spelling);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("real"));
    const QString source = dir.filePath("real/song.mp2");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3) + QStringList{"-c:a", "mp2"}, source));
    QVERIFY(QFile::link(dir.filePath("real"), dir.filePath("link")));
    QVERIFY(::link(QFile::encodeName(source).constData(),
                   QFile::encodeName(dir.filePath("real/hard.mp2")).constData()) == 0);
    QVERIFY(QFile::link(source, dir.filePath("real/soft.mp2")));
    const auto before = contents(dir.path());

    Harness h;
    h.chooseSource(source);
    h.window.audioformat->setCurrentText("MP2");
    const QString output = dir.path() + "/" + spelling;
    h.chooseOutput(output);
    const QString logBefore = h.log();
    h.convert();
    QVERIFY(h.finish());
    const QString refused =
        QString("The output \"%1\" is the source file itself. Choose another output file.")
            .arg(output);
    QCOMPARE(h.notices, QStringList{refused});
    QVERIFY(!h.window.jobRunning());
    // Below the command line the refusal, and nothing from ffmpeg, which never ran.
    QVERIFY2(h.log().startsWith(logBefore + "\nffmpeg ") && h.log().endsWith("\n" + refused),
             qPrintable(h.log()));
    QCOMPARE(h.log().count('\n'), logBefore.count('\n') + 2);
    checkSettled(h, source);
    QCOMPARE(contents(dir.path()), before); // the source is intact
}

void TestFaults::ffmpegKilledFromOutside()
{
    LiveSource live(m_dir.filePath("live-kill.wav"));
    const QString output = m_dir.filePath("killed.ac3");
    Harness h;
    QVERIFY(startLiveJob(h, m_dir.filePath("live-kill.wav"), output));
    const int pid = encoderFor(output);
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGKILL), 0);
    QVERIFY(h.finish(10000));
    QCOMPARE(h.notices, QStringList{"Conversion failed: ffmpeg crashed or was killed. The log "
                                    "shows the details."});
    QVERIFY(h.log().contains("\nffmpeg crashed or was killed\n"));
    // The file removed is the one ffmpeg wrote, the job's own, by its real name.
    const QString removed = h.log().section("\nThe unfinished output file was removed: ", 1);
    QVERIFY2(removed.startsWith(m_dir.filePath(".kelvane-part-")) && !removed.contains('\n'),
             qPrintable(h.log()));
    QVERIFY(!QFile::exists(output));
    QVERIFY(!QFile::exists(removed));
    checkSettled(h, output);
}

// Names a shell would split, expand or take for options reach ffmpeg untouched.
void TestFaults::oddPaths()
{
    const QString dir = m_dir.filePath("odd $HOME 'single' \"double\" `tick` ü");
    QVERIFY(QDir().mkpath(dir));
    const QString source = dir + "/-dash\nnew line; rm -rf x & ß.wav";
    const QString output = dir + "/-out $(echo no) * ?.ac3";
    QVERIFY(QFile::copy(m_wav, source));
    Harness h;
    h.chooseSource(source);
    QVERIFY2(h.window.audioinfo->text().startsWith("PCM 48000rate 2channels"),
             qPrintable(h.window.audioinfo->text()));
    h.chooseOutput(output);
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
    QCOMPARE(fixtures::probeValue(output, "codec_name"), QString("ac3"));
    QCOMPARE(QDir(dir).entryList(QDir::Files).size(), 2); // nothing else was made
    checkSettled(h, output);
}

// The output's folder is on a mount that stops answering (its FUSE daemon stopped) while a job
// writes there: File > Exit, Yes closes the window within 2 s all the same. Once the mount
// answers again, ffmpeg is gone, the job's file removed and the earlier output as it was.
void TestFaults::exitWhileTheOutputsMountHangs()
{
    if (geteuid() != 0)
        QSKIP("mounting a FUSE file system needs root");
    if (QStandardPaths::findExecutable("bindfs").isEmpty())
        QSKIP("bindfs is not installed (scripts/deps.sh installs it)");
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("real") && QDir(dir.path()).mkdir("mnt"));
    const QString mnt = dir.filePath("mnt");
    const QByteArray before = "an earlier take";
    {
        QFile f(dir.filePath("real/hung.ac3"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
    }
    QProcess daemon;
    daemon.start("bindfs", {"-f", dir.filePath("real"), mnt});
    QVERIFY(daemon.waitForStarted());
    const auto mounted = [&] {
        QFile mounts("/proc/self/mountinfo");
        return mounts.open(QIODevice::ReadOnly) &&
               mounts.readAll().contains(" " + QFile::encodeName(mnt) + " ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(mounted(), 10000);
    const auto pid = int(daemon.processId());
    const auto cleanUp = qScopeGuard([&] {
        ::kill(pid, SIGCONT);
        ::umount2(QFile::encodeName(mnt).constData(), MNT_DETACH);
        daemon.waitForFinished(5000);
    });

    const QString fifo = m_dir.filePath("live-hung.wav");
    LiveSource live(fifo);
    const QString out = mnt + "/hung.ac3";
    Harness h;
    h.prompts.answer = [](const QString &) { return true; };
    QVERIFY(startLiveJob(h, fifo, out));
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QElapsedTimer clock;
    clock.start();
    h.window.Exit1Click();
    QTRY_VERIFY_WITH_TIMEOUT(!h.window.isVisible(), fixtures::scaled(2000));
    QVERIFY2(clock.elapsed() < fixtures::scaled(2000),
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(h.prompts.questions.size(), 1);

    QCOMPARE(::kill(pid, SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!ffmpegRunningWith(fifo), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(QDir(dir.filePath("real")).entryList(QDir::Files | QDir::Hidden),
                              QStringList{"hung.ac3"}, 10000);
    QFile f(dir.filePath("real/hung.ac3"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
}

// A case-insensitive FUSE mount reports Song.mp2 and song.mp2 as two files: the output is
// refused as the source all the same, and the user's file keeps its name and its bytes.
void TestFaults::outputIsTheSourceThroughACaseInsensitiveMount()
{
    if (geteuid() != 0)
        QSKIP("mounting a FUSE file system needs root");
    QProcess check;
    check.start("/usr/bin/python3", {"-c", "import fusepy"});
    if (!check.waitForFinished() || check.exitCode() != 0)
        QSKIP("python3-fusepy is not installed (scripts/deps.sh installs it)");
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("real") && QDir(dir.path()).mkdir("mnt"));
    const QString mnt = dir.filePath("mnt");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3) + QStringList{"-c:a", "mp2"},
                             dir.filePath("real/Song.mp2")));
    QProcess daemon;
    daemon.start("/usr/bin/python3",
                 {KELVANE_SOURCE_DIR "/tests/support/casefold_fuse.py", dir.filePath("real"), mnt});
    QVERIFY(daemon.waitForStarted());
    const auto cleanUp = qScopeGuard([&] {
        ::umount2(QFile::encodeName(mnt).constData(), MNT_DETACH);
        daemon.waitForFinished(5000);
    });
    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo::exists(mnt + "/song.mp2"),
                              daemon.readAllStandardError().constData(), 10000);
    struct stat upper = {};
    struct stat lower = {};
    QVERIFY(::stat(QFile::encodeName(mnt + "/Song.mp2").constData(), &upper) == 0 &&
            ::stat(QFile::encodeName(mnt + "/song.mp2").constData(), &lower) == 0);
    QVERIFY(upper.st_ino != lower.st_ino); // what makes the mount hide it
    const auto before = contents(dir.filePath("real"));

    Harness h;
    h.chooseSource(mnt + "/Song.mp2");
    h.window.audioformat->setCurrentText("MP2");
    h.chooseOutput(mnt + "/song.mp2");
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{QString("The output \"%1\" is the source file itself. Choose "
                                            "another output file.")
                                        .arg(mnt + "/song.mp2")});
    checkSettled(h, mnt + "/song.mp2");
    QCOMPARE(contents(dir.filePath("real")), before);
}

// A second window converting to the output a first one is writing: refused in a message box
// before anything runs, and the first job goes on as if alone.
void TestFaults::outputAnotherWindowWrites()
{
    QTemporaryDir dir;
    const QString output = dir.filePath("original.ac3");
    QVERIFY(fixtures::ffmpeg({"-i", m_wav, "-c:a", "ac3"}, output));
    const auto before = contents(dir.path());
    const QString fifo = m_dir.filePath("live-other-window.wav");
    LiveSource live(fifo);
    Harness first;
    QVERIFY(startLiveJob(first, fifo, output));

    Harness second;
    second.chooseSource(m_wav);
    second.chooseOutput(output);
    second.convert();
    QVERIFY(second.finish());
    QCOMPARE(second.notices,
             QStringList{QString("Another conversion is writing \"%1\" now. Choose another "
                                 "output file, or wait until that conversion has ended.")
                             .arg(output)});
    QVERIFY(!second.log().contains("ffmpeg version")); // its ffmpeg never ran
    QCOMPARE(fixtures::processWith(m_wav, "ffmpeg"), 0);
    QVERIFY(first.window.jobRunning());
    QVERIFY(ffmpegRunningWith(output));

    first.convert(); // Stop
    QVERIFY(first.finish(10000));
    QCOMPARE(first.notices, QStringList{"The conversion was stopped. The log shows the details."});
    // The earlier output as it was, and nothing left beside it.
    QCOMPARE(contents(dir.path()), before);
}

KELVANE_TEST_MAIN(Application, TestFaults)

#include "tst_faults.moc"
