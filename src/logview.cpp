#include "logview.h"

#include <QPainter>
#include <QScrollBar>

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    // Read-only alone gives the mouse only; the keys select too, from a visible caret.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    viewport()->setBackgroundRole(QPalette::Midlight);
}

bool LogView::showsEnd() const
{
    const QScrollBar *bar = verticalScrollBar();
    return bar->value() >= bar->maximum();
}

void LogView::showEnd()
{
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

bool LogView::event(QEvent *event)
{
    if (event->type() != QEvent::Paint)
        return QPlainTextEdit::event(event);
    // The frame only; the viewport paints the text.
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
