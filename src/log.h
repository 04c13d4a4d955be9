#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class LogView;

// The text a log view shows: a list of lines, appended one at a time or replaced as a whole.
// A long replacement enters a slice at a time, so that the window keeps up with its events
// even when the lines are megabytes.
class Log final : public QObject
{
    Q_OBJECT
public:
    // The view shows one empty line until the first append or replace. Either of the view and
    // the log may be destroyed first.
    Log(LogView *view, QObject *parent);
    ~Log() override;
    Q_DISABLE_COPY_MOVE(Log)

    void append(const QString &line);
    // No lines at all (not even an empty one) for an empty list.
    void replace(const QStringList &lines);

    // Lines of the log, those still queued included.
    qsizetype lineCount() const { return m_shown + m_pending.size() - m_pendingAt; }
    // True while queued lines have yet to reach the view.
    bool busy() const { return !m_pending.isEmpty(); }

signals:
    // The view holds every line given so far; emitted when the queue empties.
    void caughtUp();

private:
    void work();
    void feed(qint64 budgetNs);

    QPointer<LogView> m_view;
    // Lines in the view; those queued are m_pending from m_pendingAt on.
    qsizetype m_shown = 1;
    QStringList m_pending;
    qsizetype m_pendingAt = 0;
    QTimer m_worker;
};
