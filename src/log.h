#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class LogView;
class QTextDocument;

// The text a log view shows: a list of lines, appended one at a time or replaced as a whole.
// Many lines enter a slice at a time, and a replaced text is taken apart a slice at a time, so
// that the window keeps up with its events even when the lines are megabytes.
//
// Every text the view shows is the log's own: the view would delete one of its own in one go.
// The log never moves the view's caret: at the end it moves along with the text added there.
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
    qsizetype lineCount() const
    {
        return m_shown + m_pending.size() - m_pendingAt - (m_pendingOffset > 0 ? 1 : 0);
    }
    // True while lines given have yet to reach the view.
    bool busy() const { return !m_pending.isEmpty(); }
    // Nothing left to do: every line shown and every replaced text gone.
    bool settled() const { return !busy() && m_retired.isEmpty(); }

    // While held, lines given wait in the queue; for tests that act while the log fills.
    void hold(bool held);

signals:
    // The view holds every line given so far; emitted when the queue empties.
    void caughtUp();

private:
    void work();
    void feed(qint64 budgetNs);
    void retire(QTextDocument *doc);
    bool takeApartSome();
    void dropAll();
    QTextDocument *freshDocument();

    QPointer<LogView> m_view;
    // Lines begun in the view; those queued are m_pending from m_pendingAt on, the first of
    // them in the view up to m_pendingOffset.
    qsizetype m_shown = 1;
    QStringList m_pending;
    qsizetype m_pendingAt = 0;
    qsizetype m_pendingOffset = 0;
    // Replaced texts, emptied a slice at a time before they are deleted.
    QList<QTextDocument *> m_retired;
    QTimer m_worker;
    bool m_held = false;
};
