#pragma once

#include "command.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <mutex>

// True while a job's encoder runs: set by the job before it starts the runner, cleared by the
// runner, read by the monitor.
extern std::atomic<bool> converting;
// Clears converting and wakes the monitor at once instead of at its next poll.
void endConverting();

// QThread with a termination handler that runs on the receiver's (UI) thread while the worker
// waits for it, also when the work ended by an exception. A finished worker deletes itself.
class TThread : public QThread
{
    Q_OBJECT
public:
    using TerminateHandler = std::function<void(TThread *Sender)>;

    // Attach before start(): the handler must be in place before the work can end.
    void setOnTerminate(QObject *receiver, TerminateHandler handler);
    // Thread-safe: the handler will not be called. An owner that must wait for the thread on
    // the receiver's own thread calls this first, then drops the receiver's posted calls.
    void detachOnTerminate();

protected:
    TThread();
    virtual void execute() = 0;

private:
    void run() final;
    void doTerminate();

    std::mutex m_handlerMutex;
    QPointer<QObject> m_receiver;
    TerminateHandler m_onTerminate;
};

// A worker that keeps one text and runs one work step once. A virtual step cannot run from the
// base constructor, so whoever makes a worker starts it, once its signals are connected and its
// handler attached.
class TSortThread : public TThread
{
    Q_OBJECT
public:
    const QString &argv() const { return m_argv; }

protected:
    explicit TSortThread(const QString &argv) : m_argv(argv) {}
    virtual void DoWork() = 0;

private:
    void execute() final { DoWork(); }

    const QString m_argv;
};

// How one encoder run ended.
struct JobOutcome
{
    enum Kind
    {
        Success,
        FailedToStart,
        Crashed,
        ExitCode,
        Stopped,
        TimedOut,
        // The encoder said it succeeded, but what it left is not a whole file; or the job
        // could not get the output ready. error says what.
        OutputProblem,
        // Nothing ran: the output may not be written now (it is the source, or another job
        // writes it). error is the whole message for the person.
        Refused
    };
    Kind kind = Success;
    int exitCode = 0;
    QString program;
    QString error;
    qint64 limitMs = 0;

    bool succeeded() const { return kind == Success; }
    // One line for the log and the notice, e.g. "ffmpeg exited with code 1".
    QString describe() const;
};

// The encoder runner: starts the command, waits for it, then hands its whole output to the log.
class TTrad final : public TSortThread
{
    Q_OBJECT
public:
    // How long the encoder may run before it is stopped: about 4 days and 18 hours.
    static constexpr qint64 WaitLimitMs = 410065408;

    explicit TTrad(const FfmpegCommand &command);
    Q_DISABLE_COPY_MOVE(TTrad)

    // Thread-safe: asks the running encoder to stop (terminate, then kill).
    void stop();
    // Valid once the work is done (in the termination handler and after).
    JobOutcome outcome() const { return m_outcome; }
    void setWaitLimitMs(qint64 ms)
    {
        m_waitLimitMs = ms;
        m_outcome.limitMs = ms;
    }
    // How long a stopped encoder has to end before it is killed.
    void setGraceMs(int ms) { m_graceMs = ms; }

    // Runs on the runner's thread once the encoder has ended or failed to start, with its
    // whole output: may turn the outcome into a failure, and gives lines for the log's end.
    struct Ending
    {
        QStringList beforeOutcome;
        QStringList afterOutcome;
    };
    using Finisher = std::function<Ending(JobOutcome &outcome, const QByteArray &output)>;
    void setFinisher(Finisher finisher) { m_finisher = std::move(finisher); }
    // Runs on the runner's thread before the encoder starts: may change its arguments (the
    // file it writes), or keep it from starting by making the outcome a failure. Gives lines
    // for the log.
    using Preparer = std::function<QStringList(JobOutcome &outcome, QStringList &arguments)>;
    void setPreparer(Preparer preparer) { m_preparer = std::move(preparer); }

signals:
    // The log's new content once the encoder has ended: one line per 4000-byte chunk of its
    // output, then the ending's lines with the outcome between them when it failed.
    void logReplaced(const QStringList &lines);
    // An encoder that never started leaves the log as it was and adds the ending's lines.
    void logAppended(const QString &line);

protected:
    void DoWork() override;

private:
    void runEncoder(QByteArray &output);
    Ending finish(const QByteArray &output);
    // Call from a catch block: the outcome becomes a failure with the exception's message.
    void failByCurrentException();

    const QString m_program;
    QStringList m_arguments;
    qint64 m_waitLimitMs = WaitLimitMs;
    int m_graceMs = 3000;
    Finisher m_finisher;
    Preparer m_preparer;
    std::atomic<bool> m_stopRequested{false};
    JobOutcome m_outcome;
};

// The progress monitor: the output file's size every 100 ms while converting.
class TBar final : public TSortThread
{
    Q_OBJECT
public:
    static constexpr int PollMs = 100;

    explicit TBar(const QString &outputPath) : TSortThread(outputPath) {}
    Q_DISABLE_COPY_MOVE(TBar)

    // Before start(): where the file to measure is asked for at each poll instead of argv (the
    // file the encoder really writes, once the job knows it; empty until then). Called on the
    // monitor's thread, so it must be thread-safe and outlive the monitor.
    void setPathSource(std::function<QString()> source) { m_pathSource = std::move(source); }

signals:
    void sizeMeasured(qint64 bytes);

protected:
    void DoWork() override;

private:
    std::function<QString()> m_pathSource;
};
