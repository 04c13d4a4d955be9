#include "logview.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStyle>
#include <QTextLayout>

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Space between the frame and the text, as in Qt's text editors.
constexpr int Margin = 4;
// Laid-out lines kept around the screen; more are dropped at the next paint.
constexpr size_t KeptLayouts = 256;

bool endsLine(QChar c)
{
    return c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

bool inWord(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c.isMark();
}

// How a key moves the cursor; the same keys with Shift select.
enum class Move
{
    None,
    NextChar,
    PreviousChar,
    NextWord,
    PreviousWord,
    NextRow,
    PreviousRow,
    NextPage,
    PreviousPage,
    RowStart,
    RowEnd,
    Start,
    End,
};

struct KeyMove
{
    QKeySequence::StandardKey move;
    QKeySequence::StandardKey select;
    Move how;
};

constexpr std::array KeyMoves{
    KeyMove{QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, Move::NextChar},
    KeyMove{QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, Move::PreviousChar},
    KeyMove{QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, Move::NextWord},
    KeyMove{QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, Move::PreviousWord},
    KeyMove{QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Move::NextRow},
    KeyMove{QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Move::PreviousRow},
    KeyMove{QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, Move::NextPage},
    KeyMove{QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, Move::PreviousPage},
    KeyMove{QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, Move::RowStart},
    KeyMove{QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, Move::RowEnd},
    KeyMove{QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, Move::Start},
    KeyMove{QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, Move::End},
};

std::pair<Move, bool> moveFor(QKeyEvent *event)
{
    for (const KeyMove &k : KeyMoves) {
        if (event->matches(k.move))
            return {k.how, false};
        if (event->matches(k.select))
            return {k.how, true};
    }
    return {Move::None, false};
}

bool handledKey(QKeyEvent *event)
{
    return moveFor(event).first != Move::None || event->matches(QKeySequence::Copy) ||
           event->matches(QKeySequence::SelectAll);
}

// What a screen reader reads of the view: its text, its cursor and its selection.
class LogViewAccessible final : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit LogViewAccessible(LogView *view) : QAccessibleWidget(view, QAccessible::EditableText)
    {}

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return view()->toPlainText();
        return QAccessibleWidget::text(t);
    }

    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index != 0 || view()->anchorPosition() == view()->cursorPosition())
            return;
        *start = int(std::min(view()->anchorPosition(), view()->cursorPosition()));
        *end = int(std::max(view()->anchorPosition(), view()->cursorPosition()));
    }
    int selectionCount() const override
    {
        return view()->anchorPosition() == view()->cursorPosition() ? 0 : 1;
    }
    void addSelection(int start, int end) override { view()->setSelection(start, end); }
    void removeSelection(int) override
    {
        view()->setSelection(view()->cursorPosition(), view()->cursorPosition());
    }
    void setSelection(int, int start, int end) override { view()->setSelection(start, end); }
    int cursorPosition() const override { return int(view()->cursorPosition()); }
    void setCursorPosition(int position) override { view()->setSelection(position, position); }

    QString text(int start, int end) const override
    {
        const QString all = view()->toPlainText();
        start = std::clamp(start, 0, int(all.size()));
        end = std::clamp(end, start, int(all.size()));
        return all.mid(start, end - start);
    }
    int characterCount() const override { return int(view()->toPlainText().size()); }

    // Lines are found in the view's own index; the other units by Qt's reading of the text.
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override
    {
        if (type != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textAtOffset(offset, type, start, end);
        return line(offset, 0, start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override
    {
        if (type != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textBeforeOffset(offset, type, start, end);
        return line(offset, -1, start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override
    {
        if (type != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textAfterOffset(offset, type, start, end);
        return line(offset, 1, start, end);
    }

    QRect characterRect(int offset) const override
    {
        const QRect r = view()->characterRect(offset);
        if (r.isEmpty())
            return r;
        return {view()->viewport()->mapToGlobal(r.topLeft()), r.size()};
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        return int(view()->offsetAt(view()->viewport()->mapFromGlobal(point)));
    }
    void scrollToSubstring(int start, int end) override
    {
        view()->ensureVisible(end);
        view()->ensureVisible(start);
    }
    QString attributes(int offset, int *start, int *end) const override
    {
        Q_UNUSED(offset);
        *start = 0;
        *end = characterCount();
        return {};
    }

private:
    LogView *view() const { return static_cast<LogView *>(widget()); }

    // The line `step` lines away from the one holding offset, with its line end.
    QString line(int offset, int step, int *start, int *end) const
    {
        *start = *end = -1;
        const LogView *v = view();
        if (offset < 0 || offset > v->toPlainText().size())
            return {};
        const qsizetype line = v->lineOf(offset) + step;
        if (line < 0 || line >= v->lineCount())
            return {};
        *start = int(v->lineStart(line));
        *end = int(line + 1 < v->lineCount() ? v->lineStart(line + 1) : v->toPlainText().size());
        return v->toPlainText().mid(*start, *end - *start);
    }
};

QAccessibleInterface *accessibleLogView(const QString &className, QObject *object)
{
    if (className == QLatin1String("LogView") && object && object->isWidgetType())
        return new LogViewAccessible(static_cast<LogView *>(object));
    return nullptr;
}

} // namespace

LogView::LogView(QWidget *parent) : QAbstractScrollArea(parent)
{
    [[maybe_unused]] static const bool accessible =
        (QAccessible::installFactory(accessibleLogView), true);
    setFocusPolicy(Qt::StrongFocus);
    // No border but a thin soft bevel, drawn below, around the light 3-D colour. Drawn here
    // rather than by a style sheet, whose machinery would cost the window's start-up.
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    viewport()->setBackgroundRole(QPalette::Midlight);
    viewport()->setAutoFillBackground(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
}

LogView::~LogView() = default;

void LogView::appendText(QStringView text)
{
    if (text.isEmpty())
        return;
    const qsizetype from = m_text.size();
    // The line that was last grows.
    m_layouts.erase(lineCount() - 1);
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!endsLine(text[i]))
            continue;
        m_text.append(text.sliced(run, i - run));
        m_text.append(u'\n');
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        run = i + 1;
        m_starts.push_back(m_text.size());
    }
    m_text.append(text.sliced(run));
    if (m_untoldFrom < 0)
        m_untoldFrom = from;
    // Laid out once the caller is done adding, however many pieces it adds.
    m_settle.start(0, this);
}

void LogView::reserve(qsizetype characters)
{
    m_text.reserve(m_text.size() + characters);
}

void LogView::clear()
{
    const bool hadSelection = m_anchor != m_position;
    const QString old = std::exchange(m_text, QString());
    m_starts.assign(1, 0);
    m_starts.shrink_to_fit();
    m_anchor = m_position = 0;
    m_top = {};
    m_followEnd = true;
    m_untoldFrom = -1;
    forgetLayouts();
    if (!old.isEmpty() && QAccessible::isActive()) {
        QAccessibleTextRemoveEvent removed(this, 0, old);
        QAccessible::updateAccessibility(&removed);
    }
    settle();
    if (hadSelection)
        emit selectionChanged();
}

qsizetype LogView::lineEnd(qsizetype line) const
{
    return line + 1 < lineCount() ? lineStart(line + 1) - 1 : m_text.size();
}

qsizetype LogView::lineOf(qsizetype offset) const
{
    const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), offset);
    return std::max<qsizetype>(0, (after - m_starts.begin()) - 1);
}

int LogView::textWidth() const
{
    return std::max(1, viewport()->width() - 2 * Margin);
}

QTextLayout &LogView::layout(qsizetype line) const
{
    std::unique_ptr<QTextLayout> &slot = m_layouts[line];
    if (slot)
        return *slot;
    const qsizetype start = lineStart(line);
    slot = std::make_unique<QTextLayout>(m_text.mid(start, lineEnd(line) - start), font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTextDirection(layoutDirection());
    slot->setTextOption(option);
    slot->setCacheEnabled(true);
    slot->beginLayout();
    qreal y = 0;
    for (QTextLine row = slot->createLine(); row.isValid(); row = slot->createLine()) {
        row.setLineWidth(textWidth());
        row.setPosition({0, y});
        y += row.height();
    }
    slot->endLayout();
    return *slot;
}

int LogView::rowsIn(qsizetype line) const
{
    return layout(line).lineCount();
}

void LogView::forgetLayouts()
{
    m_layouts.clear();
}

// The top row that shows the last row at the bottom of the viewport.
LogView::Row LogView::lastTop() const
{
    qreal room = viewport()->height() - 2 * Margin;
    for (qsizetype line = lineCount() - 1; line >= 0; --line) {
        const QTextLayout &l = layout(line);
        for (int row = l.lineCount() - 1; row >= 0; --row) {
            room -= l.lineAt(row).height();
            if (room < 0) {
                if (row + 1 < l.lineCount())
                    return {line, row + 1};
                return {std::min(line + 1, lineCount() - 1), 0};
            }
        }
    }
    return {};
}

LogView::Row LogView::stepped(Row from, int rows) const
{
    Row r = from;
    for (; rows > 0; --rows) {
        if (r.row + 1 < rowsIn(r.line))
            ++r.row;
        else if (r.line + 1 < lineCount())
            r = {r.line + 1, 0};
        else
            break;
    }
    for (; rows < 0; ++rows) {
        if (r.row > 0)
            --r.row;
        else if (r.line > 0)
            r = {r.line - 1, rowsIn(r.line - 1) - 1};
        else
            break;
    }
    return r;
}

// After the text or the size changed: the scroll range, the end followed, what a screen
// reader is told, and a repaint.
void LogView::settle()
{
    m_settle.stop();
    if (m_layouts.size() > KeptLayouts) {
        const qsizetype near = m_top.line;
        std::erase_if(m_layouts, [near](const auto &entry) {
            return entry.first < near - 64 || entry.first > near + 192;
        });
    }
    const Row end = lastTop();
    if (m_followEnd || end.line < m_top.line || (end.line == m_top.line && end.row < m_top.row))
        m_top = end;
    m_top.row = std::min(m_top.row, rowsIn(m_top.line) - 1);
    m_followEnd = m_top == end;
    syncScrollBar(end);
    viewport()->update();
    if (m_untoldFrom >= 0 && QAccessible::isActive()) {
        QAccessibleTextInsertEvent inserted(this, int(m_untoldFrom), m_text.mid(m_untoldFrom));
        QAccessible::updateAccessibility(&inserted);
    }
    m_untoldFrom = -1;
}

void LogView::syncScrollBar(Row end)
{
    QScrollBar *bar = verticalScrollBar();
    // Not blocked: the scroll area shows and hides the bar on its signals. The top it
    // reports is ours already.
    const QScopedValueRollback syncing(m_syncing, true);
    bar->setRange(0, int(std::min<qsizetype>(end.line, INT_MAX)));
    const int rowHeight = std::max(1, fontMetrics().lineSpacing());
    bar->setPageStep(std::max(1, (viewport()->height() - 2 * Margin) / rowHeight));
    bar->setValue(int(std::min<qsizetype>(m_top.line, INT_MAX)));
}

void LogView::scrollTo(Row top)
{
    const Row end = lastTop();
    if (top.line > end.line || (top.line == end.line && top.row > end.row))
        top = end;
    if (top == m_top)
        return;
    m_top = top;
    m_followEnd = m_top == end;
    syncScrollBar(end);
    viewport()->update();
}

// The scroll bar moved: its value is the top line, and at its end the view shows the end.
void LogView::scrollContentsBy(int, int)
{
    if (m_syncing)
        return;
    const int value = verticalScrollBar()->value();
    const Row end = lastTop();
    m_top = value >= end.line ? end : Row{value, 0};
    m_followEnd = m_top == end;
    viewport()->update();
}

void LogView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    painter.setPen(palette().color(group, QPalette::Text));
    const qsizetype selStart = std::min(m_anchor, m_position);
    const qsizetype selEnd = std::max(m_anchor, m_position);
    QTextCharFormat selected;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));
    const int caretWidth = style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, this);
    const int bottom = viewport()->height();
    // The rows above the top one stay out of the margin.
    painter.setClipRect(0, Margin, viewport()->width(), bottom);
    qreal y = Margin - layout(m_top.line).lineAt(m_top.row).y();
    for (qsizetype line = m_top.line; line < lineCount() && y < bottom; ++line) {
        QTextLayout &l = layout(line);
        const qsizetype start = lineStart(line);
        const qsizetype end = lineEnd(line);
        QList<QTextLayout::FormatRange> selections;
        if (selStart < end && selEnd > start) {
            const qsizetype from = std::max(selStart, start) - start;
            selections.append({int(from), int(std::min(selEnd, end) - start - from), selected});
        }
        const QPointF at(Margin, y);
        l.draw(&painter, at, selections);
        if (m_caretShown && m_position >= start && m_position <= end)
            l.drawCursor(&painter, at, int(m_position - start), caretWidth);
        y += l.boundingRect().height();
    }
}

