#pragma once

#include "filedialog.h"
#include "ui_unit1.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>

class ConversionJob;
class DesktopNotifier;
class Log;
class MediaLibrary;
class ProbeRunner;
class Prompts;
struct Choices;
struct ProbeOutcome;
struct ProbeResult;
struct JobOutcome;
class QUrl;

// The one window: its controls, the two file dialogs and every handler.
class Tmain final : public QMainWindow, private Ui::Tmain
{
    Q_OBJECT
public:
    // Probes through the probe helper.
    explicit Tmain(QWidget *parent = nullptr);
    explicit Tmain(std::unique_ptr<MediaLibrary> library, QWidget *parent = nullptr);
    ~Tmain() override;
    Q_DISABLE_COPY_MOVE(Tmain)

    // What the window asks of the person goes through prompts from now on (the real boxes and
    // dialogs until then), the error boxes too while the window lives.
    void setPrompts(Prompts &prompts);
    bool jobRunning() const;

    // Makes path the source as if it had been chosen in importmedia, then probes it.
    void openSource(const QString &path);
    // While the chosen source is being read: the window goes on meanwhile.
    bool probing() const;
    // The first local file among dropped or passed URLs; empty if there is none.
    static QString firstLocalFile(const QList<QUrl> &urls);

    // The controls, by the names the rest of the program knows them by.
    using Ui::Tmain::audiobitrate;
    using Ui::Tmain::audiochannels;
    using Ui::Tmain::audioformat;
    using Ui::Tmain::audioinfo;
    using Ui::Tmain::audiooutput;
    using Ui::Tmain::audiorate;
    using Ui::Tmain::audiosource;
    using Ui::Tmain::bar;
    using Ui::Tmain::Button1;
    using Ui::Tmain::Button2;
    using Ui::Tmain::Button3;
    using Ui::Tmain::outputsize;
    using Ui::Tmain::ResultsRE;
    FileDialog *importmedia;
    FileDialog *saveaudio;

    qint64 estimatedkb = 0;
    qint32 durationsec = 0;

public slots:
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void audioformatChange();
    void audiobitrateChange();
    void Exit1Click();
    // The job's end: the notice once the log holds the whole output, then the empty bar.
    void ConversionDone(const JobOutcome &outcome);
    // The session ends (a signal to end the program): as File > Exit answered Yes.
    void endSession();

public:
    // What ResultsRE shows; it tells when lines given to it have all reached the view.
    Log *log() const { return m_log; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void setupConnections();
    void scaleToFont();
    void showMessage(const QString &text);
    // The log is a list of lines: append one, or replace them all.
    void appendLog(const QString &line);
    void replaceLog(const QStringList &lines);
    void fitSaveDialogToFormat();
    Choices choices() const;
    void setBarRange(qint64 maximumBytes);
    void setBarBytes(qint64 bytes);
    void probeChosenSource();
    void probeEnded(const QString &fileName, const ProbeOutcome &outcome);
    void cancelProbe();
    void showProbe(const QString &fileName, const ProbeResult &found);
    void setInfo(QLabel *label, const QString &text);
    void showProgressText(qint64 bytes);
    void startJob();
    void announce(const JobOutcome &outcome);
    void endJobDisplay();
    void stopThenClose();
    // How long a closing window waits for a stopped job before it closes anyway.
    static constexpr int ClosingWaitMs = 1500;

    ProbeRunner *m_probe;
    // What the summary showed before the probe in progress: a failed probe leaves it.
    QString m_infoBeforeProbe;
    // Convert pressed while the source was being read: the job starts once it has been.
    bool m_convertWhenProbed = false;
    std::unique_ptr<Prompts> m_dialogs;
    Prompts *m_prompts;
    QPointer<ConversionJob> m_job;
    DesktopNotifier *m_desktop = nullptr;
    // The stream the summary describes belongs to the file it was probed from.
    struct Probed
    {
        QString path;
        QString stream;
        QString rate;
        QString channels;
    } m_probed;
    // Sizes are divided by this when the estimate in bytes does not fit the bar's int range.
    qint64 m_barScale = 1;
    Log *m_log = nullptr;
    // Set once the window is to close: a running job is stopped and no notice is shown.
    bool m_closing = false;
    bool m_exitRequested = false;
    // The quit question is up; a notice due meanwhile is held here until it is answered.
    bool m_askingToQuit = false;
    std::function<void()> m_heldNotice;
    // Stop was pressed: Button1 ignores clicks until the job is announced.
    bool m_stopping = false;
    // Where Qt moved the keyboard focus from Button1 when it was disabled to wait for the notice.
    QPointer<QWidget> m_focusReturnsFrom;
    QElapsedTimer m_jobClock;
};
