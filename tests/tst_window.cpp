#include "application.h"
#include "darkscheme.h"
#include "fakemedia.h"
#include "harness.h"
#include "kelvaneerror.h"
#include "log.h"
#include "mediainfo.h"
#include "prompts.h"
#include "scriptedprompts.h"
#include "testmain.h"
#include "unit1.h"

#include "logview.h"
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QtTest>

namespace {

QStringList items(const QComboBox *box)
{
    QStringList result;
    for (int i = 0; i < box->count(); ++i)
        result.append(box->itemText(i));
    return result;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void startState_data();
    void startState();
    void keyboardFocus();
    void stopKeepsFocus();
    void logLooks();
    void dialogsAtStart();
    void formatRetargetsSaveDialog();
    void outputBrowse();
    void typedTextIsNotUsed();
    void exitEndsTheLoop();
    void errorText_data();
    void errorText();
    void exceptionFromSlotIsShown();
    void realBoxes_data();
    void realBoxes();
    void noNoticeOverTheQuitQuestion_data();
    void noNoticeOverTheQuitQuestion();
    void accessibleControls();
    void textsFitAnyFont_data();
    void textsFitAnyFont();
    void greyTextReadable_data();
    void greyTextReadable();
};

// Every control by name: kind, text, geometry (unscaled) and content.
void TestWindow::startState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QStringList>("items");

    const QStringList none;
    const QStringList bitrates{"64",  "128", "160", "192", "224", "256",
                               "288", "320", "352", "384", "416", "448"};
    auto row = [&](const char *name, const char *kind, const char *text, QRect r,
                   const QStringList &list = {}) {
        QTest::newRow(name) << name << kind << text << r << list;
    };
    row("StaticText1", "QLabel", "Audio Source", {8, 10, 68, 17});
    row("audiosource", "QLineEdit", "", {80, 8, 177, 19});
    row("Button2", "QPushButton", "Browse", {264, 7, 51, 19});
    row("audioinfo", "QLabel", "", {8, 32, 305, 13});
    row("GroupBox1", "QGroupBox", "Audio Settings", {8, 56, 305, 161});
    row("Label3", "QLabel", "Format", {48, 30, 38, 13});
    row("audioformat", "QComboBox", "AC3", {88, 24, 169, 21}, {"AC3", "MP2"});
    row("Label5", "QLabel", "Bitrate", {48, 62, 38, 13});
    row("audiobitrate", "QComboBox", "192", {88, 56, 169, 21}, bitrates);
    row("Label6", "QLabel", "Sampling rate", {16, 90, 70, 13});
    row("audiorate", "QComboBox", "48000", {88, 88, 169, 21}, {"48000", "44100"});
    row("Label7", "QLabel", "Audio Channels", {8, 122, 78, 13});
    row("audiochannels", "QComboBox", "2", {88, 120, 169, 21}, {"2"});
    row("Label1", "QLabel", "Audio output", {8, 226, 70, 13});
    row("audiooutput", "QLineEdit", "", {80, 224, 177, 19});
    row("Button3", "QPushButton", "Browse", {264, 224, 51, 19});
    row("outputsize", "QLabel", "", {8, 248, 297, 13});
    row("Label2", "QLabel", "Status", {8, 280, 30, 13});
    row("bar", "JobBar", "", {40, 280, 217, 16});
    row("Button1", "QPushButton", "Convert", {264, 278, 51, 19});
    row("status", "QLabel", "ffmpeg status:", {8, 304, 70, 13});
    row("ResultsRE", "LogView", "", {80, 304, 233, 49});
}

