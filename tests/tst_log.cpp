#include "fakemedia.h"
#include "log.h"
#include "mediainfo.h"
#include "unit1.h"

#include "logview.h"
#include <QAccessible>
#include <QAccessibleTextInterface>

#include <QClipboard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Encoder output as the runner hands it over: 4000-byte chunks with CR LF line ends.
QStringList chunks(qsizetype bytes)
{
    QString all;
    for (int i = 0; all.size() < bytes; ++i)
        all += QString::number(i) + " frame=  100 fps=0.0 size=       0kB\r\n";
    QStringList out;
    for (qsizetype at = 0; at < bytes; at += 4000)
        out.append(all.mid(at, std::min<qsizetype>(4000, bytes - at)));
    return out;
}

// What a person reads in the log for those lines: one line each, CR LF and CR as line breaks.
QString shown(QStringList lines)
{
    for (QString &line : lines)
        line.replace("\r\n", "\n").replace('\r', '\n');
    return lines.join('\n');
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void whatAPersonGets_data();
    void whatAPersonGets();
    void keyboardSelectionCopies();
    void queuedLinesComeInOrder();
    void followsTheEndOnlyThere();
    void longLinesWrapAndScrollByRows();
    void keysMoveAndSelect_data();
    void keysMoveAndSelect();
    void mouseSelects();
    void screenReaderReads();
    void eitherMayGoFirst();

private:
    std::unique_ptr<Tmain> m_window;
    Log *m_log = nullptr;
    LogView *m_view = nullptr;
};

void TestLog::init()
{
    m_window = std::make_unique<Tmain>(std::make_unique<FakeMedia>());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_log = m_window->log();
    m_view = m_window->ResultsRE;
}

void TestLog::cleanup()
{
    m_window.reset();
}

void TestLog::whatAPersonGets_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<QStringList>("replacement");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("lines");

    const QStringList none;
    QTest::newRow("start: one empty line") << none << false << none << none << "" << qsizetype(1);
    QTest::newRow("appended to the empty line")
        << QStringList{"ffmpeg -i \"a.wav\""} << false << none << none << "\nffmpeg -i \"a.wav\""
        << qsizetype(2);
    QTest::newRow("replaced by three chunks")
        << QStringList{"ffmpeg"} << true << QStringList{"a", "b", "c"} << none << "a\nb\nc"
        << qsizetype(3);
    QTest::newRow("cleared: no line at all")
        << QStringList{"ffmpeg"} << true << none << none << "" << qsizetype(0);
    QTest::newRow("appended after clearing")
        << none << true << none << QStringList{"failed"} << "failed" << qsizetype(1);
    QTest::newRow("line ends inside chunks") << none << true << QStringList{"a\r\nb\rc\nd", "", "e"}
                                             << none << "a\nb\nc\nd\n\ne" << qsizetype(3);
    const QStringList progress(3, QString("frame=  100 fps=0.0\r").repeated(200));
    QTest::newRow("long chunks of lone CRs")
        << none << true << progress << none << shown(progress) << qsizetype(3);
    const QStringList big = chunks(1'000'000);
    QTest::newRow("1 MB, queued, then a status line")
        << QStringList{"ffmpeg"} << true << big << QStringList{"ffmpeg exited with code 1"}
        << shown(big) + "\nffmpeg exited with code 1" << big.size() + 1;
}

