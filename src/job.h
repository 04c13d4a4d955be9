#pragma once

#include "command.h"
#include "thread.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class MediaLibrary;

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

// One conversion from start to outcome: runs the encoder and the progress monitor, keeps an
// output that is being replaced until the new one is verified, and reports one outcome. It
// never waits on the thread it lives on, so it can be started, stopped and destroyed from
// any handler at any moment.
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
    // The name an existing output is kept under while the job runs.
    static QString keptName(const QString &output);

    // Starts the runner, then the monitor. Throws KelvaneError when the system refuses a
    // thread: for the runner, the job has then not started and nothing was changed.
    void start();
    void stop();
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
    void setAside();
    QStringList putBack();
    // On the runner's thread: verifies the output, then keeps it or puts the old one back.
    TTrad::Ending settleOutput(JobOutcome &outcome, const QByteArray &ffmpegOutput);
    void runnerEnded(TThread *runner);
    void finishIfDone();

    const JobSettings m_settings;
    std::shared_ptr<MediaLibrary> m_library;
    QPointer<TTrad> m_runner;
    QPointer<TBar> m_monitor;
    QString m_target; // the file ffmpeg writes: the output, or the target of its link
    QString m_kept;   // where the existing output waits; empty if there was none
    bool m_inPlace = false;
    JobOutcome m_outcome;
    int m_graceMs = 3000;
    bool m_running = false;
    bool m_runnerDone = false;
    bool m_monitorEnded = false;
    bool m_finished = false;
};
