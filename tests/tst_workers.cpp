#include "command.h"
#include "fixtures.h"
#include "settled.h"
#include "testmain.h"
#include "thread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

// Everything one runner job reported.
struct RunResult
{
    QStringList replaced;
    QStringList appended;
    bool replacedCalled = false;
    bool convertingWhenOutputGiven = false;
    int handlerCalls = 0;
    bool handlerOnMainThread = false;
    bool workerWaitedForHandler = false;
    JobOutcome outcome;
    qint64 elapsedMs = 0;
};

FfmpegCommand shell(const QString &script)
{
    return {"sh", {"-c", script}};
}

// How a runner is set up before it starts; -1 keeps its default.
struct Limits
{
    qint64 waitMs = -1;
    int graceMs = -1;
};

// Runs one TTrad to its end on the real thread machinery; action runs once it has started.
RunResult runJob(QObject *receiver, const FfmpegCommand &cmd, Limits limits = {},
                 const std::function<void(TTrad *)> &action = {},
                 const TTrad::Finisher &finisher = {})
{
    RunResult r;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    converting = true;
    auto *runner = new TTrad(cmd);
    if (limits.waitMs >= 0)
        runner->setWaitLimitMs(limits.waitMs);
    if (limits.graceMs >= 0)
        runner->setGraceMs(limits.graceMs);
    runner->setFinisher(finisher);
    QObject::connect(
        runner, &TTrad::logReplaced, runner,
        [&r](const QStringList &lines) {
            r.replaced = lines;
            r.replacedCalled = true;
            r.convertingWhenOutputGiven = converting;
        },
        Qt::DirectConnection);
    QObject::connect(
        runner, &TTrad::logAppended, runner, [&r](const QString &l) { r.appended.append(l); },
        Qt::DirectConnection);
    runner->setOnTerminate(receiver, [&](TThread *sender) {
        ++r.handlerCalls;
        r.handlerOnMainThread = QThread::currentThread() == qApp->thread();
        r.workerWaitedForHandler = sender->isRunning();
        r.outcome = static_cast<TTrad *>(sender)->outcome();
        loop.quit();
    });
    runner->start();
    if (action)
        action(runner);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    r.elapsedMs = clock.elapsed();
    return r;
}

QList<int> sizes(const QStringList &lines)
{
    QList<int> result;
    for (const QString &l : lines)
        result.append(int(l.toUtf8().size()));
    return result;
}

} // namespace

class TestWorkers : public QObject
{
    Q_OBJECT
private slots:
    void runnerOutput_data();
    void runnerOutput();
    void runnerOutcome_data();
    void runnerOutcome();
    void convertingSpansTheChild();
    void stopEndsTheChild();
    void timeLimitStopsTheChild();
    void workThatThrowsFails_data();
    void workThatThrowsFails();
    void handlerRunsAfterException();
    void finishedWorkersAreReleased();
    void monitorFollowsTheFile();
};

// Real children through the real runner: what the log receives.
void TestWorkers::runnerOutput_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QList<int>>("chunkSizes");
    QTest::newRow("9000 bytes") << "head -c 9000 /dev/zero | tr '\\0' x"
                                << QList<int>{4000, 4000, 1000};
    QTest::newRow("exactly 8000") << "head -c 8000 /dev/zero | tr '\\0' x"
                                  << QList<int>{4000, 4000, 0};
    QTest::newRow("no output") << "true" << QList<int>{0};
    // Far more than a pipe holds: the child must not block before it ends.
    QTest::newRow("10 MB") << "head -c 10000000 /dev/zero | tr '\\0' x"
                           << (QList<int>(2500, 4000) << 0);
    QTest::newRow("stderr joins stdout") << "printf abc; printf def >&2" << QList<int>{6};
}

void TestWorkers::runnerOutput()
{
    QFETCH(QString, script);
    QFETCH(QList<int>, chunkSizes);
    const RunResult r = runJob(this, shell(script));
    QVERIFY(r.replacedCalled);
    QCOMPARE(sizes(r.replaced), chunkSizes);
    QCOMPARE(r.outcome.kind, JobOutcome::Success);
    QCOMPARE(r.handlerCalls, 1);
    QVERIFY(r.handlerOnMainThread);
    QVERIFY(r.workerWaitedForHandler);
    QVERIFY(!converting);
}

