#include "log.h"

#include <QElapsedTimer>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {
// Time for one turn of work between two passes of the event loop: well inside a frame.
constexpr qint64 TurnNs = 3'000'000;
// Up to this many lines enter at once, without a turn of the event loop.
constexpr qsizetype AtOnce = 16;
// Blocks removed from a replaced text in one step, a fraction of a millisecond.
constexpr int BlocksPerStep = 1000;
} // namespace

Log::Log(QPlainTextEdit *view, QObject *parent) : QObject(parent), m_view(view)
{
    // From here on every text the view shows is ours: the view would delete one of its own
    // in one go when it is replaced, which for a long log stalls the window.
    m_view->setDocument(freshDocument());
    m_worker.setInterval(0);
    connect(&m_worker, &QTimer::timeout, this, &Log::work);
}

Log::~Log()
{
    if (m_view)
        m_view->setDocument(nullptr);
    qDeleteAll(m_retired);
}

QTextDocument *Log::freshDocument() const
{
    const QTextDocument *shown = m_view->document();
    auto *doc = new QTextDocument(const_cast<Log *>(this));
    doc->setDocumentLayout(new QPlainTextDocumentLayout(doc));
    doc->setUndoRedoEnabled(false);
    doc->setDefaultFont(shown->defaultFont());
    doc->setDocumentMargin(shown->documentMargin());
    doc->setDefaultTextOption(shown->defaultTextOption());
    return doc;
}

void Log::append(const QString &line)
{
    if (busy())
        m_pending.append(line);
    else
        insert({line}, 0, 1, -1);
}

void Log::replace(const QStringList &lines)
{
    const bool wasBusy = busy();
    m_pending.clear();
    m_pendingAt = 0;
    QTextDocument *old = m_view->document();
    m_view->setDocument(freshDocument());
    // With undo on, a text keeps its buffer as it is while it shrinks; with undo off it would
    // copy all that remains after every removal.
    old->setUndoRedoEnabled(true);
    m_retired.append(old);
    m_shown = 0;
    m_worker.start();
    if (lines.size() > AtOnce) {
        m_pending = lines;
        return;
    }
    insert(lines, 0, lines.size(), -1);
    if (wasBusy)
        emit caughtUp();
}

// Lines from `from` on until `to` or until budgetNs have passed (no limit if negative), in
// one edit block, so that they are laid out once and not once each; the index after the last.
qsizetype Log::insert(const QStringList &lines, qsizetype from, qsizetype to, qint64 budgetNs)
{
    QElapsedTimer clock;
    clock.start();
    QTextCursor cursor(m_view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    while (from < to && (budgetNs < 0 || clock.nsecsElapsed() < budgetNs)) {
        if (m_shown > 0)
            cursor.insertBlock();
        cursor.insertText(lines[from++]);
        ++m_shown;
    }
    cursor.endEditBlock();
    m_view->moveCursor(QTextCursor::End);
    return from;
}

void Log::work()
{
    if (!m_view) {
        m_pending.clear();
        m_pendingAt = 0;
    }
    if (busy()) {
        m_pendingAt = insert(m_pending, m_pendingAt, m_pending.size(), TurnNs);
        if (m_pendingAt == m_pending.size()) {
            m_pending.clear();
            m_pendingAt = 0;
            emit caughtUp();
        }
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (!m_retired.isEmpty() && clock.nsecsElapsed() < TurnNs) {
        if (!takeApartSome())
            break;
    }
    if (m_retired.isEmpty())
        m_worker.stop();
}

// One step of emptying the oldest replaced text; false when that step may have been long
// (the deletion of an emptied text frees its whole buffer).
bool Log::takeApartSome()
{
    QTextDocument *doc = m_retired.first();
    const int blocks = doc->blockCount();
    if (blocks <= 1) {
        m_retired.removeFirst();
        delete doc;
        return false;
    }
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.setPosition(doc->findBlockByNumber(std::max(0, blocks - BlocksPerStep)).position(),
                       QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    return true;
}