QRect LogView::characterRect(qsizetype offset) const
{
    if (offset < 0 || offset > m_text.size())
        return {};
    const qsizetype target = lineOf(offset);
    if (target < m_top.line)
        return {};
    qreal y = Margin - layout(m_top.line).lineAt(m_top.row).y();
    for (qsizetype line = m_top.line; line < target; ++line) {
        y += layout(line).boundingRect().height();
        if (y >= viewport()->height())
            return {};
    }
    const QTextLayout &l = layout(target);
    const int at = int(offset - lineStart(target));
    const QTextLine row = l.lineForTextPosition(at);
    if (!row.isValid())
        return {};
    const qreal x = row.cursorToX(at);
    const qreal next = at < row.textStart() + row.textLength() ? row.cursorToX(at + 1) : x;
    const qreal width = std::max<qreal>(1, std::abs(next - x));
    const QRect r(QPointF(Margin + std::min(x, next), y + row.y()).toPoint(),
                  QSizeF(width, row.height()).toSize());
    return r.bottom() < 0 || r.top() >= viewport()->height() ? QRect() : r;
}

qsizetype LogView::offsetAt(QPoint point) const
{
    if (point.y() < 0 && m_top == Row{})
        return 0;
    qreal y = Margin - layout(m_top.line).lineAt(m_top.row).y();
    for (qsizetype line = m_top.line; line < lineCount(); ++line) {
        const QTextLayout &l = layout(line);
        const qreal height = l.boundingRect().height();
        if (point.y() < y + height || line + 1 == lineCount()) {
            const qreal inside = std::clamp<qreal>(point.y() - y, 0, height - 1);
            for (int r = 0; r < l.lineCount(); ++r) {
                const QTextLine row = l.lineAt(r);
                if (inside < row.y() + row.height() || r + 1 == l.lineCount())
                    return lineStart(line) + row.xToCursor(point.x() - Margin);
            }
        }
        y += height;
    }
    return m_text.size();
}

