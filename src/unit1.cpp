#include "unit1.h"

#include "application.h"
#include "bitrates.h"
#include "command.h"
#include "desktopnotifier.h"
#include "formats.h"
#include "job.h"
#include "log.h"
#include "mediainfo.h"
#include "probe.h"
#include "proberunner.h"
#include "prompts.h"
#include "thread.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <limits>
#include <utility>

Tmain::Tmain(QWidget *parent) : Tmain(std::make_unique<HelperMediaInfo>(), parent) {}

Tmain::Tmain(std::unique_ptr<MediaLibrary> library, QWidget *parent)
    : QMainWindow(parent), m_probe(new ProbeRunner(std::move(library), this)),
      m_dialogs(std::make_unique<DialogPrompts>(this)), m_prompts(m_dialogs.get())
{
    setupUi(this);
    setObjectName(QStringLiteral("main"));
    // Grey text by palette role: a style sheet would bring Qt's style sheet machinery into
    // the window's start-up. Dark, the role a 3-D frame's shadow takes, is nearly the window's
    // own colour in dark schemes; the style keeps this one readable.
    audioinfo->setForegroundRole(QPalette::PlaceholderText);
    outputsize->setForegroundRole(QPalette::PlaceholderText);
    m_log = new Log(ResultsRE, this);

    importmedia = new FileDialog(FileDialog::Open, m_prompts, this);
    importmedia->setObjectName(QStringLiteral("importmedia"));
    importmedia->setFilter(QStringLiteral(
        "All audio|*.ac3;*.wav;*.mpa;*.mp2;*.mp3;*.mpg;*.avi;*.mpeg|AC3|*.ac3|WAV|*.wav|"
        "MP2|*.mp2;*.mpa|MP3|*.mp3|All video|*.mpg;*.avi;*.mpeg"));
    saveaudio = new FileDialog(FileDialog::Save, m_prompts, this);
    saveaudio->setObjectName(QStringLiteral("saveaudio"));

    // Start selections come before the connections, so no change handler runs for them.
    audioformat->setCurrentIndex(0);
    audiobitrate->setCurrentIndex(3);
    audiorate->setCurrentIndex(0);
    audiochannels->setCurrentIndex(0);
    fitSaveDialogToFormat();

    setAcceptDrops(true);
    scaleToFont();
    setupConnections();
    // Convert heads the Tab column: a keyboard user's first Space converts.
    Button1->setFocus();
}

Tmain::~Tmain()
{
    m_closing = true;
    delete m_job; // stops a running encoder and waits for it
    if (Application::errorPrompts() == m_prompts)
        Application::setErrorPrompts(nullptr);
}

void Tmain::setPrompts(Prompts &prompts)
{
    m_prompts = &prompts;
    importmedia->setPrompts(m_prompts);
    saveaudio->setPrompts(m_prompts);
    Application::setErrorPrompts(m_prompts);
}

void Tmain::setupConnections()
{
    const auto handler = [this](void (Tmain::*slot)()) {
        return [this, slot] { Application::guarded([this, slot] { (this->*slot)(); }); };
    };
    connect(Button1, &QPushButton::clicked, this, handler(&Tmain::Button1Click));
    connect(Button2, &QPushButton::clicked, this, handler(&Tmain::Button2Click));
    connect(Button3, &QPushButton::clicked, this, handler(&Tmain::Button3Click));
    connect(audioformat, &QComboBox::currentIndexChanged, this, handler(&Tmain::audioformatChange));
    connect(audiobitrate, &QComboBox::currentIndexChanged, this,
            handler(&Tmain::audiobitrateChange));
    connect(Exit1, &QAction::triggered, this, handler(&Tmain::Exit1Click));
    connect(m_probe, &ProbeRunner::finished, this, &Tmain::probeEnded);
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, this, &Tmain::cancelProbe);
}

namespace {

// The whole pixels text needs in font. Qt draws on whole pixels and rounds a line's ascent and
// descent each on its own, so a fractional metric rounded to the nearest pixel can come out one
// short (16.34 px of line height where the text takes 17).
QSize wholePixels(const QFont &font, const QString &text)
{
    const QFontMetricsF exact(font);
    const QFontMetrics drawn(font);
    return {std::max(int(std::ceil(exact.horizontalAdvance(text))), drawn.horizontalAdvance(text)),
            std::max(int(std::ceil(exact.height())), drawn.height())};
}

// A length of the layout scaled up to the next whole pixel: rounding to the nearest could take
// back the pixel the scale was chosen for.
int scaledUp(int length, qreal scale)
{
    return int(std::ceil(length * scale - 1e-9));
}

} // namespace