// The text itself, a selection of all of it copied, and what a screen reader is given.
void TestLog::whatAPersonGets()
{
    QFETCH(QStringList, before);
    QFETCH(bool, replaced);
    QFETCH(QStringList, replacement);
    QFETCH(QStringList, after);
    QFETCH(QString, text);
    QFETCH(qsizetype, lines);

    for (const QString &line : before)
        m_log->append(line);
    if (replaced)
        m_log->replace(replacement);
    for (const QString &line : after)
        m_log->append(line);
    QCOMPARE(m_log->lineCount(), lines);
    QTRY_VERIFY(!m_log->busy());
    QCOMPARE(m_log->lineCount(), lines);

    QCOMPARE(m_view->toPlainText().size(), text.size());
    QVERIFY(m_view->toPlainText() == text);

    QGuiApplication::clipboard()->clear();
    m_view->selectAll();
    m_view->copy();
    QVERIFY(QGuiApplication::clipboard()->text() == text);

    QAccessibleInterface *access = QAccessible::queryAccessibleInterface(m_view);
    QVERIFY(access && access->textInterface());
    QCOMPARE(access->text(QAccessible::Name), QString("ffmpeg status"));
    QVERIFY(access->text(QAccessible::Value) == text);
    QAccessibleTextInterface *textAccess = access->textInterface();
    QVERIFY(textAccess->text(0, textAccess->characterCount()) == text);
}