void LogView::ensureVisible(qsizetype offset)
{
    offset = std::clamp<qsizetype>(offset, 0, m_text.size());
    const qsizetype line = lineOf(offset);
    const QTextLine row = layout(line).lineForTextPosition(int(offset - lineStart(line)));
    const Row target{line, row.isValid() ? row.lineNumber() : 0};
    if (target.line < m_top.line || (target.line == m_top.line && target.row < m_top.row)) {
        scrollTo(target);
        return;
    }
    // Below the screen: the top that shows the target at the bottom.
    qreal room = viewport()->height() - 2 * Margin;
    Row top = target;
    for (;;) {
        room -= layout(top.line).lineAt(top.row).height();
        const Row before = stepped(top, -1);
        if (before == top || before == m_top ||
            room - layout(before.line).lineAt(before.row).height() < 0)
            break;
        top = before;
    }
    if (top.line > m_top.line || (top.line == m_top.line && top.row > m_top.row))
        scrollTo(room < 0 ? target : top);
}

void LogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    forgetLayouts();
    settle();
}

void LogView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
    case QEvent::LayoutDirectionChange:
        forgetLayouts();
        settle();
        break;
    default:
        break;
    }
}

void LogView::setSelection(qsizetype anchor, qsizetype position)
{
    anchor = std::clamp<qsizetype>(anchor, 0, m_text.size());
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    if (anchor == m_anchor && position == m_position)
        return;
    const bool selectionMoved = anchor != m_anchor || m_anchor != m_position || anchor != position;
    m_anchor = anchor;
    m_position = position;
    ensureVisible(m_position);
    restartCaret();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent moved(this, int(m_position));
        QAccessible::updateAccessibility(&moved);
        if (selectionMoved) {
            QAccessibleTextSelectionEvent selection(this, int(std::min(m_anchor, m_position)),
                                                    int(std::max(m_anchor, m_position)));
            QAccessible::updateAccessibility(&selection);
        }
    }
    if (selectionMoved)
        emit selectionChanged();
}

