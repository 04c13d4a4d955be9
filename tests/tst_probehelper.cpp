// The probe's library calls in the helper process: files that crash, hang or exhaust
// libmediainfo fail the probe with a clear message and leave the window working; the helper
// stays warm, is replaced after a failure and never outlives the window.
#include "application.h"
#include "fixtures.h"
#include "kelvaneerror.h"
#include "mediainfo.h"
#include "probeprotocol.h"
#include "scriptedprompts.h"
#include "testmain.h"
#include "unit1.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED 1
#endif

using namespace std::chrono_literals;

namespace {

const QString damaged = QStringLiteral(KELVANE_SOURCE_DIR "/tests/damaged/");
constexpr int limitMs = HelperMediaInfo::TimeLimitSeconds * 1000;
// The limit the window's helper is given here, so that a hang costs less than the default
// (which the real program shows below); still ample for a file the library reads to its end.
constexpr int browseLimitSeconds = 3;

// The running child of parent whose program name is name; 0 if there is none.
qint64 childNamed(qint64 parent, const QByteArray &name)
{
    return fixtures::processWhose("stat", [&](const QByteArray &stat) {
        // pid (comm) state ppid ...
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
        return stat.mid(open + 1, close - open - 1) == name && rest.size() > 1 && rest[0] != "Z" &&
               rest[1].toLongLong() == parent;
    });
}

// Gone, or dead and only waiting for whoever adopted it to reap it.
bool processGone(qint64 pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return true;
    const QByteArray stat = f.readAll();
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// The processor time pid has used so far, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // After "(comm) ", user and system time are the 12th and 13th fields.
    const QList<QByteArray> rest = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (rest.size() < 13)
        return 0;
    return double(rest[11].toLongLong() + rest[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// A window with the real helper, whose source dialog answers with the path browsed.
struct Window
{
    Window()
    {
        auto library = std::make_unique<HelperMediaInfo>();
        helper = library.get();
        window = std::make_unique<Tmain>(std::move(library));
        window->setPrompts(prompts);
    }
    Q_DISABLE_COPY_MOVE(Window)

    void browse(const QString &path)
    {
        prompts.open = path;
        QTest::mouseClick(window->Button2, Qt::LeftButton);
    }

    ScriptedPrompts prompts;
    QStringList &errors = prompts.errors;
    HelperMediaInfo *helper;
    std::unique_ptr<Tmain> window;
};

// The message each damaged file ends in, and whether it is the time limit that ends it.
void damagedRows()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("timesOut");
    // No full stop after a closing quote: it counts as punctuation.
    const QString crash = "The MediaInfo library crashed while reading '%1'";
    const QString hang = "The MediaInfo library did not finish reading '%1' within " +
                         QString::number(browseLimitSeconds) + " s.";
    const QString memory = "The MediaInfo library ran out of memory while reading '%1'";
    QTest::newRow("divides by zero") << "divide-by-zero.mxf" << crash << false;
    QTest::newRow("loops forever") << "endless-loop.mp3" << hang << true;
    QTest::newRow("allocates without end") << "runaway-memory.mp4" << memory << false;
    QTest::newRow("counts samples for minutes") << "slow-parse-sample-times.mp4" << hang << true;
    QTest::newRow("sizes a fragment's samples") << "runaway-memory-fragment.mp4" << memory << false;
    QTest::newRow("loops over encoder options") << "endless-loop-x264-options.mp4" << hang << true;
}

// A virtual X server of the test's own, on a free display.
class Xvfb
{
public:
    Xvfb()
    {
        m_server.start("Xvfb",
                       {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        if (m_server.waitForReadyRead(10000))
            m_display = ":" + QString::fromLatin1(m_server.readLine()).trimmed();
    }
    ~Xvfb()
    {
        m_server.kill();
        m_server.waitForFinished();
    }
    Q_DISABLE_COPY_MOVE(Xvfb)

    QString display() const { return m_display; }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", m_display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        return env;
    }
    // Runs an X tool on this display; its output, or a null array when it failed.
    QByteArray tool(const QString &program, const QStringList &arguments,
                    int timeoutMs = 30000) const
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(program, arguments);
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return {};
        }
        const QByteArray out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0
                   ? (out.isNull() ? QByteArray("") : out)
                   : QByteArray();
    }

private:
    QProcess m_server;
    QString m_display;
};

bool haveXTools()
{
    for (const char *tool : {"Xvfb", "xdotool"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return false;
    }
    return true;
}

QString kelvaneProgram()
{
    return QCoreApplication::applicationDirPath() + "/../kelvane";
}

} // namespace

class TestProbeHelper : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void frames();
    void requestsAgainstTheRealLibrary();
    void missingHelper();
    void warmReusedAndReplaced();
    void damagedThroughBrowse_data() { damagedRows(); }
    void damagedThroughBrowse();
    void damagedOnTheCommandLine_data() { damagedRows(); }
    void damagedOnTheCommandLine();
    void helperEndsWithKelvane_data();
    void helperEndsWithKelvane();

private:
    QTemporaryDir m_dir;
    QString m_wav5;
    QString m_wav3;
};

void TestProbeHelper::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_wav5 = m_dir.filePath("five seconds.wav");
    m_wav3 = m_dir.filePath("three.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(5), m_wav5));
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3), m_wav3));
}

