#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class QWidget;

// Tells the desktop about jobs over the session bus: a notification when one ends while the
// window is not the active one, and the job's progress on the launcher entry (task bar, dock).
// Without a bus, or with nobody listening, it does nothing; the window never waits on it.
class DesktopNotifier final : public QObject
{
    Q_OBJECT
public:
    // The window is what the notification's action brings forward.
    explicit DesktopNotifier(QWidget *window);
    // Hides the progress of a job still shown.
    ~DesktopNotifier() override;
    Q_DISABLE_COPY_MOVE(DesktopNotifier)

    // Shows the progress, empty; output is the file the job writes.
    void jobStarted(const QString &output);
    // The bar's fraction, 0 to 1.
    void setProgress(double fraction);
    void jobEnded();
    // outcome in the window's words; nothing when the window is the active one.
    void notify(const QString &outcome);

private slots:
    // QtDBus connects bus signals by signature only, hence slots.
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    void busOpened();
    void sendProgress();
    void sendNotification(const QString &body, const QStringList &capabilities);

    QPointer<QWidget> m_window;
    bool m_busOpen = false;
    bool m_visible = false;
    // The percent last sent; only a change is worth a signal.
    int m_percent = -1;
    bool m_shown = false;
    QString m_output;
    QSet<uint> m_notifications;
};