void TestWindow::startState()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    QFETCH(QStringList, items);

    Tmain window(std::make_unique<FakeMedia>());
    QCOMPARE(window.objectName(), QString("main"));
    QCOMPARE(window.windowTitle(), QString("Kelvane Beta Build 3"));
    QVERIFY(!window.windowIcon().isNull());

    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->metaObject()->className(), kind);

    // The layout may grow with the font, but in one proportion for every control.
    const QRect r = widget->geometry();
    const double scale = window.centralWidget()->width() / 323.0;
    QVERIFY(scale >= 1.0);
    QVERIFY2(qAbs(r.x() - geometry.x() * scale) <= 1 && qAbs(r.y() - geometry.y() * scale) <= 1 &&
                 qAbs(r.width() - geometry.width() * scale) <= 1 &&
                 qAbs(r.height() - geometry.height() * scale) <= 1,
             qPrintable(QString("%1 at %2,%3 %4x%5")
                            .arg(name)
                            .arg(r.x())
                            .arg(r.y())
                            .arg(r.width())
                            .arg(r.height())));

    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), text);
        // No text is clipped.
        QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= label->width(), qPrintable(name));
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QCOMPARE(button->text(), text);
    } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        QCOMPARE(edit->text(), text);
    } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
        QCOMPARE(group->title(), text);
    } else if (auto *list = qobject_cast<QComboBox *>(widget)) {
        QCOMPARE(list->currentText(), text);
        QCOMPARE(::items(list), items);
        QVERIFY(!list->isEditable());
    } else if (auto *progress = qobject_cast<QProgressBar *>(widget)) {
        QCOMPARE(progress->minimum(), 0);
        QCOMPARE(progress->maximum(), 1);
        QCOMPARE(progress->value(), 0);
    } else if (auto *log = qobject_cast<LogView *>(widget)) {
        QCOMPARE(log->document()->blockCount(), 1);
        QCOMPARE(log->toPlainText(), QString());
    }
    QCOMPARE(window.estimatedkb, 0);
    QCOMPARE(window.durationsec, 0);

    // The File menu with its one command.
    const auto menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 1);
    QCOMPARE(menus[0]->text().remove('&'), QString("File"));
    QCOMPARE(menus[0]->menu()->actions().size(), 1);
    QCOMPARE(menus[0]->menu()->actions()[0]->text().remove('&'), QString("Exit"));
}

// The focus starts on Convert; Tab and Shift+Tab go round the layout table's Tab column, the
// captions and the bar skipped, the read-only path boxes included.
void TestWindow::keyboardFocus()
{
    Tmain window(std::make_unique<FakeMedia>());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(window.Button1));

    const QStringList cycle{"Button2",   "audiosource",   "audioformat", "audiobitrate",
                            "audiorate", "audiochannels", "audiooutput", "Button3",
                            "ResultsRE", "Button1"};
    const auto walk = [](Qt::KeyboardModifiers modifiers, qsizetype steps) {
        QStringList visited;
        for (qsizetype i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, modifiers);
            visited.append(QApplication::focusWidget()->objectName());
        }
        return visited;
    };
    QCOMPARE(walk(Qt::NoModifier, cycle.size()), cycle);
    QStringList back(cycle.rbegin() + 1, cycle.rend());
    back.append("Button1");
    QCOMPARE(walk(Qt::ShiftModifier, back.size()), back);
}

// Space on Stop stops the job and leaves the focus on the button: a second Space while ffmpeg
// ends does nothing, and after the notice the button, Convert again, still has the focus.
void TestWindow::stopKeepsFocus()
{
    QTemporaryDir dir;
    LiveSource live(dir.filePath("live.wav"));
    Harness h;
    QStringList focusAtNotice;
    h.prompts.onNotice = [&](const QString &) {
        focusAtNotice.append(h.window.focusWidget()->objectName());
    };
    QVERIFY(startLiveJob(h, dir.filePath("live.wav"), dir.filePath("live.ac3")));
    QVERIFY(QTest::qWaitForWindowActive(&h.window));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(h.window.Button1));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(h.window.Button1));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); // while ffmpeg ends
    QVERIFY(h.finish(20000));
    QCOMPARE(h.notices, QStringList{"The conversion was stopped. The log shows the details."});
    QCOMPARE(focusAtNotice, QStringList{"Button1"});
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(h.window.Button1));
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    QVERIFY(h.window.Button1->isEnabled());
    QVERIFY(!h.window.jobRunning());
}