// The keys a person uses: select all, copy; the view stays read-only meanwhile.
void TestLog::keyboardSelectionCopies()
{
    m_log->replace(chunks(40'000));
    QTRY_VERIFY(!m_log->busy());
    m_view->setFocus();
    QTest::keyClick(m_view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(m_view, Qt::Key_C, Qt::ControlModifier);
    QVERIFY(QGuiApplication::clipboard()->text() == shown(chunks(40'000)));
    QTest::keyClick(m_view, Qt::Key_X);
    QVERIFY(m_view->toPlainText() == shown(chunks(40'000)));
}

// A large replacement is queued: counted at once, signalled once it is all in, and lines
// appended or a replacement given meanwhile keep their order.
void TestLog::queuedLinesComeInOrder()
{
    QSignalSpy caughtUp(m_log, &Log::caughtUp);
    const QStringList first = chunks(2'000'000);
    m_log->replace(first);
    QVERIFY(m_log->busy());
    QCOMPARE(m_log->lineCount(), first.size());
    m_log->append("tail");
    QCOMPARE(m_log->lineCount(), first.size() + 1);
    QVERIFY(caughtUp.wait(20'000));
    QCOMPARE(caughtUp.size(), 1);
    QVERIFY(!m_log->busy());
    QVERIFY(m_view->toPlainText() == shown(first) + "\ntail");

    // Replaced before it was all in: only the new lines, and still one signal.
    m_log->replace(first);
    QVERIFY(m_log->busy());
    m_log->replace({"x", "y"});
    QVERIFY(!m_log->busy());
    QCOMPARE(caughtUp.size(), 2);
    QCOMPARE(m_view->toPlainText(), QString("x\ny"));
    QCOMPARE(m_log->lineCount(), 2);
    // A few lines go in at once: nothing was queued, so nothing to signal.
    m_log->replace({"z"});
    QCOMPARE(m_view->toPlainText(), QString("z"));
    QCOMPARE(caughtUp.size(), 2);
}

namespace {
bool shownOn(const LogView *view, qsizetype offset)
{
    return !view->characterRect(offset).isEmpty();
}
} // namespace

// Lines that come in while a person reads further up leave the view where it is; at the end,
// the view follows them.
void TestLog::followsTheEndOnlyThere()
{
    for (int i = 0; i < 100; ++i)
        m_log->append("line " + QString::number(i));
    QTRY_VERIFY(shownOn(m_view, m_view->toPlainText().size() - 1));
    QVERIFY(!shownOn(m_view, 1));
    const QScrollBar *bar = m_view->verticalScrollBar();
    // The scroll area shows its bar a turn of the event loop after the range grows.
    QTRY_VERIFY(bar->isVisible());
    QCOMPARE(bar->value(), bar->maximum());

    m_view->setFocus();
    QTest::keyClick(m_view, Qt::Key_Home, Qt::ControlModifier);
    QVERIFY(shownOn(m_view, 1));
    QCOMPARE(bar->value(), 0);
    const int before = bar->maximum();
    m_log->append("more");
    QTRY_COMPARE(bar->maximum(), before + 1);
    QVERIFY(shownOn(m_view, 1));
    QVERIFY(!shownOn(m_view, m_view->toPlainText().size() - 1));

    QTest::keyClick(m_view, Qt::Key_End, Qt::ControlModifier);
    m_log->append("last");
    QTRY_VERIFY(shownOn(m_view, m_view->toPlainText().size() - 1));
    QVERIFY(m_view->toPlainText().endsWith("line 99\nmore\nlast"));
}

// A command line longer than the view is high wraps, its end is shown, and the wheel moves
// through it row by row; a larger font wraps it anew.
void TestLog::longLinesWrapAndScrollByRows()
{
    const QString command = "ffmpeg -i \"/home/someone/Music/" + QString(300, 'a') +
                            ".wav\" -map 0:a:0 -ab 192k -ar 48000 -ac 2 -acodec ac3 -y out.ac3";
    m_log->replace({command});
    const qsizetype last = command.size() - 1;
    QTRY_VERIFY(shownOn(m_view, last));
    QVERIFY(!shownOn(m_view, 0));

    QWheelEvent up(QPointF(10, 10), m_view->mapToGlobal(QPointF(10, 10)), {}, {0, 120},
                   Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(m_view->viewport(), &up);
    QVERIFY(!shownOn(m_view, last));
    QVERIFY(!shownOn(m_view, 0));
    m_view->setFocus();
    QTest::keyClick(m_view, Qt::Key_Home, Qt::ControlModifier);
    QVERIFY(shownOn(m_view, 0));
    QCOMPARE(m_view->characterRect(20).top(), m_view->characterRect(0).top());

    QFont font = m_view->font();
    font.setPointSize(font.pointSize() * 2);
    m_view->setFont(font);
    QTRY_VERIFY(m_view->characterRect(20).top() > m_view->characterRect(0).top());
}

void TestLog::keysMoveAndSelect_data()
{
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<qsizetype>("cursor");

    // The text is "alpha beta\nalpaca end".
    const auto shift = Qt::KeyboardModifiers(Qt::ShiftModifier);
    const auto both = Qt::ShiftModifier | Qt::ControlModifier;
    QTest::newRow("a character") << qsizetype(0) << int(Qt::Key_Right) << shift << "a"
                                 << qsizetype(1);
    QTest::newRow("a word") << qsizetype(0) << int(Qt::Key_Right) << both << "alpha "
                            << qsizetype(6);
    QTest::newRow("back over a line end") << qsizetype(11) << int(Qt::Key_Left) << shift << "\n"
                                          << qsizetype(10);
    QTest::newRow("to the line's end")
        << qsizetype(2) << int(Qt::Key_End) << shift << "pha beta" << qsizetype(10);
    QTest::newRow("to the line's start")
        << qsizetype(21) << int(Qt::Key_Home) << shift << "alpaca end" << qsizetype(11);
    QTest::newRow("down a line, same column")
        << qsizetype(2) << int(Qt::Key_Down) << shift << "pha beta\nal" << qsizetype(13);
    QTest::newRow("up a line, same column")
        << qsizetype(13) << int(Qt::Key_Up) << shift << "pha beta\nal" << qsizetype(2);
    QTest::newRow("to the end") << qsizetype(3) << int(Qt::Key_End) << both << "ha beta\nalpaca end"
                                << qsizetype(21);
    QTest::newRow("a move without Shift selects nothing")
        << qsizetype(3) << int(Qt::Key_Right) << Qt::KeyboardModifiers() << "" << qsizetype(4);
    QTest::newRow("all") << qsizetype(4) << int(Qt::Key_A)
                         << Qt::KeyboardModifiers(Qt::ControlModifier) << "alpha beta\nalpaca end"
                         << qsizetype(21);
}

// The keys of a read-only text: the cursor moves, Shift selects, Ctrl+C copies what is selected.
void TestLog::keysMoveAndSelect()
{
    QFETCH(qsizetype, from);
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, selected);
    QFETCH(qsizetype, cursor);

    m_log->replace({"alpha beta", "alpaca end"});
    m_view->setFocus();
    m_view->setSelection(from, from);
    QTest::keyClick(m_view, Qt::Key(key), modifiers);
    QCOMPARE(m_view->selectedText(), selected);
    QCOMPARE(m_view->cursorPosition(), cursor);
    QGuiApplication::clipboard()->setText("before");
    QTest::keyClick(m_view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), selected.isEmpty() ? "before" : selected);
}

// Dragging selects, a double click takes a word, Shift and a click extend the selection.
void TestLog::mouseSelects()
{
    m_log->replace({"alpha beta", "alpaca end"});
    QTRY_VERIFY(shownOn(m_view, 0) && shownOn(m_view, 20));
    QWidget *area = m_view->viewport();
    const auto at = [this](qsizetype offset) {
        const QRect r = m_view->characterRect(offset);
        return QPoint(r.left(), r.center().y());
    };
    QTest::mousePress(area, Qt::LeftButton, {}, at(0));
    QMouseEvent drag(QEvent::MouseMove, at(8), area->mapToGlobal(at(8)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(area, &drag);
    QTest::mouseRelease(area, Qt::LeftButton, {}, at(8));
    QCOMPARE(m_view->selectedText(), QString("alpha be"));

    QTest::mouseDClick(area, Qt::LeftButton, {}, m_view->characterRect(7).center());
    QCOMPARE(m_view->selectedText(), QString("beta"));
    QTest::mouseClick(area, Qt::LeftButton, Qt::ShiftModifier, at(14));
    QCOMPARE(m_view->selectedText(), QString("beta\nalp"));
    QTest::mouseClick(area, Qt::LeftButton, {}, at(3));
    QCOMPARE(m_view->selectedText(), QString());
    QCOMPARE(m_view->cursorPosition(), 3);
}

// What a screen reader reads and selects in the log, through the view's text interface.
void TestLog::screenReaderReads()
{
    m_log->replace({"a\r\nb"});
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(m_view)->textInterface();
    int start = -1, end = -1;
    QCOMPARE(text->textAtOffset(2, QAccessible::LineBoundary, &start, &end), QString("b"));
    QCOMPARE(start, 2);
    QCOMPARE(end, 3);
    QCOMPARE(text->textBeforeOffset(2, QAccessible::LineBoundary, &start, &end), QString("a\n"));
    QCOMPARE(text->textAtOffset(0, QAccessible::WordBoundary, &start, &end), QString("a"));
    text->setSelection(0, 0, 3);
    QCOMPARE(m_view->selectedText(), QString("a\nb"));
    QCOMPARE(text->selectionCount(), 1);
    QVERIFY(!text->characterRect(0).isEmpty());
    QCOMPARE(text->offsetAtPoint(text->characterRect(2).center()), 2);
}

// The window goes with work still queued, or the log goes before its view.
void TestLog::eitherMayGoFirst()
{
    m_log->replace(chunks(2'000'000));
    m_log->replace(chunks(2'000'000));
    QVERIFY(m_log->busy());
    m_window.reset();

    auto *view = new LogView;
    Log log(view, nullptr);
    log.replace(chunks(2'000'000));
    log.replace(chunks(2'000'000));
    delete view;
    // What it still holds is let go of; nothing is drawn into a view that is gone.
    QTRY_VERIFY(!log.busy());

    LogView stays;
    auto *goes = new Log(&stays, nullptr);
    goes->replace(chunks(2'000'000));
    delete goes;
    stays.appendText(u"still usable");
    QVERIFY(stays.toPlainText().endsWith("still usable"));
}

QTEST_MAIN(TestLog)
#include "tst_log.moc"
