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

namespace fixtures {

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

// The pid of a running process whose command line holds marker (and whose program name ends
// in program, if given); 0 if there is none.
inline int processWith(const QString &marker, const QByteArray &program = {})
{
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        QFile f("/proc/" + pid + "/cmdline");
        if (pid.toInt() <= 0 || !f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray cmd = f.readAll();
        if (cmd.contains(marker.toUtf8()) && cmd.left(cmd.indexOf('\0')).endsWith(program))
            return pid.toInt();
    }
    return 0;
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