// The log has no border but a thin soft bevel, on the light 3-D colour; it stays read-only and
// its text can be selected with the mouse and the keyboard.
void TestWindow::logLooks()
{
    Tmain window(std::make_unique<FakeMedia>());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    LogView *log = window.ResultsRE;
    const QImage picture = log->grab().toImage();
    const QPalette palette = window.palette();
    QVERIFY(palette.color(QPalette::Midlight) != palette.color(QPalette::Base));
    const int w = picture.width();
    const int h = picture.height();
    QCOMPARE(picture.pixelColor(w / 2, 0).name(), palette.color(QPalette::Mid).name());
    QCOMPARE(picture.pixelColor(0, h / 2).name(), palette.color(QPalette::Mid).name());
    QCOMPARE(picture.pixelColor(w / 2, h - 1).name(), palette.color(QPalette::Light).name());
    QCOMPARE(picture.pixelColor(w - 1, h / 2).name(), palette.color(QPalette::Light).name());
    for (const QPoint inside : {QPoint(1, 1), QPoint(w / 2, h / 2), QPoint(w - 2, h - 2)})
        QCOMPARE(picture.pixelColor(inside).name(), palette.color(QPalette::Midlight).name());

    window.log()->append("Stream #0:0: Audio: ac3");
    log->setFocus();
    QTest::keyClick(log, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_End, Qt::ShiftModifier | Qt::ControlModifier);
    QCOMPARE(log->textCursor().selection().toPlainText(), log->toPlainText());
    QVERIFY(log->toPlainText().endsWith("Stream #0:0: Audio: ac3"));
    QTest::keyClicks(log, "typed");
    QVERIFY(!log->toPlainText().contains("typed"));
}

void TestWindow::dialogsAtStart()
{
    Tmain window(std::make_unique<FakeMedia>());
    QCOMPARE(window.saveaudio->filter(), QString("AC3|*.ac3"));
    QCOMPARE(window.saveaudio->nameFilters(), QStringList{"AC3 (*.ac3)"});
    QCOMPARE(window.saveaudio->defaultExt(), QString("ac3"));
    QCOMPARE(window.importmedia->defaultExt(), QString());
    QCOMPARE(window.importmedia->nameFilters(),
             (QStringList{"All audio (*.ac3 *.wav *.mpa *.mp2 *.mp3 *.mpg *.avi *.mpeg)",
                          "AC3 (*.ac3)", "WAV (*.wav)", "MP2 (*.mp2 *.mpa)", "MP3 (*.mp3)",
                          "All video (*.mpg *.avi *.mpeg)"}));
    QCOMPARE(window.importmedia->FileName(), QString());
    QCOMPARE(window.saveaudio->FileName(), QString());
}

void TestWindow::formatRetargetsSaveDialog()
{
    Tmain window(std::make_unique<FakeMedia>());
    ScriptedPrompts prompts;
    window.setPrompts(prompts);
    QStringList offered;
    prompts.chooser = [&](const FileRequest &d) -> std::optional<QStringList> {
        offered.append(d.filter + " " + d.defaultExt);
        return QStringList{"/tmp/chosen.ac3"};
    };
    window.audioformat->setCurrentText("MP2");
    QTest::mouseClick(window.Button3, Qt::LeftButton);
    window.audioformat->setCurrentText("AC3");
    QTest::mouseClick(window.Button3, Qt::LeftButton);
    QCOMPARE(offered, (QStringList{"MP2|*.mp2 mp2", "AC3|*.ac3 ac3"}));
    // The chosen name keeps its extension through a format change.
    QCOMPARE(window.saveaudio->FileName(), QString("/tmp/chosen.ac3"));

    // A "WAV" entry is handled should it ever be offered.
    window.audioformat->addItem("WAV");
    window.audioformat->setCurrentText("WAV");
    QCOMPARE(window.saveaudio->filter(), QString("WAV|*.wav"));
    QCOMPARE(window.saveaudio->defaultExt(), QString("wav"));
    // Anything else leaves the dialog alone; the comparison is case-sensitive.
    window.audioformat->addItem("ac3");
    window.audioformat->setCurrentText("ac3");
    QCOMPARE(window.saveaudio->filter(), QString("WAV|*.wav"));
}

