#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>

#include <map>
#include <memory>
#include <vector>

class QTextLayout;

// A read-only view of a long plain text. Only the lines on screen are laid out, so adding
// to a text of millions of lines costs what adding to an empty one does, and dropping it
// costs one free. The text can be selected with the mouse and the keyboard, copied, and
// read by a screen reader, as in a read-only text editor.
class LogView final : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit LogView(QWidget *parent = nullptr);
    ~LogView() override;
    Q_DISABLE_COPY_MOVE(LogView)

    // Adds text at the end. LF, CR LF, CR and the Unicode line and paragraph separators in
    // it end lines; the text keeps them as LF.
    void appendText(QStringView text);
    // Room for this many more characters, so that adding them never moves the text.
    void reserve(qsizetype characters);
    // Back to one empty line.
    void clear();

    QString toPlainText() const { return m_text; }
    qsizetype lineCount() const { return qsizetype(m_starts.size()); }
    // The line that holds offset, and where a line starts in toPlainText().
    qsizetype lineOf(qsizetype offset) const;
    qsizetype lineStart(qsizetype line) const { return m_starts[size_t(line)]; }

    // Positions are offsets into toPlainText(); the selection runs from the anchor to the
    // cursor.
    qsizetype cursorPosition() const { return m_position; }
    qsizetype anchorPosition() const { return m_anchor; }
    void setSelection(qsizetype anchor, qsizetype position);
    QString selectedText() const;
    void selectAll();
    void copy() const;

    // The area of the character at offset, in the viewport's coordinates; empty when it is
    // not on screen.
    QRect characterRect(qsizetype offset) const;
    // The offset nearest to a point of the viewport.
    qsizetype offsetAt(QPoint point) const;
    void ensureVisible(qsizetype offset);

signals:
    void selectionChanged();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // A place in the laid-out text: a line and a row of that line's wrapped rows.
    struct Row
    {
        qsizetype line = 0;
        int row = 0;
        friend bool operator==(const Row &, const Row &) = default;
    };

    qsizetype lineEnd(qsizetype line) const;
    QTextLayout &layout(qsizetype line) const;
    int textWidth() const;
    int rowsIn(qsizetype line) const;
    Row lastTop() const;
    Row stepped(Row from, int rows) const;
    void settle();
    void syncScrollBar(Row end);
    void scrollTo(Row top);
    void forgetLayouts();
    void moveCursor(qsizetype position, bool keepAnchor);
    qsizetype movedByRows(qsizetype position, int rows) const;
    void restartCaret();
    void publishSelection() const;
    void dragTowards(QPoint point);

    QString m_text;
    // Where each line starts in m_text; never empty.
    std::vector<qsizetype> m_starts{0};
    qsizetype m_anchor = 0;
    qsizetype m_position = 0;
    Row m_top;
    bool m_followEnd = true;
    // The accessible insertion not yet told, from this offset on.
    qsizetype m_untoldFrom = -1;
    // Laid-out lines, only those near the screen; dropped when the width or font changes.
    mutable std::map<qsizetype, std::unique_ptr<QTextLayout>> m_layouts;
    QBasicTimer m_settle;
    QBasicTimer m_caret;
    QBasicTimer m_autoScroll;
    bool m_caretShown = false;
    bool m_selecting = false;
    bool m_syncing = false;
    QPoint m_dragPoint;
};
