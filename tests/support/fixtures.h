#pragma once

// Small media files made at test time by ffmpeg's own generators.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <clocale>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fixtures {

// A wait of ms milliseconds for a state that comes at the build's speed: sanitizer builds run
// the same work several times slower, and the suites' limits say by how much.
inline int scaled(int ms)
{
    bool ok = false;
    const int scale = qEnvironmentVariableIntValue("KELVANE_TEST_TIME_SCALE", &ok);
    return ok && scale > 1 ? ms * scale : ms;
}

// Under KELVANE_EXPECT_LOCALE the suite runs once more in that locale (set up by the
// application object). False when the machine lacks it: the run is then skipped, not passed.
inline bool expectedLocaleActive()
{
    const QByteArray expected = qgetenv("KELVANE_EXPECT_LOCALE");
    if (expected.isEmpty())
        return true;
    const char *active = std::setlocale(LC_NUMERIC, nullptr);
    if (!active || QByteArray(active) != expected ||
        std::localeconv()->decimal_point != QByteArray(",")) {
        std::fprintf(stderr, "locale %s is not installed here: skipped\n", expected.constData());
        return false;
    }
    return true;
}

// Runs ffmpeg quietly with the given arguments and an output path; true when it wrote the file.
inline bool ffmpeg(const QStringList &arguments, const QString &output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("ffmpeg",
            QStringList{"-v", "error", "-nostdin", "-y"} + arguments + QStringList{output});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline QStringList sine(int seconds, int rate = 48000)
{
    return {"-f",  "lavfi",
            "-i",  QString("sine=frequency=440:duration=%1:sample_rate=%2").arg(seconds).arg(rate),
            "-ac", "2"};
}

inline QStringList video(int seconds)
{
    return {"-f",   "lavfi",
            "-i",   QString("testsrc=duration=%1:size=160x120:rate=25").arg(seconds),
            "-c:v", "mpeg1video"};
}

// Two audio streams that tell themselves apart: 4 s of 440 Hz stereo at 44100 Hz first, then
// 6 s of 1000 Hz 5.1 at 48000 Hz; extra arguments go before the output (codecs, flags).
inline QStringList twoTones(const QStringList &extra)
{
    return QStringList{"-f",
                       "lavfi",
                       "-i",
                       "sine=frequency=440:duration=4:sample_rate=44100",
                       "-f",
                       "lavfi",
                       "-i",
                       "sine=frequency=1000:duration=6:sample_rate=48000",
                       "-filter_complex",
                       "[0]aformat=channel_layouts=stereo[a];[1]aformat=channel_layouts=5.1[b]",
                       "-map",
                       "[a]",
                       "-map",
                       "[b]"} +
           extra;
}

// A Matroska file whose first track is a DVD button track, which ffmpeg skips while
// libmediainfo counts it, before 4 s of 440 Hz stereo PCM at 44100 Hz and, with secondAudio,
// 6 s of 1000 Hz mono PCM at 48000 Hz. ffmpeg writes no button track: it writes a subtitle
// track there, whose type and codec are then made a button track's in place (a Matroska string
// may end in zero bytes).
inline bool matroskaButtonsFirst(const QString &path, bool secondAudio)
{
    const QString srt = path + ".srt";
    QFile subtitles(srt);
    if (!subtitles.open(QIODevice::WriteOnly) ||
        subtitles.write("1\n00:00:00,000 --> 00:00:01,000\nbutton\n") < 0)
        return false;
    subtitles.close();
    QStringList arguments{
        "-f",   "lavfi", "-i",   "sine=frequency=440:duration=4:sample_rate=44100",
        "-f",   "lavfi", "-i",   "sine=frequency=1000:duration=6:sample_rate=48000",
        "-i",   srt,     "-map", "2:s",
        "-map", "0:a"};
    if (secondAudio)
        arguments += QStringList{"-map", "1:a", "-ac:a:1", "1"};
    arguments += QStringList{"-ac:a:0", "2", "-c:a", "pcm_s16le", "-c:s", "srt", "-f", "matroska"};
    const bool made = ffmpeg(arguments, path);
    QFile::remove(srt);
    QFile file(path);
    if (!made || !file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    // The codec id (0x86, 11 bytes), then the track type (0x83, 1 byte, subtitle 0x11).
    const QByteArray subtitle = QByteArray("\x86\x8bS_TEXT/UTF8\x83\x81\x11", 16);
    const qsizetype at = bytes.indexOf(subtitle);
    if (at < 0 || bytes.indexOf(subtitle, at + 1) >= 0)
        return false;
    bytes.replace(at, subtitle.size(),
                  QByteArray("\x86\x8b"
                             "B_VOBBTN\0\0\0\x83\x81\x12",
                             16));
    return file.seek(0) && file.write(bytes) == bytes.size();
}

// The frequency of a tone file's first audio stream, from its zero crossings.
inline double toneHz(const QString &file)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-nostdin", "-i", file, "-map", "0:a:0", "-ac", "1", "-ar",
                       "48000", "-f", "s16le", "-"});
    p.waitForFinished(60000);
    const QByteArray pcm = p.readAllStandardOutput();
    const auto *samples = reinterpret_cast<const qint16 *>(pcm.constData());
    const qsizetype count = pcm.size() / 2;
    qsizetype crossings = 0;
    for (qsizetype i = 1; i < count; ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    return count ? double(crossings) / 2.0 / (double(count) / 48000.0) : 0;
}