void TestWindow::outputBrowse()
{
    Tmain window(std::make_unique<FakeMedia>());
    ScriptedPrompts prompts;
    window.setPrompts(prompts);

    QTest::mouseClick(window.Button3, Qt::LeftButton); // cancel before any choice
    QCOMPARE(window.audiooutput->text(), QString());
    prompts.save = "/tmp/a b.ac3";
    QTest::mouseClick(window.Button3, Qt::LeftButton);
    QCOMPARE(window.audiooutput->text(), QString("/tmp/a b.ac3"));
    window.audiooutput->setText("typed over");
    prompts.save.clear();
    QTest::mouseClick(window.Button3, Qt::LeftButton); // cancel shows the earlier choice
    QCOMPARE(window.audiooutput->text(), QString("/tmp/a b.ac3"));
    QCOMPARE(window.saveaudio->FileName(), QString("/tmp/a b.ac3"));
}

// The path boxes show the dialogs' choices: typing into them is refused, the path can still be
// selected and copied.
void TestWindow::typedTextIsNotUsed()
{
    Tmain window(std::make_unique<FakeMedia>());
    ScriptedPrompts prompts;
    window.setPrompts(prompts);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClicks(window.audiosource, "/typed/source.wav");
    QTest::keyClicks(window.audiooutput, "/typed/out.ac3");
    QCOMPARE(window.audiosource->text(), QString());
    QCOMPARE(window.audiooutput->text(), QString());
    QCOMPARE(window.importmedia->FileName(), QString());
    QCOMPARE(window.saveaudio->FileName(), QString());
    QTest::mouseClick(window.Button1, Qt::LeftButton);
    QCOMPARE(prompts.notices, QStringList{"Please select an audio source"});

    prompts.save = "/tmp/chosen out.ac3";
    QTest::mouseClick(window.Button3, Qt::LeftButton);
    window.audiooutput->setFocus();
    QTest::keyClick(window.audiooutput, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(window.audiooutput, "x");
    QTest::keyClick(window.audiooutput, Qt::Key_Backspace);
    QCOMPARE(window.audiooutput->text(), QString("/tmp/chosen out.ac3"));
    QCOMPARE(window.audiooutput->selectedText(), QString("/tmp/chosen out.ac3"));
}

void TestWindow::exitEndsTheLoop()
{
    Tmain window(std::make_unique<FakeMedia>());
    window.show();
    QTimer::singleShot(0, &window, [&] {
        auto *file = window.menuBar()->actions()[0]->menu();
        file->actions()[0]->trigger();
    });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!window.isVisible());
}

void TestWindow::errorText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "Division by zero"
                           << "Division by zero.";
    QTest::newRow("full stop kept") << "x."
                                    << "x.";
    QTest::newRow("exclamation kept") << "x!"
                                      << "x!";
    QTest::newRow("question kept") << "x?"
                                   << "x?";
    QTest::newRow("quote last") << "'' is not a valid integer value"
                                << "'' is not a valid integer value.";
    QTest::newRow("empty") << ""
                           << "";
}

void TestWindow::errorText()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(Application::errorText(message), shown);
}

