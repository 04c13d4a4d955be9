#include "jobbar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>

JobBar::JobBar(QWidget *parent) : QProgressBar(parent) {}

void JobBar::setJobRunning(bool running)
{
    m_jobRunning = running;
    update();
}

void JobBar::paintEvent(QPaintEvent *event)
{
    if (m_jobRunning || minimum() != maximum()) {
        QProgressBar::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    option.minimum = 0;
    option.maximum = 1;
    option.progress = 0;
    painter.drawControl(QStyle::CE_ProgressBar, option);
}