// The first process for which holds(its /proc file named entry) is true; 0 if there is none.
inline int processWhose(const char *entry, const std::function<bool(const QByteArray &)> &holds)
{
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        QFile f("/proc/" + pid + "/" + entry);
        if (pid.toInt() > 0 && f.open(QIODevice::ReadOnly) && holds(f.readAll()))
            return pid.toInt();
    }
    return 0;
}

// The pid of a running process whose command line holds marker (and whose program name ends
// in program, if given); 0 if there is none.
inline int processWith(const QString &marker, const QByteArray &program = {})
{
    return processWhose("cmdline", [&](const QByteArray &cmd) {
        return cmd.contains(marker.toUtf8()) && cmd.left(cmd.indexOf('\0')).endsWith(program);
    });
}

// One line of ffprobe's answer for the first audio stream.
inline QString probeValue(const QString &file, const QString &entry)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_entries", "stream=" + entry,
                        "-of", "csv=p=0", file});
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

} // namespace fixtures

// A real ffmpeg job that runs until stopped: its source is a FIFO fed at 20 times real time.
class LiveSource
{
public:
    explicit LiveSource(const QString &fifo) : m_fifo(fifo)
    {
        QFile::remove(fifo);
        if (mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            qFatal("cannot make a FIFO");
        m_feeder.start("sh", {"-c",
                              "exec ffmpeg -v error -nostdin -readrate 20 -f lavfi -i "
                              "sine=duration=600 -f wav - > \"$0\"",
                              fifo});
    }
    ~LiveSource()
    {
        m_feeder.kill();
        m_feeder.waitForFinished();
    }
    Q_DISABLE_COPY_MOVE(LiveSource)

private:
    QString m_fifo;
    QProcess m_feeder;
};

// While it lives, the system refuses new threads: their stacks no longer fit the address space.
class RefusedThreads
{
public:
    RefusedThreads()
    {
        pthread_getattr_default_np(&m_defaults);
        pthread_attr_t big;
        pthread_attr_init(&big);
        pthread_attr_setstacksize(&big, 256u << 20);
        pthread_setattr_default_np(&big);
        pthread_attr_destroy(&big);
        getrlimit(RLIMIT_AS, &m_limit);
        struct rlimit capped = m_limit;
        capped.rlim_cur = currentSize() + (64u << 20);
        setrlimit(RLIMIT_AS, &capped);
    }
    ~RefusedThreads()
    {
        setrlimit(RLIMIT_AS, &m_limit);
        pthread_setattr_default_np(&m_defaults);
        pthread_attr_destroy(&m_defaults);
    }
    Q_DISABLE_COPY_MOVE(RefusedThreads)

private:
    static rlim_t currentSize()
    {
        QFile status("/proc/self/status");
        if (!status.open(QIODevice::ReadOnly))
            return RLIM_INFINITY;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmSize:"))
                return line.mid(7).trimmed().split(' ').first().toULongLong() * 1024;
        }
        return RLIM_INFINITY;
    }

    pthread_attr_t m_defaults;
    struct rlimit m_limit;
};
