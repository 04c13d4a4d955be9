#include "log.h"

#include "logview.h"

#include <QElapsedTimer>
#include <QPlainTextDocumentLayout>
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

Log::Log(LogView *view, QObject *parent) : QObject(parent), m_view(view)
{
    m_view->setDocument(freshDocument());
    // Texts laid out for a view that is gone are of no use; they go with it.
    connect(view, &QObject::destroyed, this, &Log::dropAll);
    m_worker.setInterval(0);
    connect(&m_worker, &QTimer::timeout, this, &Log::work);
}

Log::~Log()
{
    if (m_view)
        m_view->setDocument(nullptr);
    dropAll();
}

QTextDocument *Log::freshDocument()
{
    const QTextDocument *shown = m_view->document();
    auto *doc = new QTextDocument(this);
    doc->setDocumentLayout(new QPlainTextDocumentLayout(doc));
    doc->setUndoRedoEnabled(false);
    doc->setDefaultFont(m_view->font());
    doc->setDocumentMargin(shown->documentMargin());
    doc->setDefaultTextOption(shown->defaultTextOption());
    return doc;
}

void Log::append(const QString &line)
{
    m_pending.append(line);
    if (m_held)
        return;
    if (m_pending.size() == 1)
        feed(-1);
    else
        m_worker.start();
}

void Log::replace(const QStringList &lines)
{
    if (!m_view)
        return;
    const bool wasBusy = busy();
    // An empty text takes the old one's place at once; shown, a text filled aside would be
    // laid out anew whole, in one go.
    QTextDocument *old = m_view->document();
    m_view->setDocument(freshDocument());
    retire(old);
    m_shown = 0;
    m_pending = lines;
    m_pendingAt = 0;
    m_pendingOffset = 0;
    if (m_held)
        return;
    if (lines.size() > AtOnce) {
        m_worker.start();
        return;
    }
    feed(-1);
    if (wasBusy)
        emit caughtUp();
}

void Log::hold(bool held)
{
    m_held = held;
    if (held)
        m_worker.stop();
    else if (busy() || !m_retired.isEmpty())
        m_worker.start();
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
// negative).
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
    QTextDocument *doc = m_view->document();
    const bool follow = m_view->showsEnd();
    // No edit block: closing one now and then takes time that grows with the whole text
    // (40 ms for 9 MB), where each piece alone tells the view of that piece only.
    QTextCursor cursor(doc);
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
    if (follow)
        m_view->showEnd();
    if (m_pendingAt == m_pending.size()) {
        m_pending.clear();
        m_pendingAt = 0;
    }
}

void Log::retire(QTextDocument *doc)
{
    // With undo on, a text keeps its buffer as it is while it shrinks; with undo off it would
    // copy all that remains after every removal.
    doc->setUndoRedoEnabled(true);
    m_retired.append(doc);
    if (!m_held)
        m_worker.start();
}

// One turn: queued lines first, then replaced texts emptied.
void Log::work()
{
    if (!m_pending.isEmpty()) {
        feed(TurnNs);
        if (m_pending.isEmpty())
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

void Log::dropAll()
{
    m_worker.stop();
    m_pending.clear();
    m_pendingAt = 0;
    m_pendingOffset = 0;
    qDeleteAll(m_retired);
    m_retired.clear();
}
