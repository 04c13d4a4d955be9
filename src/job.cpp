#include "job.h"

#include "kelvaneerror.h"
#include "outputcheck.h"
#include "outputfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdlib>
#include <set>
#include <sys/stat.h>

namespace {
// The jobs whose runner has started and not yet ended, for the program's exit.
std::mutex runningMutex;
std::set<ConversionJob *> runningJobs;
} // namespace

ConversionJob::ConversionJob(JobSettings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_library(std::make_shared<LibMediaInfo>())
{}

ConversionJob::~ConversionJob()
{
    stopAndWait(-1);
    delete m_runner;
    delete m_monitor;
    const std::lock_guard lock(runningMutex);
    runningJobs.erase(this);
}

void ConversionJob::stopAndWait(int waitMs)
{
    if (m_runner) {
        m_runner->detachOnTerminate();
        m_runner->stop();
    }
    // The runner may already be waiting to hand its end to this thread: dropping that call
    // releases it. The event loop is never entered here.
    const QDeadlineTimer deadline(waitMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                             : QDeadlineTimer(waitMs));
    while (m_runner && !m_runner->wait(10) && !deadline.hasExpired())
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    if (m_monitor && (!m_runner || m_runner->isFinished()))
        m_monitor->wait();
}

// Runs at exit() (also the one Qt's X11 connection calls when the display goes away), before
// the statics the workers use are destroyed: no running encoder is left behind, and its new
// file is removed. A runner held up by a dead mount is waited for a bounded time only.
void ConversionJob::stopAllAtExit()
{
    std::set<ConversionJob *> jobs;
    {
        const std::lock_guard lock(runningMutex);
        jobs = runningJobs;
    }
    for (ConversionJob *job : jobs)
        job->stopAndWait(job->m_graceMs + 2000);
}

void ConversionJob::abandon()
{
    stop();
    disconnect(this, nullptr, parent(), nullptr);
    setParent(nullptr);
    m_abandoned = true;
}

QString ConversionJob::refusal(const QString &source, const QString &output)
{
    struct stat in = {};
    struct stat out = {};
    if (::stat(QFile::encodeName(source).constData(), &in) == 0 &&
        ::stat(QFile::encodeName(output).constData(), &out) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino)
        return QStringLiteral("The output \"%1\" is the source file itself. Choose another "
                              "output file.")
            .arg(output);
    return {};
}

void ConversionJob::start()
{
    static const bool exitHook = [] { return std::atexit(stopAllAtExit) == 0; }();
    Q_UNUSED(exitHook)
    m_running = true;
    m_file = std::make_unique<OutputFile>(m_settings.choices.output);
    // The monitor is made first, so that a refused thread for it is known before anything
    // runs; it starts after the runner.
    auto *monitor = new TBar(m_settings.choices.output);
    monitor->setPathSource([this] { return writePath(); });
    m_monitor = monitor;

    // The flag and the handler are in place before the runner can finish.
    converting = true;
    auto *runner = new TTrad(m_settings.command);
    runner->setGraceMs(m_graceMs);
    runner->setPreparer([this](JobOutcome &outcome, QStringList &arguments) {
        return prepareOutput(outcome, arguments);
    });
    runner->setFinisher([this](JobOutcome &outcome, const QByteArray &output) {
        return settleOutput(outcome, output);
    });
    connect(runner, &TTrad::logReplaced, this, &ConversionJob::logReplaced);
    connect(runner, &TTrad::logAppended, this, &ConversionJob::logAppended);
    runner->setOnTerminate(this, [this](TThread *sender) { runnerEnded(sender); });
    m_runner = runner;
    {
        const std::lock_guard lock(runningMutex);
        runningJobs.insert(this);
    }
    runner->start();
    if (!runner->isRunning() && !runner->isFinished()) {
        delete runner;
        delete monitor;
        converting = false;
        m_running = false;
        const std::lock_guard lock(runningMutex);
        runningJobs.erase(this);
        throw KelvaneError(
            QStringLiteral("The conversion could not be started: the system refused a thread"));
    }

    connect(monitor, &TBar::sizeMeasured, this, &ConversionJob::sizeMeasured);
    // Queued after its last size, so the outcome never overtakes a size.
    connect(monitor, &QThread::finished, this, [this] {
        m_monitorEnded = true;
        finishIfDone();
    });
    monitor->start();
    if (!monitor->isRunning() && !monitor->isFinished()) {
        delete monitor;
        m_monitorEnded = true;
        // The encoder goes on; only the progress is missing.
        throw KelvaneError(QStringLiteral(
            "The progress of the conversion cannot be shown: the system refused a thread"));
    }
}

void ConversionJob::stop()
{
    if (m_runner)
        m_runner->stop();
}

QString ConversionJob::writePath() const
{
    const std::lock_guard lock(m_writeMutex);
    return m_writePath;
}

QStringList ConversionJob::prepareOutput(JobOutcome &outcome, QStringList &arguments)
{
    QStringList lines;
    const QString sameFile = refusal(m_settings.choices.source, m_settings.choices.output);
    if (!sameFile.isEmpty()) {
        outcome.kind = JobOutcome::Refused;
        outcome.error = sameFile;
        return lines;
    }
    QString why;
    switch (m_file->prepare(m_settings.choices.source, why, lines)) {
    case OutputFile::Result::Refused:
        outcome.kind = JobOutcome::Refused;
        outcome.error = why;
        return lines;
    case OutputFile::Result::Failed:
        outcome.kind = JobOutcome::OutputProblem;
        outcome.error = why;
        return lines;
    case OutputFile::Result::Ready:
        break;
    }
    // The command line in the log is the conversion asked for; this line tells which file
    // ffmpeg really writes, so that its own messages, which name that file, make sense.
    if (!arguments.isEmpty())
        arguments.last() = m_file->writePath();
    // The log that replaces the command line keeps what was done, not this note.
    m_prepared = lines;
    if (m_file->replacesInOneStep())
        lines.append(QStringLiteral("ffmpeg writes the new output as %1, which takes the place "
                                    "of %2 once it is whole")
                         .arg(m_file->writePath(), m_file->target()));
    const std::lock_guard lock(m_writeMutex);
    m_writePath = m_file->writePath();
    return lines;
}

TTrad::Ending ConversionJob::settleOutput(JobOutcome &outcome, const QByteArray &ffmpegOutput)
{
    TTrad::Ending ending;
    // What the preparation said stays in the log that replaces the command line.
    ending.beforeOutcome = m_prepared;
    if (!m_settings.streamNote.isEmpty())
        ending.beforeOutcome.append(m_settings.streamNote);
    QStringList &lines = ending.afterOutcome;
    if (writePath().isEmpty())
        return ending; // nothing was prepared, so nothing was written
    // The finished size for the bar, measured before the file moves or goes.
    const QFileInfo written(m_file->writePath());
    if (written.isFile())
        emit sizeMeasured(written.size());
    if (outcome.succeeded() && !m_file->direct()) {
        QString problem;
        try {
            problem = outputcheck::problem(*m_library, m_file->writePath(),
                                           {formats::codec(m_settings.choices.format),
                                            m_settings.choices.rate, m_settings.choices.channels,
                                            m_settings.shownRate, m_settings.shownChannels},
                                           ffmpegOutput);
        } catch (...) {
            // An output that cannot be read back is not known to be whole.
            problem = currentExceptionMessage();
            if (problem.isEmpty())
                problem = QStringLiteral("the output file could not be checked");
        }
        if (!problem.isEmpty()) {
            outcome.kind = JobOutcome::OutputProblem;
            outcome.error = problem;
        }
    }
    if (outcome.succeeded()) {
        const QString failed = m_file->commit(lines);
        if (failed.isEmpty()) {
            const std::lock_guard lock(m_writeMutex);
            m_writePath = m_file->target();
            return ending;
        }
        outcome.kind = JobOutcome::OutputProblem;
        outcome.error = failed;
        return ending;
    }
    m_file->discard(lines);
    return ending;
}

void ConversionJob::runnerEnded(TThread *runner)
{
    m_outcome = static_cast<TTrad *>(runner)->outcome();
    m_runnerDone = true;
    {
        const std::lock_guard lock(runningMutex);
        runningJobs.erase(this);
    }
    finishIfDone();
}

void ConversionJob::finishIfDone()
{
    if (!m_runnerDone || !m_monitorEnded || m_finished)
        return;
    m_running = false;
    m_finished = true;
    emit finished(m_outcome);
    if (m_abandoned)
        deleteLater();
}