// The single handler catches what a real slot throws during a real click, and the loop goes on.
void TestWindow::exceptionFromSlotIsShown()
{
    ScriptedPrompts prompts;
    Tmain window(std::make_unique<FakeMedia>());
    window.setPrompts(prompts);
    window.show();
    QPushButton thrower("throw", &window);
    connect(&thrower, &QPushButton::clicked,
            [] { throw KelvaneError("'x' is not a valid integer value"); });
    QPushButton other("other", &window);
    connect(&other, &QPushButton::clicked, [] { throw 42; });
    thrower.show();
    other.move(0, 40);
    other.show();
    QTest::mouseClick(&thrower, Qt::LeftButton);
    QTest::mouseClick(&other, Qt::LeftButton);
    QTest::mouseClick(&thrower, Qt::LeftButton);
    QCOMPARE(prompts.errors, (QStringList{"'x' is not a valid integer value.", "",
                                          "'x' is not a valid integer value."}));
}

namespace {

// Runs act on the modal dialog of type Dialog once it is up; see() says whether it was.
template <class Dialog> class WhenUp
{
public:
    explicit WhenUp(std::function<void(Dialog *)> act) : m_act(std::move(act))
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            if (auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget())) {
                m_poll.stop();
                m_seen = true;
                m_act(dialog);
            }
        });
        m_poll.start(10);
    }
    bool seen() const { return m_seen; }

private:
    std::function<void(Dialog *)> m_act;
    QTimer m_poll;
    bool m_seen = false;
};

enum class Ask
{
    Notice,
    Question,
    Error
};

} // namespace

// The window's own boxes: their captions, icons and buttons, and what a press answers.
void TestWindow::realBoxes_data()
{
    QTest::addColumn<int>("ask");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("press");
    QTest::addColumn<bool>("answer");
    QTest::newRow("notice") << int(Ask::Notice) << "Kelvane Message" << int(QMessageBox::NoIcon)
                            << int(QMessageBox::Ok) << 0 << int(QMessageBox::Ok) << false;
    QTest::newRow("question, Yes")
        << int(Ask::Question) << "Kelvane Message" << int(QMessageBox::Question)
        << int(QMessageBox::Yes | QMessageBox::No) << int(QMessageBox::No) << int(QMessageBox::Yes)
        << true;
    QTest::newRow("question, No") << int(Ask::Question) << "Kelvane Message"
                                  << int(QMessageBox::Question)
                                  << int(QMessageBox::Yes | QMessageBox::No) << int(QMessageBox::No)
                                  << int(QMessageBox::No) << false;
    QTest::newRow("error") << int(Ask::Error) << "Kelvane" << int(QMessageBox::Critical)
                           << int(QMessageBox::Ok) << 0 << int(QMessageBox::Ok) << false;
}

void TestWindow::realBoxes()
{
    QFETCH(int, ask);
    QFETCH(QString, caption);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, press);
    QFETCH(bool, answer);
    Tmain window(std::make_unique<FakeMedia>());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    DialogPrompts prompts(&window);
    QString title, text;
    int shownIcon = -1, shownButtons = -1, shownDefault = -1;
    WhenUp<QMessageBox> box([&](QMessageBox *b) {
        title = b->windowTitle();
        text = b->text();
        shownIcon = b->icon();
        shownButtons = int(b->standardButtons());
        shownDefault = b->defaultButton() ? int(b->standardButton(b->defaultButton())) : 0;
        b->button(QMessageBox::StandardButton(press))->click();
    });
    bool answered = false;
    switch (Ask(ask)) {
    case Ask::Notice:
        prompts.notice("Finished");
        break;
    case Ask::Question:
        answered = prompts.question("Finished");
        break;
    case Ask::Error:
        prompts.error("Finished");
        break;
    }
    QVERIFY(box.seen());
    QCOMPARE(title, caption);
    QCOMPARE(text, QString("Finished"));
    QCOMPARE(shownIcon, icon);
    QCOMPARE(shownButtons, buttons);
    QCOMPARE(shownDefault, defaultButton);
    QCOMPARE(answered, answer);
}

