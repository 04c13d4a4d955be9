#include "fakemedia.h"
#include "log.h"
#include "mediainfo.h"
#include "unit1.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
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
    void replacedTextsAreReleased();
    void lookSurvivesReplacement();
    void eitherMayGoFirst();

private:
    std::unique_ptr<Tmain> m_window;
    Log *m_log = nullptr;
    QPlainTextEdit *m_view = nullptr;
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

// The texts a replacement takes off the view are emptied and deleted in the background.
void TestLog::replacedTextsAreReleased()
{
    m_log->replace(chunks(3'000'000));
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->busy(), 20'000);
    const QPointer<QTextDocument> first = m_view->document();
    m_log->replace(chunks(1'000'000));
    const QPointer<QTextDocument> second = m_view->document();
    m_log->replace({"done"});
    QVERIFY(first && second && first != second);
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull() && second.isNull(), 20'000);
    QCOMPARE(m_view->toPlainText(), QString("done"));
}

// A new text looks like the one it replaces: font, wrapping and margins.
void TestLog::lookSurvivesReplacement()
{
    QFont font = m_view->font();
    font.setPointSize(font.pointSize() + 5);
    m_view->setFont(font);
    const QTextDocument *before = m_view->document();
    const QFont docFont = before->defaultFont();
    const QTextOption::WrapMode wrap = before->defaultTextOption().wrapMode();
    const qreal margin = before->documentMargin();
    m_log->replace({"a long line that wraps " + QString(200, 'x')});
    const QTextDocument *after = m_view->document();
    QVERIFY(after != before);
    QCOMPARE(after->defaultFont(), docFont);
    QCOMPARE(after->defaultFont().pointSize(), font.pointSize());
    QCOMPARE(after->defaultTextOption().wrapMode(), wrap);
    QCOMPARE(wrap, QTextOption::WrapAtWordBoundaryOrAnywhere);
    QCOMPARE(after->documentMargin(), margin);
    QVERIFY(m_view->isReadOnly());
    // The wrapped line takes several lines of the view.
    QTRY_VERIFY(after->firstBlock().layout()->lineCount() > 1);
}

// The window goes with work still queued, or the log goes before its view.
void TestLog::eitherMayGoFirst()
{
    m_log->replace(chunks(2'000'000));
    m_log->replace(chunks(2'000'000));
    QVERIFY(m_log->busy());
    m_window.reset();

    auto *view = new QPlainTextEdit;
    Log log(view, nullptr);
    log.replace(chunks(2'000'000));
    log.replace(chunks(2'000'000));
    delete view;
    // What it still holds is let go of; nothing is drawn into a view that is gone.
    QTRY_VERIFY(!log.busy());

    QPlainTextEdit stays;
    auto *goes = new Log(&stays, nullptr);
    goes->replace(chunks(2'000'000));
    delete goes;
    stays.appendPlainText("still usable");
    QCOMPARE(stays.toPlainText(), QString("still usable"));
}

QTEST_MAIN(TestLog)
#include "tst_log.moc"