void LogView::moveCursor(qsizetype position, bool keepAnchor)
{
    setSelection(keepAnchor ? m_anchor : position, position);
    // Where the cursor went is shown, even when it was there already.
    ensureVisible(m_position);
}

QString LogView::selectedText() const
{
    const qsizetype from = std::min(m_anchor, m_position);
    return m_text.mid(from, std::max(m_anchor, m_position) - from);
}

void LogView::selectAll()
{
    setSelection(0, m_text.size());
    publishSelection();
}

void LogView::copy() const
{
    if (m_anchor != m_position)
        QGuiApplication::clipboard()->setText(selectedText());
}

// The X11 primary selection follows what is selected, as in every text view.
void LogView::publishSelection() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (m_anchor != m_position && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

qsizetype LogView::movedByRows(qsizetype position, int rows) const
{
    const qsizetype line = lineOf(position);
    const QTextLine from = layout(line).lineForTextPosition(int(position - lineStart(line)));
    const qreal x = from.cursorToX(int(position - lineStart(line)));
    const Row start{line, from.lineNumber()};
    const Row to = stepped(start, rows);
    if (to == start)
        return rows < 0 ? 0 : m_text.size();
    return lineStart(to.line) + layout(to.line).lineAt(to.row).xToCursor(x);
}

bool LogView::event(QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        QPainter painter(this);
        const QRect r = rect();
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawLine(r.topLeft(), r.topRight());
        painter.drawLine(r.topLeft(), r.bottomLeft());
        painter.setPen(palette().color(QPalette::Light));
        painter.drawLine(r.bottomLeft() + QPoint(1, 0), r.bottomRight());
        painter.drawLine(r.topRight() + QPoint(0, 1), r.bottomRight());
        return true;
    }
    // Keys the view uses are not shortcuts of the window while it has the focus.
    if (event->type() == QEvent::ShortcutOverride && handledKey(static_cast<QKeyEvent *>(event))) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void LogView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const auto [how, select] = moveFor(event);
    if (how == Move::None) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    const qsizetype line = lineOf(m_position);
    const qsizetype start = lineStart(line);
    const int at = int(m_position - start);
    const QTextLayout &l = layout(line);
    const QTextLine row = l.lineForTextPosition(at);
    const int page = verticalScrollBar()->pageStep();
    qsizetype to = m_position;
    switch (how) {
    case Move::NextChar:
    case Move::NextWord:
        to = m_position == lineEnd(line)
                 ? std::min(m_position + 1, m_text.size())
                 : start + l.nextCursorPosition(at, how == Move::NextWord
                                                        ? QTextLayout::SkipWords
                                                        : QTextLayout::SkipCharacters);
        break;
    case Move::PreviousChar:
    case Move::PreviousWord:
        to = at == 0 ? std::max<qsizetype>(m_position - 1, 0)
                     : start + l.previousCursorPosition(at, how == Move::PreviousWord
                                                                ? QTextLayout::SkipWords
                                                                : QTextLayout::SkipCharacters);
        break;
    case Move::NextRow:
        to = movedByRows(m_position, 1);
        break;
    case Move::PreviousRow:
        to = movedByRows(m_position, -1);
        break;
    case Move::NextPage:
        to = movedByRows(m_position, page);
        break;
    case Move::PreviousPage:
        to = movedByRows(m_position, -page);
        break;
    case Move::RowStart:
        to = start + row.textStart();
        break;
    case Move::RowEnd: {
        qsizetype end = start + row.textStart() + row.textLength();
        // A wrapped row ends before the space it broke at, not at the next row's start.
        if (row.lineNumber() + 1 < l.lineCount() && end > start && m_text[end - 1].isSpace())
            --end;
        to = std::min(end, lineEnd(line));
        break;
    }
    case Move::Start:
        to = 0;
        break;
    case Move::End:
        to = m_text.size();
        break;
    case Move::None:
        break;
    }
    moveCursor(to, select);
    if (select)
        publishSelection();
}

void LogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    m_selecting = true;
    moveCursor(offsetAt(event->position().toPoint()),
               event->modifiers().testFlag(Qt::ShiftModifier));
}

void LogView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting || !(event->buttons() & Qt::LeftButton))
        return;
    dragTowards(event->position().toPoint());
}

// Selecting with the mouse beyond the top or the bottom scrolls the view that way.
void LogView::dragTowards(QPoint point)
{
    m_dragPoint = point;
    if (point.y() < 0 || point.y() >= viewport()->height()) {
        if (!m_autoScroll.isActive())
            m_autoScroll.start(50, this);
        scrollTo(stepped(m_top, point.y() < 0 ? -1 : 1));
    } else {
        m_autoScroll.stop();
    }
    moveCursor(offsetAt(point), true);
}

void LogView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_selecting) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    m_selecting = false;
    m_autoScroll.stop();
    publishSelection();
}

void LogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    const qsizetype at = offsetAt(event->position().toPoint());
    const qsizetype line = lineOf(at);
    qsizetype from = at;
    qsizetype to = at;
    while (from > lineStart(line) && inWord(m_text[from - 1]))
        --from;
    while (to < lineEnd(line) && inWord(m_text[to]))
        ++to;
    if (from == to && to < lineEnd(line))
        ++to;
    setSelection(from, to);
    publishSelection();
}

void LogView::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    // Rows, not lines: a long wrapped line is scrolled through, not over.
    const int rows = -delta * QApplication::wheelScrollLines() / 120;
    scrollTo(stepped(m_top, rows != 0 ? rows : (delta > 0 ? -1 : 1)));
    event->accept();
}

void LogView::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartCaret();
    viewport()->update();
}

void LogView::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_caret.stop();
    m_caretShown = false;
    viewport()->update();
}

void LogView::restartCaret()
{
    m_caretShown = hasFocus();
    const int flash = QApplication::cursorFlashTime();
    if (m_caretShown && flash > 0)
        m_caret.start(flash / 2, this);
    else
        m_caret.stop();
}

void LogView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(tr("&Copy"), this, &LogView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(m_anchor != m_position);
    menu.addSeparator();
    QAction *all = menu.addAction(tr("Select All"), this, &LogView::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(!m_text.isEmpty());
    menu.exec(event->globalPos());
}

void LogView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_settle.timerId()) {
        settle();
    } else if (event->timerId() == m_caret.timerId()) {
        m_caretShown = !m_caretShown;
        viewport()->update();
    } else if (event->timerId() == m_autoScroll.timerId()) {
        dragTowards(m_dragPoint);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