void TestWorkers::runnerOutcome_data()
{
    QTest::addColumn<QStringList>("programAndArguments");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("exit code") << QStringList{"sh", "-c", "printf 'bad input\\n'; exit 3"}
                               << int(JobOutcome::ExitCode) << "sh exited with code 3";
    QTest::newRow("killed") << QStringList{"sh", "-c", "kill -9 $$"} << int(JobOutcome::Crashed)
                            << "sh crashed or was killed";
    QTest::newRow("no such program")
        << QStringList{"kelvane-no-such-program"} << int(JobOutcome::FailedToStart)
        << "kelvane-no-such-program could not be started: ";
    // Standard input is the null device, so a child that reads it never waits.
    QTest::newRow("reads stdin") << QStringList{"sh", "-c", "cat; echo done"}
                                 << int(JobOutcome::Success) << "done\n";
}

void TestWorkers::runnerOutcome()
{
    QFETCH(QStringList, programAndArguments);
    QFETCH(int, kind);
    QFETCH(QString, lastLine);
    const RunResult r = runJob(this, {programAndArguments.first(), programAndArguments.mid(1)});
    QCOMPARE(int(r.outcome.kind), kind);
    QVERIFY(!converting);
    QCOMPARE(r.handlerCalls, 1);
    if (kind == JobOutcome::FailedToStart) {
        // Nothing ran, so the log keeps the command line and gets one line saying why.
        QVERIFY(!r.replacedCalled);
        QCOMPARE(r.appended.size(), 1);
        QVERIFY2(r.appended[0].startsWith(lastLine) && r.appended[0].size() > lastLine.size(),
                 qPrintable(r.appended[0]));
    } else {
        QVERIFY2(r.replaced.last() == lastLine, qPrintable(r.replaced.join('|')));
        if (kind == JobOutcome::ExitCode)
            QCOMPARE(r.replaced.first(), QString("bad input\n")); // the child's own words kept
    }
}

void TestWorkers::convertingSpansTheChild()
{
    bool duringChild = false;
    const RunResult r = runJob(this, shell("sleep 0.6; printf out"), {}, [&](TTrad *) {
        QTest::qWait(300);
        duringChild = converting;
    });
    QVERIFY(duringChild);
    QVERIFY(r.convertingWhenOutputGiven); // still true while the last chunk is handed over
    QVERIFY(!converting);
    QCOMPARE(r.replaced, QStringList{"out"});
}

void TestWorkers::stopEndsTheChild()
{
    // An odd length to tell this sleep from any other.
    const QString marker = "30.271";
    const RunResult r =
        runJob(this, shell("printf started; exec sleep " + marker), {}, [&](TTrad *runner) {
            // Once the shell has become sleep, it has written its word.
            QTRY_VERIFY(fixtures::processWith(marker, "sleep"));
            runner->stop();
        });
    QCOMPARE(r.outcome.kind, JobOutcome::Stopped);
    QVERIFY2(r.elapsedMs < 3000, qPrintable(QString::number(r.elapsedMs)));
    QCOMPARE(r.replaced, (QStringList{"started", "sh was stopped by the user"}));
    QVERIFY(!fixtures::processWith(marker));

    // A child that ignores the polite request is killed after the grace period; its sleep
    // starts once the request is ignored.
    const RunResult stubborn = runJob(this, shell("trap '' TERM; printf x; sleep 29.517 & wait"),
                                      {-1, 200}, [](TTrad *runner) {
                                          QTRY_VERIFY(fixtures::processWith("29.517", "sleep"));
                                          runner->stop();
                                      });
    QCOMPARE(stubborn.outcome.kind, JobOutcome::Stopped);
    QVERIFY2(stubborn.elapsedMs < 3000, qPrintable(QString::number(stubborn.elapsedMs)));
    QCOMPARE(stubborn.replaced, (QStringList{"x", "sh was stopped by the user"}));
    if (const int orphan = fixtures::processWith("29.517", "sleep"))
        ::kill(orphan, SIGKILL);
}

void TestWorkers::timeLimitStopsTheChild()
{
    const RunResult r = runJob(this, shell("exec sleep 30"), {300});
    QCOMPARE(r.outcome.kind, JobOutcome::TimedOut);
    QVERIFY(r.elapsedMs < 3000);
    QCOMPARE(r.replaced.last(), QString("sh did not end within 300 ms and was stopped"));
}

// Whatever the work throws, the job ends as a failure with the reason, never as a success.
void TestWorkers::workThatThrowsFails_data()
{
    QTest::addColumn<bool>("anException");
    QTest::addColumn<QString>("error");
    QTest::newRow("exception") << true << "disk on fire";
    QTest::newRow("not an exception") << false << "the conversion ended by an unknown error";
}