void TestProbeHelper::frames()
{
    using namespace probeprotocol;
    const Request sent{Op::Get, 2, 7, 1, "StreamOrder"};
    QByteArray wire = encode(sent) + encode(Request{Op::Close, 0, 7, 0, {}});
    // Arriving a byte at a time, a frame is taken only once it is whole.
    QByteArray buffer;
    QList<Request> got;
    for (char c : std::as_const(wire)) {
        buffer.append(c);
        while (const auto r = takeRequest(buffer))
            got.append(*r);
    }
    QCOMPARE(got.size(), 2);
    QCOMPARE(got[0].op, Op::Get);
    QCOMPARE(got[0].kind, quint8(2));
    QCOMPARE(got[0].handle, 7u);
    QCOMPARE(got[0].stream, 1u);
    QCOMPARE(got[0].text, QByteArray("StreamOrder"));
    QCOMPARE(got[1].op, Op::Close);
    QVERIFY(buffer.isEmpty());

    QByteArray reply = encode(Reply{Status::Error, 0, "no"});
    QCOMPARE(takeReply(reply)->text, QByteArray("no"));

    // Garbage is refused, never waited for or allocated.
    QByteArray unknown = encode(sent);
    unknown[0] = 9;
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, takeRequest(unknown));
    QByteArray huge = encode(Request{Op::Open, 0, 0, 0, {}});
    const quint32 tooLong = MaxRequestText + 1;
    std::memcpy(huge.data() + 12, &tooLong, 4);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, takeRequest(huge));
}

// The helper's request handling on the real library: answers as the library gives them, and
// requests it cannot answer refused with a reason.
void TestProbeHelper::requestsAgainstTheRealLibrary()
{
    using namespace probeprotocol;
    LibMediaInfo library;
    Server server(library);
    const Reply opened = server.handle({Op::Open, 0, 0, 0, QFile::encodeName(m_wav5)});
    QCOMPARE(opened.status, Status::Ok);
    const auto ask = [&](quint8 kind, quint32 stream, const QByteArray &parameter,
                         quint32 handle = 0) {
        return server.handle({Op::Get, kind, handle ? handle : opened.handle, stream, parameter});
    };
    QCOMPARE(ask(2, 0, "Codec").text, QByteArray("PCM"));
    QCOMPARE(ask(2, 0, "SamplingRate").text, QByteArray("48000"));
    QCOMPARE(ask(0, 0, "PlayTime").text, QByteArray("5000"));
    QCOMPARE(ask(2, 0, "NoSuchParameter").text, QByteArray(""));
    QCOMPARE(ask(2, 1, "Codec").status, Status::Error);
    QCOMPARE(ask(7, 0, "Codec").status, Status::Error);
    QCOMPARE(ask(2, 0, "Codec", opened.handle + 1).status, Status::Error);
    QCOMPARE(server.handle({Op::Close, 0, opened.handle, 0, {}}).status, Status::Ok);
    QCOMPARE(ask(2, 0, "Codec").status, Status::Error); // closed
}

