#pragma once

#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/types.h>

// The file-system side of one job's output. Everything here may block on a mount that has
// stopped answering, so it runs on the job's own thread, never on the window's.
//
// Invariants:
// - The only file this object ever deletes, renames or truncates is one it created itself
//   with O_EXCL (the part file), known by its device and inode, never by its path; the one
//   exception is the in-place case below, where it writes back the saved contents into the
//   very inode it saved them from.
// - The user's output is replaced in one rename() of the part file over it, or not at all:
//   until then it does not move. Through a symbolic link the link's final target is replaced
//   and the link stays.
// - One job per output across all processes: every job holds an exclusive flock() on its part
//   file for as long as it lives (the kernel drops it when the process dies). A part file of
//   the same output that is locked belongs to a running job, so the new job is refused; one
//   that is not locked was left by a killed run and is removed.
// - Where the folder takes no new file but the user may write the output, ffmpeg writes the
//   output itself, and a copy of its old contents, kept under the user's private folder in
//   /tmp under a name made from the output's identity, is written back on failure (or by the
//   next job for that output, should this one be killed).
class OutputFile
{
public:
    explicit OutputFile(const QString &output);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    enum class Result
    {
        Ready,
        Refused, // before anything ran: the text is for a message box
        Failed   // the output cannot be written: the text is for "Conversion failed: %1"
    };
    // Gets the output ready for ffmpeg, unless it is the source under another name (also one a
    // file system hides) or another job writes it. Lines for the log go to log.
    Result prepare(const QString &source, QString &why, QStringList &log);

    // The file ffmpeg is to write and the monitor follows.
    QString writePath() const { return m_writePath; }
    // The file the output names: the output, or its link's final target.
    QString target() const { return m_target; }
    // ffmpeg writes a new file, which replaces the output in one step.
    bool replacesInOneStep() const { return m_mode == Mode::Part; }
    // The output is not a regular file (a device, a pipe): written as it is and not verified.
    bool direct() const { return m_mode == Mode::Direct; }

    // After a verified run: puts the new file in the output's place. Empty, or why it could
    // not (the earlier output is then as it was).
    QString commit(QStringList &log);
    // After a failed run: removes what this job wrote and leaves the earlier output as it was.
    void discard(QStringList &log);

    // The part file's name prefix for an output file name.
    static QString partPrefix(const QString &fileName);

private:
    enum class Mode
    {
        None,
        Part,
        InPlace,
        Direct
    };
    Result preparePart(QString &why, QStringList &log);
    // cause: why the output cannot be replaced in one step, as a phrase.
    Result prepareInPlace(const QString &cause, QString &why, QStringList &log);
    // Another running job's part file of this output; removes those left by killed runs.
    bool otherJobWrites(QStringList &log);
    bool partIsOurs() const;
    QString asideName() const;
    bool hidesTheSource(const QString &source, const struct stat &target);
    // Removes the part file just made, before ffmpeg has seen it.
    void dropPart();

    const QString m_output;
    QString m_target;    // the file to be replaced: the output, or its link's final target
    QString m_writePath; // what ffmpeg writes
    Mode m_mode = Mode::None;
    bool m_targetExisted = false;
    int m_partFd = -1;
    dev_t m_partDev = 0;
    ino_t m_partIno = 0;
    // In place: the copy of the earlier contents, the output's identity, and the lock on it.
    QString m_copy;
    int m_copyFd = -1;
    int m_targetFd = -1;
    dev_t m_targetDev = 0;
    ino_t m_targetIno = 0;
};