void TestWorkers::workThatThrowsFails()
{
    QFETCH(bool, anException);
    QFETCH(QString, error);
    const RunResult r = runJob(this, shell("printf out"), {}, {},
                               [&](JobOutcome &, const QByteArray &) -> TTrad::Ending {
                                   if (anException)
                                       throw std::runtime_error("disk on fire");
                                   throw 42;
                               });
    QCOMPARE(r.outcome.kind, JobOutcome::OutputProblem);
    QCOMPARE(r.outcome.error, error);
    QCOMPARE(r.replaced, (QStringList{"out", error}));
    QCOMPARE(r.handlerCalls, 1);
    QVERIFY(!converting);
}

namespace {
class Thrower final : public TSortThread
{
public:
    explicit Thrower(const QString &text) : TSortThread(text) {}

protected:
    void DoWork() override { throw std::runtime_error("boom"); }
};
} // namespace

void TestWorkers::handlerRunsAfterException()
{
    QString text = "copied";
    QEventLoop loop;
    QString seen;
    auto *thrower = new Thrower(text);
    text = "changed"; // the worker has its own copy
    thrower->setOnTerminate(this, [&](TThread *sender) {
        seen = static_cast<TSortThread *>(sender)->argv();
        loop.quit();
    });
    thrower->start();
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    QCOMPARE(seen, QString("copied"));
}

// Job after job, no thread, thread object or open file is left behind.
void TestWorkers::finishedWorkersAreReleased()
{
    QList<QPointer<TThread>> workers;
    int threadsAfterFirst = 0;
    int filesAfterFirst = 0;
    for (int i = 0; i < 100; ++i) {
        QEventLoop loop;
        converting = true;
        auto *runner = new TTrad(shell("printf x"));
        runner->setOnTerminate(this, [&](TThread *) { loop.quit(); });
        workers.append(runner);
        runner->start();
        QPointer<TThread> monitor = new TBar("/nonexistent");
        workers.append(monitor);
        monitor->start();
        loop.exec();
        if (monitor)
            monitor->wait();
        QTRY_VERIFY(std::all_of(workers.begin(), workers.end(),
                                [](const QPointer<TThread> &w) { return w.isNull(); }));
        if (i == 0) {
            threadsAfterFirst = settledEntries("/proc/self/task");
            filesAfterFirst = settledEntries("/proc/self/fd");
        }
    }
    QCOMPARE(settledEntries("/proc/self/task"), threadsAfterFirst);
    QCOMPARE(settledEntries("/proc/self/fd"), filesAfterFirst);
}

void TestWorkers::monitorFollowsTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("growing.ac3");
    converting = true;
    QList<qint64> seen;
    bool endAtNextPoll = false;
    QFile file(path);
    QElapsedTimer clock;
    std::atomic<qint64> endedAfter{-1};
    QPointer<TBar> monitor = new TBar(path);
    // On the worker's thread, as it ends; the monitor deletes itself right after.
    connect(
        monitor, &QThread::finished, this, [&] { endedAfter = clock.elapsed(); },
        Qt::DirectConnection);
    connect(monitor, &TBar::sizeMeasured, this, [&](qint64 size) {
        seen.append(size);
        if (std::exchange(endAtNextPoll, false)) {
            file.write(QByteArray(1000, 'b')); // the encoder's last write
            file.flush();
            clock.start();
            endConverting();
        }
    });
    monitor->start();
    QTest::qWait(350); // no file yet: nothing is reported
    QCOMPARE(seen, QList<qint64>());

    QVERIFY(file.open(QIODevice::WriteOnly));
    for (int i = 1; i <= 5; ++i) {
        file.write(QByteArray(1000, 'a'));
        file.flush();
        QTest::qWait(150);
    }
    QTRY_COMPARE(seen.last(), qint64(5000));
    QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    QVERIFY(seen.contains(1000) || seen.contains(2000));

    // Right after a poll the monitor has a whole poll's sleep ahead: the job's end cuts it.
    endAtNextPoll = true;
    QTRY_VERIFY_WITH_TIMEOUT(clock.isValid(), 1000);
    QTRY_VERIFY_WITH_TIMEOUT(endedAfter >= 0, 1000);
    QVERIFY2(endedAfter < 50, qPrintable(QString::number(endedAfter)));
    QTRY_COMPARE(seen.last(), qint64(6000)); // measured once more after the end
}

KELVANE_TEST_MAIN(QCoreApplication, TestWorkers)

#include "tst_workers.moc"