void TestProbeHelper::missingHelper()
{
    HelperMediaInfo library(m_dir.filePath("no-such-helper"));
    try {
        library.open("x");
        QFAIL("opened");
    } catch (const KelvaneError &e) {
        QCOMPARE(e.message(), QString("The probe helper '%1' could not be started")
                                  .arg(m_dir.filePath("no-such-helper")));
    }
    QCOMPARE(library.processId(), 0);
}

void TestProbeHelper::warmReusedAndReplaced()
{
    Window w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    // Nothing starts with the window.
    QCOMPARE(w.helper->processId(), 0);
    QCOMPARE(childNamed(QCoreApplication::applicationPid(), "kelvane-probe"), 0);

    w.browse(m_wav5);
    const qint64 first = w.helper->processId();
    QVERIFY(first > 0);
    QCOMPARE(childNamed(QCoreApplication::applicationPid(), "kelvane-probe"), first);
    w.browse(m_wav3);
    QCOMPARE(w.helper->processId(), first);
    QCOMPARE(w.window->durationsec, 3);

    // Killed from outside while idle: the next probe quietly gets a new helper.
    QCOMPARE(::kill(pid_t(first), SIGKILL), 0);
    QTRY_VERIFY(processGone(first) ||
                childNamed(QCoreApplication::applicationPid(), "kelvane-probe") == 0);
    w.browse(m_wav5);
    QCOMPARE(w.errors, QStringList());
    QCOMPARE(w.window->durationsec, 5);
    QVERIFY(w.helper->processId() != first);
}

void TestProbeHelper::damagedThroughBrowse()
{
    QFETCH(QString, file);
    QFETCH(QString, message);
    QFETCH(bool, timesOut);
#ifdef SANITIZED
    if (file.startsWith("runaway"))
        QSKIP("sanitizer builds run the helper without its address-space limit");
#endif
    Window w;
    w.helper->setTimeLimitSeconds(browseLimitSeconds);
    const int browseLimitMs = browseLimitSeconds * 1000;
    w.window->show();
    w.browse(m_wav5);
    QCOMPARE(w.errors, QStringList());
    const QString info = w.window->audioinfo->text();
    const qint64 helper = w.helper->processId();

    const QString path = damaged + file;
    QElapsedTimer t;
    t.start();
    w.browse(path);
    const qint64 took = t.elapsed();
    QCOMPARE(w.errors, QStringList{message.arg(path)});
    QVERIFY2(timesOut ? took >= browseLimitMs && took < browseLimitMs + 3000 : took < browseLimitMs,
             qPrintable(QString::number(took)));
    // As after any failed probe: the new name shown, everything else as it was.
    QCOMPARE(w.window->audiosource->text(), path);
    QCOMPARE(w.window->audioinfo->text(), info);
    QCOMPARE(w.window->outputsize->text(), QString("Output filesize: 120 KB"));
    QCOMPARE(w.window->durationsec, 5);
    QCOMPARE(w.window->estimatedkb, 120);
    // The broken helper is gone and nothing runs in its place until the next probe.
    QVERIFY(processGone(helper));
    QCOMPARE(w.helper->processId(), 0);

    // The window goes on: the estimate follows the bitrate, and a good file probes right.
    w.window->audiobitrate->setCurrentText("448");
    QCOMPARE(w.window->outputsize->text(), QString("Output filesize: 280 KB"));
    w.browse(m_wav3);
    QCOMPARE(w.errors.size(), 1);
    QCOMPARE(w.window->audiosource->text(), m_wav3);
    QVERIFY2(w.window->audioinfo->text().startsWith("PCM 48000rate 2channels "),
             qPrintable(w.window->audioinfo->text()));
    QVERIFY(w.window->audioinfo->text().endsWith("bitrate 3sec"));
    QCOMPARE(w.window->durationsec, 3);
    QCOMPARE(w.window->estimatedkb, 168);
    QVERIFY(w.helper->processId() > 0);
}

