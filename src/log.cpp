#include "log.h"

#include "logview.h"

#include <QElapsedTimer>

namespace {
// Time for one turn of work between two passes of the event loop: well inside a frame.
constexpr qint64 TurnNs = 3'000'000;
// Up to this many lines enter at once, without a turn of the event loop.
constexpr qsizetype AtOnce = 16;
} // namespace

Log::Log(LogView *view, QObject *parent) : QObject(parent), m_view(view)
{
    m_worker.setInterval(0);
    connect(&m_worker, &QTimer::timeout, this, &Log::work);
}

Log::~Log() = default;

void Log::append(const QString &line)
{
    m_pending.append(line);
    if (m_pending.size() == 1)
        feed(-1);
}

void Log::replace(const QStringList &lines)
{
    const bool wasBusy = busy();
    if (m_view)
        m_view->clear();
    m_shown = 0;
    m_pending = lines;
    m_pendingAt = 0;
    if (m_view) {
        // Room for the whole text at once: grown piece by piece it would be copied, whole,
        // each time it outgrew its place.
        qsizetype characters = lines.size();
        for (const QString &line : lines)
            characters += line.size();
        m_view->reserve(characters);
    }
    if (lines.size() > AtOnce) {
        m_worker.start();
        return;
    }
    m_worker.stop();
    feed(-1);
    if (wasBusy)
        emit caughtUp();
}

// Queued lines into the view until all of them are in or budgetNs have passed (no limit if
// negative).
void Log::feed(qint64 budgetNs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_pendingAt < m_pending.size()) {
        if (m_view) {
            if (m_shown > 0)
                m_view->appendText(u"\n");
            m_view->appendText(m_pending[m_pendingAt]);
        }
        ++m_shown;
        ++m_pendingAt;
        if (budgetNs >= 0 && clock.nsecsElapsed() >= budgetNs)
            break;
    }
    if (m_pendingAt == m_pending.size()) {
        m_pending.clear();
        m_pendingAt = 0;
    }
}

void Log::work()
{
    feed(TurnNs);
    if (busy())
        return;
    m_worker.stop();
    emit caughtUp();
}