// The layout was drawn for an 8-point font with narrow glyphs; larger desktop fonts get the
// same arrangement scaled up by the smallest factor at which every caption and button text fits.
void Tmain::scaleToFont()
{
    QWidget *central = centralwidget;
    const auto children = central->findChildren<QWidget *>();
    qreal scale = 1.0;
    for (QWidget *child : children) {
        QString text;
        int padding = 0;
        if (auto *label = qobject_cast<QLabel *>(child)) {
            text = label->text();
        } else if (auto *button = qobject_cast<QPushButton *>(child)) {
            text = button->text();
            padding = 8;
        }
        if (text.isEmpty())
            continue;
        const QSize needs = wholePixels(child->font(), text);
        scale = std::max(scale, qreal(needs.width() + padding) / child->width());
        scale = std::max(scale, qreal(needs.height()) / std::max(child->height(), 13));
    }
    for (QWidget *child : children) {
        const QRect r = child->geometry();
        child->setGeometry(qRound(r.x() * scale), qRound(r.y() * scale), scaledUp(r.width(), scale),
                           scaledUp(r.height(), scale));
    }
    const QSize client(scaledUp(323, scale), scaledUp(361, scale));
    central->setFixedSize(client);
    setFixedSize(client.width(), client.height() + menuBar()->sizeHint().height());
    if (const QScreen *s = screen())
        move(s->availableGeometry().center() - rect().center());
}

namespace {
QStringList itemTexts(const QComboBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->itemText(i));
    return texts;
}
} // namespace

bool Tmain::jobRunning() const
{
    return m_job && m_job->isRunning();
}

void Tmain::showMessage(const QString &text)
{
    m_prompts->notice(text);
}

void Tmain::appendLog(const QString &line)
{
    m_log->append(line);
}

void Tmain::replaceLog(const QStringList &lines)
{
    m_log->replace(lines);
}

void Tmain::audioformatChange()
{
    fitSaveDialogToFormat();
}

// A text with no row leaves the dialog as it was; the chosen file name keeps its extension.
void Tmain::fitSaveDialogToFormat()
{
    if (const Format *format = formats::find(audioformat->currentText())) {
        saveaudio->setFilter(format->filter);
        saveaudio->setDefaultExt(format->defaultExt);
    }
}

Choices Tmain::choices() const
{
    return {.source = importmedia->FileName(),
            .output = saveaudio->FileName(),
            .format = audioformat->currentText(),
            .bitrate = audiobitrate->currentText(),
            .rate = audiorate->currentText(),
            .channels = audiochannels->currentText()};
}

void Tmain::Button3Click()
{
    saveaudio->execute();
    audiooutput->setText(saveaudio->FileName());
}

void Tmain::Exit1Click()
{
    m_exitRequested = true;
    if (close())
        QCoreApplication::quit();
}

void Tmain::Button2Click()
{
    importmedia->execute();
    probeChosenSource();
}

void Tmain::openSource(const QString &path)
{
    importmedia->setFileName(path);
    probeChosenSource();
}

QString Tmain::firstLocalFile(const QList<QUrl> &urls)
{
    for (const QUrl &url : urls) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            return url.toLocalFile();
    }
    return {};
}

void Tmain::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls() && !firstLocalFile(event->mimeData()->urls()).isEmpty())
        event->acceptProposedAction();
}

void Tmain::dropEvent(QDropEvent *event)
{
    const QString path = firstLocalFile(event->mimeData()->urls());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    Application::guarded([this, &path] { openSource(path); });
}

bool Tmain::probing() const
{
    return m_probe->isRunning();
}

// The probe runs on its own thread; its end comes back as probeEnded.
void Tmain::probeChosenSource()
{
    const QString fileName = importmedia->FileName();
    audiosource->setText(fileName);
    // A failed probe of the same path forgets the stream too: the file may have been replaced.
    m_probed = {};
    if (!probing())
        m_infoBeforeProbe = audioinfo->text();
    setInfo(audioinfo, QStringLiteral("Reading the file\u2026"));
    m_probe->start(fileName, audiobitrate->currentText());
}

// Escape: the file is left unread, as after a failed probe, and a waiting Convert is dropped.
void Tmain::cancelProbe()
{
    if (!probing())
        return;
    m_probe->cancel();
    m_convertWhenProbed = false;
    setInfo(audioinfo, m_infoBeforeProbe);
}

void Tmain::probeEnded(const QString &fileName, const ProbeOutcome &outcome)
{
    const bool convert = std::exchange(m_convertWhenProbed, false);
    Application::guarded([&] {
        // What the error box reports, the summary does not replace.
        setInfo(audioinfo, m_infoBeforeProbe);
        if (outcome.error)
            std::rethrow_exception(outcome.error);
        showProbe(fileName, outcome.result);
    });
    if (convert)
        Application::guarded([this] { Button1Click(); });
}

