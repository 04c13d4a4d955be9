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
    m_pending.append(line);
    if (m_pending.size() == 1)
        feed(-1);
}

void Log::replace(const QStringList &lines)
{
    if (!m_view)
        return;
    const bool wasBusy = busy();
    QTextDocument *old = m_view->document();
    m_view->setDocument(freshDocument());
    // With undo on, a text keeps its buffer as it is while it shrinks; with undo off it would
    // copy all that remains after every removal.
    old->setUndoRedoEnabled(true);
    m_retired.append(old);
    m_shown = 0;
    m_pending = lines;
    m_pendingAt = 0;
    m_pendingOffset = 0;
    m_worker.start();
    if (lines.size() > AtOnce)
        return;
    feed(-1);
    if (wasBusy)
        emit caughtUp();
}

namespace {
// Where the piece of line that starts at `from` ends: after a line end some way on, so that
// no piece is long to insert and a CR LF is never cut in two.
qsizetype pieceEnd(const QString &line, qsizetype from)
{
    constexpr qsizetype Piece = 512;
    for (qsizetype i = from + Piece; i < line.size(); ++i) {
        if (line[i] == u'\n')
            return i + 1;
        if (line[i] == u'\r')
            return i + 1 < line.size() && line[i + 1] == u'\n' ? i + 2 : i + 1;
    }
    return line.size();
}
} // namespace

// Queued text into the view until all of it is in or budgetNs have passed (no limit if
// negative), in one edit block, so that it is laid out once and not once a line.
void Log::feed(qint64 budgetNs)
{
    if (!m_view) {
        m_pending.clear();
        m_pendingAt = 0;
        m_pendingOffset = 0;
        return;
    }
    QElapsedTimer clock;
    clock.start();
    // Moved inside the edit block: a cursor moved outside one lays out the block it lands in,
    // and a block laid out narrower than before has the view measure every block anew.
    QTextCursor cursor(m_view->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    while (m_pendingAt < m_pending.size()) {
        const QString &line = m_pending[m_pendingAt];
        if (m_pendingOffset == 0) {
            if (m_shown > 0)
                cursor.insertBlock();
            ++m_shown;
        }
        const qsizetype end = pieceEnd(line, m_pendingOffset);
        cursor.insertText(line.sliced(m_pendingOffset, end - m_pendingOffset));
        m_pendingOffset = end;
        if (end == line.size()) {
            ++m_pendingAt;
            m_pendingOffset = 0;
        }
        if (budgetNs >= 0 && clock.nsecsElapsed() >= budgetNs)
            break;
    }
    cursor.endEditBlock();
    m_view->moveCursor(QTextCursor::End);
    if (m_pendingAt == m_pending.size()) {
        m_pending.clear();
        m_pendingAt = 0;
    }
}

void Log::work()
{
    if (busy()) {
        feed(TurnNs);
        if (!busy())
            emit caughtUp();
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
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    cursor.setPosition(doc->findBlockByNumber(std::max(0, blocks - BlocksPerStep)).position(),
                       QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
    // The undo steps are of no use; gone at once, they never add up.
    doc->clearUndoRedoStacks();
    return true;
}