// File > Exit while a job ends, with the real boxes and their nested loops: the job's notice
// never comes over the quit question. Yes quits; No brings the notice once the question has
// gone. ffmpeg first floods its error output, so the log still takes it in after ffmpeg ends.
void TestWindow::noNoticeOverTheQuitQuestion_data()
{
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QStringList>("boxes");
    const QString question = "A conversion is running. Stop it and quit?";
    QTest::newRow("Yes quits") << true << QStringList{question};
    QTest::newRow("No, then the notice") << false << QStringList{question, "Finished"};
}

void TestWindow::noNoticeOverTheQuitQuestion()
{
    QFETCH(bool, yes);
    QFETCH(QStringList, boxes);
    QTemporaryDir dir;
    const QString tone = dir.filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(2), tone));
    const QString realFfmpeg = QStandardPaths::findExecutable("ffmpeg");
    QVERIFY(QDir().mkpath(dir.filePath("bin")));
    QFile wrapper(dir.filePath("bin/ffmpeg"));
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    // A log that takes a while to fill; sanitizer builds take as long over a part of it.
    const QByteArray bytes = QByteArray::number(12'000'000 / fixtures::scaled(1));
    wrapper.write("#!/bin/sh\nyes 'frame=    1 fps=0.0 q=0.0 size=       0kB time=00:00:00.00' | "
                  "head -c " +
                  bytes + " >&2\nexec '" + QFile::encodeName(realFfmpeg) + "' \"$@\"\n");
    wrapper.close();
    QVERIFY(wrapper.setPermissions(wrapper.permissions() | QFileDevice::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.filePath("bin")) + ":" + path);
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });

    Tmain window; // the real boxes
    window.importmedia->setFileName(tone);
    window.saveaudio->setFileName(dir.filePath("out.ac3"));
    window.estimatedkb = 48;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.Button1->click();
    QVERIFY(window.jobRunning());
    QTimer::singleShot(0, &window,
                       [&] { window.menuBar()->actions()[0]->menu()->actions()[0]->trigger(); });

    // Each box as it comes up; a second box up at once is one over the other.
    QStringList shown;
    QStringList stacked;
    QPointer<QMessageBox> last;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        QStringList up;
        // The modal one on top; a notice is not modal while the program is not the active one.
        QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible()) {
                up.append(b->text());
                if (!box)
                    box = b;
            }
        }
        if (up.size() > 1)
            stacked.append(up.join(" under "));
        if (!box)
            return;
        if (box != last)
            shown.append(box->text());
        last = box;
        if (box->text() == boxes.first()) {
            // Answered once the job has ended and the log holds all of it: a notice due then
            // has had its turn.
            if (window.jobRunning() || window.log()->busy())
                return;
            box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
        } else {
            box->button(QMessageBox::Ok)->click();
            // Not quit(), which would close the window as well.
            if (!yes && up.size() == 1)
                QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
    });
    poll.start(10);
    QTimer::singleShot(fixtures::scaled(30000), qApp, [] { QCoreApplication::exit(3); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY2(stacked.isEmpty(), qPrintable(stacked.join("; ")));
    QCOMPARE(shown, boxes);
    QCOMPARE(window.isVisible(), !yes);
    QVERIFY(!window.jobRunning());
}

// What a screen reader hears for each control: a name saying what it is, the values shown.
void TestWindow::accessibleControls()
{
    Tmain window(std::make_unique<FakeMedia>());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QHash<QString, QString> expected = {
        {"audiosource", "Audio Source"},
        {"Button2", "Browse for the audio source"},
        {"audioformat", "Format"},
        {"audiobitrate", "Bitrate"},
        {"audiorate", "Sampling rate"},
        {"audiochannels", "Audio Channels"},
        {"audiooutput", "Audio output"},
        {"Button3", "Browse for the audio output"},
        {"bar", "Status"},
        {"Button1", "Convert"},
        {"ResultsRE", "ffmpeg status"},
        {"GroupBox1", "Audio Settings"},
    };
    // The two labels are named by what they show and described by what they are for.
    window.openSource("/no/such/file.wav");
    QVERIFY(probed(window));
    window.audiobitrateChange();
    const QHash<QString, QStringList> labels = {
        {"audioinfo", {"No audio", "Source summary"}},
        {"outputsize", {"Output filesize: 0 KB", "Estimated output size"}},
    };
    for (auto it = labels.cbegin(); it != labels.cend(); ++it) {
        auto *label = window.findChild<QLabel *>(it.key());
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(label);
        QCOMPARE(iface->text(QAccessible::Name), it.value()[0]);
        QCOMPARE(iface->text(QAccessible::Description), it.value()[1]);
    }
    // Every other control, so that one added later without a name fails here.
    const auto widgets = window.centralWidget()->findChildren<QWidget *>();
    QStringList unnamed;
    for (QWidget *w : widgets) {
        if (qobject_cast<QLabel *>(w))
            continue; // a caption or one of the two above; its text is its name
        if (w->objectName().isEmpty() || w->objectName().startsWith("qt_"))
            continue; // parts Qt makes inside a control
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(w);
        QVERIFY2(iface, qPrintable(w->objectName()));
        QString name = iface->text(QAccessible::Name);
        // On Linux a list's name is its value; its caption reaches the reader as its label.
        if (qobject_cast<QComboBox *>(w)) {
            const auto labels = iface->relations(QAccessible::Label);
            name = labels.isEmpty() ? QString() : labels.first().first->text(QAccessible::Name);
        }
        if (name != expected.value(w->objectName()))
            unnamed.append(w->objectName() + " is '" + name + "'");
    }
    QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));

    // The captions point at what they caption.
    const auto *caption = window.findChild<QLabel *>("Label5");
    QCOMPARE(caption->buddy(), static_cast<QWidget *>(window.audiobitrate));

    // The values: the list choice, the bar position and the log text.
    QCOMPARE(QAccessible::queryAccessibleInterface(window.audiobitrate)->text(QAccessible::Value),
             QString("192"));
    window.bar->setMaximum(200);
    window.bar->setValue(50);
    QAccessibleValueInterface *value =
        QAccessible::queryAccessibleInterface(window.bar)->valueInterface();
    QVERIFY(value);
    QCOMPARE(value->currentValue().toInt(), 50);
    QCOMPARE(value->maximumValue().toInt(), 200);
    window.log()->append("ffmpeg version 5.1");
    QAccessibleInterface *log = QAccessible::queryAccessibleInterface(window.ResultsRE);
    QVERIFY(log->textInterface());
    QVERIFY(log->textInterface()
                ->text(0, log->textInterface()->characterCount())
                .contains("ffmpeg version 5.1"));
}