void Tmain::showProbe(const QString &fileName, const ProbeResult &found)
{
    if (!found.hasAudio) {
        setInfo(audioinfo, QStringLiteral("No audio"));
        audiosource->clear();
        return;
    }
    durationsec = found.durationsec;
    // The bitrate may have changed while the file was read.
    estimatedkb = probe::estimateKb(audiobitrate->currentText(), durationsec);
    setInfo(outputsize, probe::estimateText(estimatedkb));
    setInfo(audioinfo, found.summary);
    m_probed = {fileName, found.stream, found.rate, found.channels};
}

// A label's accessible name is its text when none is set, so a screen reader speaks what the
// label shows; what the label is for is its description, set in the form.
void Tmain::setInfo(QLabel *label, const QString &text)
{
    label->setText(text);
}

void Tmain::audiobitrateChange()
{
    estimatedkb = probe::estimateKb(audiobitrate->currentText(), durationsec);
    setInfo(outputsize, probe::estimateText(estimatedkb));
}

void Tmain::setBarRange(qint64 maximumBytes)
{
    maximumBytes = std::max<qint64>(maximumBytes, 0);
    m_barScale = 1;
    while (maximumBytes / m_barScale > std::numeric_limits<int>::max())
        m_barScale *= 1024;
    bar->setMaximum(int(maximumBytes / m_barScale));
}

void Tmain::setBarBytes(qint64 bytes)
{
    // QProgressBar ignores values outside its range: an output beyond the estimate shows full.
    bar->setValue(int(std::clamp<qint64>(bytes / m_barScale, bar->minimum(), bar->maximum())));
    showProgressText(bytes);
    if (bar->maximum() > 0 && m_desktop)
        m_desktop->setProgress(double(bar->value()) / bar->maximum());
}

namespace {
QString clockText(qint64 seconds)
{
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(two(seconds / 60 % 60), two(seconds % 60));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(two(seconds % 60));
}
} // namespace

// The remaining time assumes the output keeps growing as fast as it has so far.
void Tmain::showProgressText(qint64 bytes)
{
    const qint64 elapsedMs = m_jobClock.elapsed();
    const qint64 total = qint64(bar->maximum()) * m_barScale;
    QString text = QStringLiteral("%p% \u00b7 %1").arg(clockText(elapsedMs / 1000));
    if (bytes > 0 && total > bytes && elapsedMs > 1000) {
        const double left = double(elapsedMs) * double(total - bytes) / double(bytes) / 1000.0;
        text += QStringLiteral(" \u00b7 %1 left").arg(clockText(std::llround(left)));
    }
    bar->setFormat(text);
}

void Tmain::Button1Click()
{
    // While a job runs the button reads "Stop". Once pressed it does nothing until the job is
    // announced, yet stays enabled: a disabled button would hand the keyboard focus on to the
    // next control, where the person's next Space would act.
    if (m_stopping)
        return;
    if (jobRunning()) {
        m_stopping = true;
        m_job->stop();
        return;
    }
    // The job needs the source's duration and stream: it waits for them.
    if (probing()) {
        m_convertWhenProbed = true;
        return;
    }
    if (importmedia->FileName().isEmpty()) {
        showMessage(QStringLiteral("Please select an audio source"));
        return;
    }
    if (saveaudio->FileName().isEmpty()) {
        showMessage(QStringLiteral("Please select an audio output"));
        return;
    }
    const QString refused = bitrates::refusal(choices(), itemTexts(audiobitrate));
    if (!refused.isEmpty()) {
        showMessage(refused);
        return;
    }
    // The output's own refusals (the source under another name, another job writing it) come
    // from the job, whose thread alone touches the file system.
    startJob();
}

void Tmain::startJob()
{
    JobSettings settings;
    const bool probed = m_probed.path == importmedia->FileName();
    if (!probed)
        settings.streamNote = QStringLiteral("The source has not been probed successfully, so "
                                             "ffmpeg chooses which audio stream to encode");
    else if (m_probed.stream.isEmpty())
        settings.streamNote =
            QStringLiteral("The source does not say which of its streams the summary describes, "
                           "so ffmpeg chooses which audio stream to encode");
    settings.choices = choices();
    if (probed) {
        settings.choices.stream = m_probed.stream;
        settings.shownRate = m_probed.rate;
        settings.shownChannels = m_probed.channels;
    }
    settings.command = command::build(settings.choices);
    appendLog(settings.command.line());
    if (!settings.streamNote.isEmpty())
        appendLog(settings.streamNote);

    delete m_job;
    auto *job = new ConversionJob(std::move(settings), this);
    m_job = job;
    connect(job, &ConversionJob::logReplaced, this, &Tmain::replaceLog);
    connect(job, &ConversionJob::logAppended, this, &Tmain::appendLog);
    connect(job, &ConversionJob::sizeMeasured, this, &Tmain::setBarBytes);
    connect(job, &ConversionJob::finished, this, [this](const JobOutcome &outcome) {
        Application::guarded([&] { ConversionDone(outcome); });
    });
    Button1->setText(QStringLiteral("Stop"));
    bar->setJobRunning(true);
    setBarRange(estimatedkb * 1024);
    m_jobClock.start();
    bar->setFormat(QStringLiteral("%p%"));
    bar->setTextVisible(true);
    // Made at the first job: opening the session bus at start-up would delay the first paint.
    if (!m_desktop)
        m_desktop = new DesktopNotifier(this);
    m_desktop->jobStarted(saveaudio->FileName());
    const auto notStarted = qScopeGuard([this] {
        if (!jobRunning()) {
            endJobDisplay();
            m_desktop->jobEnded();
        }
    });
    job->start();
}

