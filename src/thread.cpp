#include "thread.h"

#include "chunks.h"
#include "kelvaneerror.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <sys/prctl.h>
#include <unistd.h>

std::atomic<bool> converting{false};

namespace {
std::mutex convertingMutex;
std::condition_variable convertingEnded;
} // namespace

void endConverting()
{
    {
        const std::lock_guard lock(convertingMutex);
        converting = false;
    }
    convertingEnded.notify_all();
}

TThread::TThread()
{
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

void TThread::setOnTerminate(QObject *receiver, TerminateHandler handler)
{
    const std::lock_guard lock(m_handlerMutex);
    m_receiver = receiver;
    m_onTerminate = std::move(handler);
}

void TThread::detachOnTerminate()
{
    const std::lock_guard lock(m_handlerMutex);
    m_receiver = nullptr;
    m_onTerminate = nullptr;
}

void TThread::run()
{
    try {
        execute();
    } catch (...) {
        // A failed work step ends the thread quietly; the handler below still runs.
    }
    doTerminate();
}

void TThread::doTerminate()
{
    QPointer<QObject> receiver;
    {
        const std::lock_guard lock(m_handlerMutex);
        if (!m_onTerminate || !m_receiver)
            return;
        receiver = m_receiver;
    }
    // Blocking on purpose: the worker's thread waits until the handler has returned. The
    // receiver must live on another thread, or this would deadlock. The handler is looked up
    // again there, so a detach that came meanwhile is honoured.
    QMetaObject::invokeMethod(
        receiver,
        [this] {
            TerminateHandler handler;
            {
                const std::lock_guard lock(m_handlerMutex);
                handler = m_onTerminate;
            }
            if (handler)
                handler(this);
        },
        Qt::BlockingQueuedConnection);
}

QString JobOutcome::describe() const
{
    switch (kind) {
    case Success:
        return QStringLiteral("%1 finished").arg(program);
    case FailedToStart:
        return QStringLiteral("%1 could not be started: %2").arg(program, error);
    case Crashed:
        return QStringLiteral("%1 crashed or was killed").arg(program);
    case ExitCode:
        return QStringLiteral("%1 exited with code %2").arg(program).arg(exitCode);
    case Stopped:
        return QStringLiteral("%1 was stopped by the user").arg(program);
    case TimedOut:
        return QStringLiteral("%1 did not end within %2 ms and was stopped")
            .arg(program)
            .arg(limitMs);
    case OutputProblem:
    case Refused:
        return error;
    }
    return QString();
}

TTrad::TTrad(const FfmpegCommand &command)
    : TSortThread(command.line()), m_program(command.program), m_arguments(command.arguments)
{
    m_outcome.program = m_program;
    m_outcome.limitMs = m_waitLimitMs;
}

void TTrad::stop()
{
    m_stopRequested = true;
}

void TTrad::DoWork()
{
    // Whatever happens below, the monitor must be released.
    struct ClearConverting
    {
        ~ClearConverting() { endConverting(); }
    } clearConverting;

    QByteArray output;
    bool prepared = true;
    try {
        if (m_preparer) {
            prepared = false;
            const QStringList lines = m_preparer(m_outcome, m_arguments);
            for (const QString &line : lines)
                emit logAppended(line);
        }
        prepared = m_outcome.succeeded();
        if (prepared)
            runEncoder(output);
    } catch (...) {
        // Never announced as a success: the job ends as a failure with the reason.
        failByCurrentException();
    }
    const bool started = prepared && m_outcome.kind != JobOutcome::FailedToStart;
    const Ending ending = finish(output);
    QStringList lines = ending.beforeOutcome;
    if (!m_outcome.succeeded())
        lines.append(m_outcome.describe());
    lines += ending.afterOutcome;
    if (!started) {
        for (const QString &line : lines)
            emit logAppended(line);
        return;
    }
    emit logReplaced(chunks::toLines(output) + lines);
}

TTrad::Ending TTrad::finish(const QByteArray &output)
{
    if (!m_finisher)
        return {};
    try {
        return m_finisher(m_outcome, output);
    } catch (...) {
        failByCurrentException();
        return {};
    }
}

void TTrad::failByCurrentException()
{
    m_outcome.kind = JobOutcome::OutputProblem;
    m_outcome.error = currentExceptionMessage();
    if (m_outcome.error.isEmpty())
        m_outcome.error = QStringLiteral("the conversion ended by an unknown error");
}

void TTrad::runEncoder(QByteArray &output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    // The encoder has its own process group, so a terminal's Ctrl+C or a signal to Kelvane's
    // group reaches Kelvane alone, which then stops the job as Stop does. It dies with this
    // thread, which lives until the encoder has ended: a killed Kelvane leaves no encoder.
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127); // the parent died before the signal was set up
    });
    process.start(m_program, m_arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        m_outcome.kind = JobOutcome::FailedToStart;
        m_outcome.error = process.errorString();
        return;
    }

    // The pipe holds far less than a long job writes, so waitForFinished drains it into
    // memory as it goes; the slices only serve to notice a stop request or the time limit.
    constexpr int SliceMs = 100;
    const QDeadlineTimer limit(m_waitLimitMs);
    QDeadlineTimer killAt(QDeadlineTimer::Forever);
    bool stopping = false;
    while (!process.waitForFinished(SliceMs) && process.state() != QProcess::NotRunning) {
        if (!stopping && (m_stopRequested || limit.hasExpired())) {
            stopping = true;
            m_outcome.kind = m_stopRequested ? JobOutcome::Stopped : JobOutcome::TimedOut;
            process.terminate();
            killAt.setRemainingTime(m_graceMs);
        } else if (stopping && killAt.hasExpired()) {
            process.kill();
            killAt = QDeadlineTimer(QDeadlineTimer::Forever);
        }
    }

    if (!stopping) {
        if (process.exitStatus() == QProcess::CrashExit) {
            m_outcome.kind = JobOutcome::Crashed;
        } else if (process.exitCode() != 0) {
            m_outcome.kind = JobOutcome::ExitCode;
            m_outcome.exitCode = process.exitCode();
        }
    }
    output = process.readAll();
}

void TBar::DoWork()
{
    // The size without opening the file, so the encoder is never disturbed.
    const auto measure = [this] {
        const QString path = m_pathSource ? m_pathSource() : argv();
        if (path.isEmpty())
            return;
        const QFileInfo info(path);
        if (info.isFile())
            emit sizeMeasured(info.size());
    };
    while (converting) {
        measure();
        // The job's end cuts the wait short, so the notice never waits for a poll.
        std::unique_lock lock(convertingMutex);
        convertingEnded.wait_for(lock, std::chrono::milliseconds(PollMs),
                                 [] { return !converting; });
    }
    // Once more after the encoder has ended, so the bar shows the finished size with the notice.
    measure();
}