void TestWindow::textsFitAnyFont_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pointSize");
    QTest::newRow("desktop default") << QString() << 0;
    QTest::newRow("large 14 pt") << QString() << 14;
    QTest::newRow("huge 20 pt") << QString() << 20;
    // The common desktop faces: their line heights fall between whole pixels differently.
    for (const char *family : {"DejaVu Sans", "Noto Sans", "Liberation Sans", "Cantarell"}) {
        QTest::addRow("%s, desktop size", family) << QString(family) << 0;
        QTest::addRow("%s, 14 pt", family) << QString(family) << 14;
    }
}

// Whatever the desktop's font, no caption, button, list entry or title is cut off.
void TestWindow::textsFitAnyFont()
{
    QFETCH(QString, family);
    QFETCH(int, pointSize);
    const QFont before = QApplication::font();
    QFont font = before;
    if (!family.isEmpty()) {
        font.setFamily(family);
        if (QFontInfo(font).family() != family)
            QSKIP(qPrintable(family + " is not installed (scripts/deps.sh installs it)"));
    }
    if (pointSize > 0)
        font.setPointSize(pointSize);
    QApplication::setFont(font);
    const auto restore = qScopeGuard([&] { QApplication::setFont(before); });
    Tmain window(std::make_unique<FakeMedia>());
    window.Button1->setText("Stop"); // the button's other text must fit too
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.audioinfo->font().pointSize(), font.pointSize());

    QStringList clipped;
    const auto check = [&](QWidget *w, const QString &text, int room, int padding) {
        const QFontMetrics m(w->font());
        if (m.horizontalAdvance(text) + padding > room || m.height() > w->height())
            clipped.append(QString("%1 '%2' needs %3x%4, has %5x%6")
                               .arg(w->objectName(), text)
                               .arg(m.horizontalAdvance(text) + padding)
                               .arg(m.height())
                               .arg(room)
                               .arg(w->height()));
    };
    for (auto *label : window.findChildren<QLabel *>())
        if (!label->text().isEmpty())
            check(label, label->text(), label->width(), 0);
    for (auto *button : window.findChildren<QPushButton *>()) {
        check(button, "Convert", button->width(), 8);
        check(button, button->text(), button->width(), 8);
    }
    for (auto *list : window.findChildren<QComboBox *>()) {
        // The arrow takes about one line height.
        for (int i = 0; i < list->count(); ++i)
            check(list, list->itemText(i), list->width() - list->height(), 6);
    }
    for (auto *edit : window.findChildren<QLineEdit *>())
        check(edit, "M", edit->width(), 0);
    auto *group = window.findChild<QGroupBox *>("GroupBox1");
    check(group, group->title(), group->width(), 16);
    // Everything inside the window, and the window on a common laptop screen.
    for (auto *w : window.centralWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (!window.centralWidget()->rect().contains(w->geometry()))
            clipped.append(w->objectName() + " lies outside the window");
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("; ")));
}

