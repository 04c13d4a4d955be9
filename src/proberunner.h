#pragma once

#include "probe.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <exception>
#include <memory>

class MediaLibrary;
class QThread;

// What one probe ended in: its result, or what it threw.
struct ProbeOutcome
{
    ProbeResult result;
    std::exception_ptr error;
};

// Runs the probe on a thread of its own, one file at a time, so that the window never waits
// for the library. Invariant: finished() comes once for the latest start() and never for one
// that a later start() or cancel() has replaced; a replaced probe's helper is stopped at once.
class ProbeRunner final : public QObject
{
    Q_OBJECT
public:
    explicit ProbeRunner(std::unique_ptr<MediaLibrary> library, QObject *parent = nullptr);
    // Cancels a probe in progress and waits for its thread.
    ~ProbeRunner() override;
    Q_DISABLE_COPY_MOVE(ProbeRunner)

    // Probes fileName; a probe still running is cancelled first.
    void start(const QString &fileName, const QString &bitrateText);
    void cancel();
    // From start() until finished() or cancel().
    bool isRunning() const { return m_running; }

signals:
    void finished(const QString &fileName, const ProbeOutcome &outcome);

private:
    void run(quint64 generation, const QString &fileName, const QString &bitrateText);

    std::unique_ptr<MediaLibrary> m_library;
    QThread *m_thread;
    // Lives on m_thread: the probes are queued to it.
    QObject *m_worker;
    // Which start() is the latest; a probe that is no longer it drops its outcome.
    std::atomic<quint64> m_generation = 0;
    bool m_running = false;
};
