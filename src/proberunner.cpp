#include "proberunner.h"

#include "mediainfo.h"

#include <QThread>

ProbeRunner::ProbeRunner(std::unique_ptr<MediaLibrary> library, QObject *parent)
    : QObject(parent), m_library(std::move(library)), m_thread(new QThread(this)),
      m_worker(new QObject)
{
    m_thread->setObjectName(QStringLiteral("probe"));
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

ProbeRunner::~ProbeRunner()
{
    cancel();
    m_thread->quit();
    m_thread->wait();
}

void ProbeRunner::start(const QString &fileName, const QString &bitrateText)
{
    const quint64 generation = ++m_generation;
    m_library->cancel();
    m_running = true;
    QMetaObject::invokeMethod(
        m_worker,
        [this, generation, fileName, bitrateText] { run(generation, fileName, bitrateText); },
        Qt::QueuedConnection);
}

void ProbeRunner::cancel()
{
    ++m_generation;
    m_running = false;
    m_library->cancel();
}

// On the probe thread. The cancel flag is cleared before the generation is checked: a cancel()
// after the check is then seen by the library call it is meant for.
void ProbeRunner::run(quint64 generation, const QString &fileName, const QString &bitrateText)
{
    m_library->clearCancel();
    if (generation != m_generation)
        return;
    ProbeOutcome outcome;
    try {
        outcome.result = probe::probeSource(*m_library, fileName, bitrateText);
    } catch (const ProbeCancelled &) {
        return;
    } catch (...) {
        outcome.error = std::current_exception();
    }
    QMetaObject::invokeMethod(
        this,
        [this, generation, fileName, outcome] {
            if (generation != m_generation)
                return;
            m_running = false;
            emit finished(fileName, outcome);
        },
        Qt::QueuedConnection);
}
