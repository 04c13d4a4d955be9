#include "job.h"

#include "kelvaneerror.h"
#include "outputcheck.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/stat.h>

ConversionJob::ConversionJob(JobSettings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_library(std::make_shared<LibMediaInfo>())
{}

ConversionJob::~ConversionJob()
{
    if (m_runner) {
        m_runner->detachOnTerminate();
        m_runner->stop();
    }
    // The runner may already be waiting to hand its end to this thread: dropping that call
    // releases it. The event loop is never entered here.
    while (m_runner && !m_runner->wait(10))
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    delete m_runner;
    if (m_monitor) {
        m_monitor->wait();
        delete m_monitor;
    }
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

QString ConversionJob::keptName(const QString &output)
{
    QString name = output + QStringLiteral(".kelvane-backup");
    for (int n = 2; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++n)
        name = output + QStringLiteral(".kelvane-backup-%1").arg(n);
    return name;
}

void ConversionJob::start()
{
    m_running = true;
    setAside();
    if (!m_outcome.succeeded()) {
        // Nothing runs; the outcome still arrives the usual way, after start() has returned.
        m_runnerDone = true;
        m_monitorEnded = true;
        QTimer::singleShot(0, this, [this] {
            emit logAppended(m_outcome.describe());
            finishIfDone();
        });
        return;
    }

    // The flag and the handler are in place before the runner can finish.
    converting = true;
    auto *runner = new TTrad(m_settings.command);
    runner->setGraceMs(m_graceMs);
    runner->setFinisher([this](JobOutcome &outcome, const QByteArray &output) {
        return settleOutput(outcome, output);
    });
    connect(runner, &TTrad::logReplaced, this, &ConversionJob::logReplaced);
    connect(runner, &TTrad::logAppended, this, &ConversionJob::logAppended);
    runner->setOnTerminate(this, [this](TThread *sender) { runnerEnded(sender); });
    m_runner = runner;
    runner->start();
    if (!runner->isRunning() && !runner->isFinished()) {
        delete runner;
        converting = false;
        m_running = false;
        putBack();
        throw KelvaneError(
            QStringLiteral("The conversion could not be started: the system refused a thread"));
    }

    auto *monitor = new TBar(m_settings.choices.output);
    connect(monitor, &TBar::sizeMeasured, this, &ConversionJob::sizeMeasured);
    // Queued after its last size, so the outcome never overtakes a size.
    connect(monitor, &QThread::finished, this, [this] {
        m_monitorEnded = true;
        finishIfDone();
    });
    m_monitor = monitor;
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

// ffmpeg truncates the file it writes to. An existing output waits under another name until
// the new one is verified, so a job that fails leaves the folder as it was.
void ConversionJob::setAside()
{
    const QFileInfo info(m_settings.choices.output);
    // Through a symbolic link ffmpeg writes to the link's target.
    m_target =
        info.isSymLink() && info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    const QFileInfo target(m_target);
    if (!target.exists())
        return;
    if (!target.isFile()) {
        m_inPlace = true; // a device or a pipe is written as it is, and not verified
        return;
    }
    const QString kept = keptName(m_target);
    QFile file(m_target);
    if (!file.rename(kept)) {
        m_outcome.kind = JobOutcome::OutputProblem;
        m_outcome.error =
            QStringLiteral("the existing output file could not be set aside (%1), so it was "
                           "not touched")
                .arg(file.errorString());
        return;
    }
    m_kept = kept;
}

QStringList ConversionJob::putBack()
{
    if (m_kept.isEmpty())
        return {};
    QFile kept(m_kept);
    if (kept.rename(m_target))
        return {QStringLiteral("The earlier output file was put back: %1").arg(m_target)};
    return {QStringLiteral("The earlier output file could not be put back (%1); it is kept as %2")
                .arg(kept.errorString(), m_kept)};
}

TTrad::Ending ConversionJob::settleOutput(JobOutcome &outcome, const QByteArray &ffmpegOutput)
{
    TTrad::Ending ending;
    if (!m_settings.streamNote.isEmpty())
        ending.beforeOutcome.append(m_settings.streamNote);
    QStringList &lines = ending.afterOutcome;
    if (outcome.succeeded() && !m_inPlace) {
        QString problem;
        try {
            problem = outputcheck::problem(*m_library, m_settings.choices.output,
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
        if (!m_kept.isEmpty() && !QFile::remove(m_kept))
            lines.append(
                QStringLiteral("The earlier output file is still there as %1").arg(m_kept));
        return ending;
    }
    // Whatever is at the output's place now was written by this job.
    if (!m_inPlace && QFileInfo(m_target).isFile() && QFile::remove(m_target))
        lines.append(QStringLiteral("The unfinished output file was removed: %1").arg(m_target));
    lines += putBack();
    return ending;
}

void ConversionJob::runnerEnded(TThread *runner)
{
    m_outcome = static_cast<TTrad *>(runner)->outcome();
    m_runnerDone = true;
    finishIfDone();
}

void ConversionJob::finishIfDone()
{
    if (!m_runnerDone || !m_monitorEnded || m_finished)
        return;
    m_running = false;
    m_finished = true;
    emit finished(m_outcome);
}