// The real program, given the file by the desktop ("Open with"), on a real X server: the error
// box within the limit, the program alive, and usable afterwards.
// Its text is not to be read from outside (Qt copies a message box's text on Windows only); the
// Browse case above reads it through the same window class.
void TestProbeHelper::damagedOnTheCommandLine()
{
    QFETCH(QString, file);
    QFETCH(bool, timesOut);
    if (!haveXTools())
        QSKIP("needs Xvfb and xdotool (scripts/deps.sh installs them)");
#ifdef SANITIZED
    if (file.startsWith("runaway"))
        QSKIP("sanitizer builds run the helper without its address-space limit");
#endif
    Xvfb x;
    QVERIFY(!x.display().isEmpty());
    const QString path = damaged + file;
    QProcess kelvane;
    kelvane.setProcessEnvironment(x.environment());
    QElapsedTimer t;
    t.start();
    kelvane.start(kelvaneProgram(), {path});
    QVERIFY(kelvane.waitForStarted());

    // The error box carries the application's title; the main window a longer one.
    const QByteArray box =
        x.tool("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Kelvane$"},
               limitMs + 20000)
            .trimmed();
    const qint64 took = t.elapsed();
    QVERIFY2(!box.isEmpty(), "no error box");
    QVERIFY2(timesOut ? took >= limitMs && took < limitMs + 10000 : took < limitMs,
             qPrintable(QString::number(took)));
    QCOMPARE(kelvane.state(), QProcess::Running);
    QCOMPARE(childNamed(kelvane.processId(), "kelvane-probe"), 0);

    // Dismissed, the window answers the keyboard: Ctrl+Q ends the program normally.
    QVERIFY(!x.tool("xdotool", {"key", "Return"}).isNull());
    QTRY_VERIFY(x.tool("xdotool", {"search", "--onlyvisible", "--name", "^Kelvane$"}).isNull());
    const QByteArray main =
        x.tool("xdotool", {"search", "--sync", "--name", "Kelvane Beta Build 3"}).trimmed();
    QVERIFY(!main.isEmpty());
    QVERIFY(!x.tool("xdotool", {"windowfocus", "--sync", main.split('\n').first()}).isNull());
    QVERIFY(!x.tool("xdotool", {"key", "--clearmodifiers", "ctrl+q"}).isNull());
    QVERIFY(kelvane.waitForFinished(20000));
    QCOMPARE(kelvane.exitStatus(), QProcess::NormalExit);
    QCOMPARE(kelvane.exitCode(), 0);
}

void TestProbeHelper::helperEndsWithKelvane_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("killed");
    QTest::newRow("quit") << m_wav5 << false;
    QTest::newRow("killed while idle") << m_wav5 << true;
    // Busy, the helper never sees its end of the pipe close: only the parent-death signal ends
    // it, and the window that would enforce the time limit is gone.
    QTest::newRow("killed while reading") << damaged + "endless-loop.mp3" << true;
}

// The real program: its helper ends with it, however it ends.
void TestProbeHelper::helperEndsWithKelvane()
{
    QFETCH(QString, file);
    QFETCH(bool, killed);
    if (!haveXTools())
        QSKIP("needs Xvfb and xdotool (scripts/deps.sh installs them)");
    Xvfb x;
    QVERIFY(!x.display().isEmpty());
    QProcess kelvane;
    kelvane.setProcessEnvironment(x.environment());
    kelvane.start(kelvaneProgram(), {file});
    QVERIFY(kelvane.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(childNamed(kelvane.processId(), "kelvane-probe") != 0, 20000);
    const qint64 helper = childNamed(kelvane.processId(), "kelvane-probe");
    if (file.endsWith("endless-loop.mp3")) {
        // Far past the library's set-up and any real reading: it is in the loop.
        QTRY_VERIFY_WITH_TIMEOUT(cpuSeconds(helper) >= 0.5, limitMs - 2000);
    }

    if (killed) {
        QCOMPARE(::kill(pid_t(kelvane.processId()), SIGKILL), 0);
    } else {
        const QByteArray main =
            x.tool("xdotool", {"search", "--sync", "--name", "Kelvane Beta Build 3"}).trimmed();
        QVERIFY(!x.tool("xdotool", {"windowfocus", "--sync", main.split('\n').first()}).isNull());
        QVERIFY(!x.tool("xdotool", {"key", "--clearmodifiers", "ctrl+q"}).isNull());
    }
    QVERIFY(kelvane.waitForFinished(20000));
    QCOMPARE(kelvane.exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
    QTRY_VERIFY(processGone(helper));
}

KELVANE_TEST_MAIN(Application, TestProbeHelper)

#include "tst_probehelper.moc"
