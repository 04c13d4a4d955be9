#pragma once

#include "command.h"
#include "thread.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

class MediaLibrary;
class OutputFile;

// One conversion: its command, and the choices it was built from, which the output is
// checked against.
struct JobSettings
{
    FfmpegCommand command;
    Choices choices;
    // A line for the log when ffmpeg has to choose the audio stream itself; empty otherwise.
    QString streamNote;
    // The sampling rate and channel count of the stream the summary shows, as libmediainfo
    // gave them; the stream ffmpeg reports it encoded must have them. Empty when unknown.
    QString shownRate;
    QString shownChannels;
};

// One conversion from start to outcome: runs the encoder and the progress monitor, has the
// encoder write a new file that replaces the output only once it is verified, and reports one
// outcome. It never waits on the thread it lives on, so it can be started, stopped and
// destroyed from any handler at any moment.
//
// Invariants (the file-system side is OutputFile's, see there):
// - The job checks, keeps or deletes only the file it created itself, known by identity; the
//   log says a file was removed or put back only when it was that file.
// - An output is replaced in one step (a rename over it) or not at all, so a job that fails,
//   is stopped or is killed leaves the user's file where and as it was.
// - One job per output across all processes; a second one is refused before anything runs.
// - Every file-system call of the job runs on the runner's thread: a mount that stops
//   answering can hold up the job, never the thread the job lives on.
// - The encoder never outlives the program: it dies with the runner's thread, and a program
//   that exits while a job runs (a lost display, a signal) stops it first, as Stop does.
class ConversionJob final : public QObject
{
    Q_OBJECT
public:
    explicit ConversionJob(JobSettings settings, QObject *parent = nullptr);
    // Stops a running encoder and waits for the workers, never through the event loop.
    ~ConversionJob() override;
    Q_DISABLE_COPY_MOVE(ConversionJob)

    // Empty when output may be written; otherwise why not: it is the source under another name.
    static QString refusal(const QString &source, const QString &output);

    // Starts the runner, then the monitor. Throws KelvaneError when the system refuses a
    // thread: for the runner, the job has then not started and nothing was changed.
    void start();
    void stop();
    // For a program that must end although the job does not (its output's mount stopped
    // answering): the job is stopped, let go of its parent and its receivers, and left to the
    // end of the program, which waits a bounded time for it.
    void abandon();
    bool isRunning() const { return m_running; }
    // A finished job has reported its outcome.
    bool isFinished() const { return m_finished; }

    void setGraceMs(int ms) { m_graceMs = ms; }
    // Reads the finished output; the real libmediainfo unless set.
    void setLibrary(std::shared_ptr<MediaLibrary> library) { m_library = std::move(library); }

signals:
    void logReplaced(const QStringList &lines);
    void logAppended(const QString &line);
    void sizeMeasured(qint64 bytes);
    // Once, after the runner and the monitor have ended and their last signals have arrived.
    void finished(const JobOutcome &outcome);

private:
    // On the runner's thread, before the encoder: the refusals, then the file it writes.
    QStringList prepareOutput(JobOutcome &outcome, QStringList &arguments);
    // On the runner's thread: verifies the new file, then puts it in place or removes it.
    TTrad::Ending settleOutput(JobOutcome &outcome, const QByteArray &ffmpegOutput);
    QString writePath() const;
    // Stops the runner and waits for both workers, at most waitMs for the runner.
    void stopAndWait(int waitMs);
    static void stopAllAtExit();
    void runnerEnded(TThread *runner);
    void finishIfDone();

    const JobSettings m_settings;
    std::shared_ptr<MediaLibrary> m_library;
    QPointer<TTrad> m_runner;
    QPointer<TBar> m_monitor;
    std::unique_ptr<OutputFile> m_file;
    mutable std::mutex m_writeMutex;
    QString m_writePath;    // what the encoder writes, once prepared
    QStringList m_prepared; // the preparation's log lines, on the runner's thread
    JobOutcome m_outcome;
    int m_graceMs = 3000;
    bool m_running = false;
    bool m_runnerDone = false;
    bool m_monitorEnded = false;
    bool m_finished = false;
    bool m_abandoned = false;
};
