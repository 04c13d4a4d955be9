#pragma once

#include <QProgressBar>

// The job's progress bar. Qt draws an empty range (0 to 0) as "busy"; a job with a zero
// estimate sets that range and it stays after the job, when the bar is drawn empty instead.
class JobBar final : public QProgressBar
{
    Q_OBJECT
public:
    explicit JobBar(QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(JobBar)

    void setJobRunning(bool running);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_jobRunning = false;
};