void Tmain::ConversionDone(const JobOutcome &outcome)
{
    if (m_desktop)
        m_desktop->jobEnded();
    if (m_job)
        m_job->deleteLater();
    m_job = nullptr;
    if (m_closing) {
        if (close() && m_exitRequested)
            QCoreApplication::quit();
        return;
    }
    // The notice comes when the log holds the whole output, as a person would read it.
    if (!m_log->busy()) {
        announce(outcome);
        return;
    }
    // No new job before this one is announced; the focus comes back with the button unless the
    // person has moved it meanwhile.
    const bool hadFocus = focusWidget() == Button1;
    Button1->setEnabled(false);
    m_focusReturnsFrom = hadFocus ? focusWidget() : nullptr;
    auto *const once = new QObject(this);
    connect(m_log, &Log::caughtUp, once, [this, outcome, once] {
        delete once;
        announce(outcome);
    });
}

void Tmain::announce(const JobOutcome &outcome)
{
    if (m_closing)
        return;
    // A notice over the quit question would block the answer until it is dismissed; it waits
    // for the answer, and a Yes makes it moot.
    if (m_askingToQuit) {
        m_heldNotice = [this, outcome] { announce(outcome); };
        return;
    }
    Button1->setText(QStringLiteral("Convert"));
    QString text = QStringLiteral("Finished");
    if (outcome.kind == JobOutcome::Refused)
        text = outcome.error;
    else if (outcome.kind == JobOutcome::Stopped)
        text = QStringLiteral("The conversion was stopped. The log shows the details.");
    else if (!outcome.succeeded())
        text = QStringLiteral("Conversion failed: %1. The log shows the details.")
                   .arg(outcome.describe());
    if (m_desktop)
        m_desktop->notify(text);
    showMessage(text);
    endJobDisplay();
}

void Tmain::endJobDisplay()
{
    Button1->setText(QStringLiteral("Convert"));
    bar->setValue(0);
    bar->setJobRunning(false);
    bar->setTextVisible(false);
    bar->setFormat(QStringLiteral("%p%"));
    m_stopping = false;
    Button1->setEnabled(true);
    if (m_focusReturnsFrom && focusWidget() == m_focusReturnsFrom)
        Button1->setFocus();
    m_focusReturnsFrom = nullptr;
}

void Tmain::endSession()
{
    m_exitRequested = true;
    m_closing = true;
    if (jobRunning())
        stopThenClose();
    else if (close())
        QCoreApplication::quit();
}

// Closes for good once the encoder has stopped, or after ClosingWaitMs whatever the job does
// (its output's mount may have stopped answering): the window never waits for the job.
void Tmain::stopThenClose()
{
    m_job->stop();
    QTimer::singleShot(ClosingWaitMs, this, [this] {
        if (!jobRunning())
            return;
        m_job->abandon();
        m_job = nullptr;
        if (m_desktop)
            m_desktop->jobEnded();
        if (close() && m_exitRequested)
            QCoreApplication::quit();
    });
}

void Tmain::closeEvent(QCloseEvent *event)
{
    if (jobRunning()) {
        if (!m_closing) {
            const QString question = QStringLiteral("A conversion is running. Stop it and quit?");
            m_askingToQuit = true;
            const bool quit = m_prompts->question(question);
            m_askingToQuit = false;
            if (!quit) {
                event->ignore();
                // After this handler: the close event is not held up by the notice's box.
                if (const auto held = std::exchange(m_heldNotice, nullptr))
                    QTimer::singleShot(0, this, held);
                return;
            }
            m_heldNotice = nullptr;
        }
        m_closing = true;
        // The job may have ended while the question was up.
        if (jobRunning()) {
            stopThenClose();
            event->ignore();
            return;
        }
    }
    m_closing = true;
    m_probe->cancel();
    event->accept();
}
