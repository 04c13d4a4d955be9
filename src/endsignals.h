#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM (a logout, kill), SIGHUP (a closed terminal) and SIGINT (Ctrl+C) as a Qt signal on the
// thread that made this object, so the program ends the way File > Exit does instead of dying
// with a job half done. The handler only writes to a pipe, the one thing it may safely do.
// One object per process.
class EndSignals final : public QObject
{
    Q_OBJECT
public:
    explicit EndSignals(QObject *parent = nullptr);
    ~EndSignals() override;
    Q_DISABLE_COPY_MOVE(EndSignals)

signals:
    void endRequested(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