namespace {

qreal luminance(QColor c)
{
    const auto linear = [](qreal v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

qreal contrast(QColor a, QColor b)
{
    const qreal la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The strongest contrast any pixel of the widget's picture has against its background, read
// in a corner the text does not reach.
qreal strongestContrast(QWidget *widget)
{
    const QImage picture = widget->grab().toImage();
    const QColor background = picture.pixelColor(picture.width() - 1, 0);
    qreal strongest = 1;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            strongest = std::max(strongest, contrast(picture.pixelColor(x, y), background));
    return strongest;
}

} // namespace

// The summary and the estimate are grey, yet readable (3:1 at least) in light and dark schemes,
// as the pixels on screen show.
void TestWindow::greyTextReadable_data()
{
    QTest::addColumn<QPalette>("palette");
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create("Fusion"));
    QTest::newRow("Fusion light") << fusion->standardPalette();
    QTest::newRow("dark scheme") << darkScheme(false);
    QTest::newRow("dark scheme, no grey of its own") << darkScheme(true);
}

void TestWindow::greyTextReadable()
{
    QFETCH(QPalette, palette);
    const QPalette before = QApplication::palette();
    QApplication::setPalette(palette);
    const auto restore = qScopeGuard([&] { QApplication::setPalette(before); });
    Tmain window(std::make_unique<FakeMedia>());
    window.audioinfo->setText("MPEG Audio, 192 kb/s, 48000 Hz, 2 channels, 0:42");
    window.outputsize->setText("Output filesize: 984 KB");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const qreal caption = strongestContrast(window.findChild<QLabel *>("Label3"));
    for (QLabel *grey : {window.audioinfo, window.outputsize}) {
        const qreal ratio = strongestContrast(grey);
        qInfo("%s: %.2f:1 (a caption: %.2f:1)", qPrintable(grey->objectName()), ratio, caption);
        QVERIFY2(ratio >= 3.0, qPrintable(grey->objectName()));
        QVERIFY2(ratio < caption - 1.0, "grey, not the captions' colour");
    }
}

KELVANE_TEST_MAIN(Application, TestWindow)

#include "tst_window.moc"
