#pragma once

// The real window driven by a test: its dialogs, notices and questions answered here.

#include "fixtures.h"
#include "outputfile.h"
#include "scriptedprompts.h"
#include "thread.h"
#include "unit1.h"

#include "logview.h"
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

// Waits for the window's probe of its source to end; false if it did not within the time.
inline bool probed(const Tmain &window, int timeoutMs = fixtures::scaled(60000))
{
    return QTest::qWaitFor([&] { return !window.probing(); }, timeoutMs);
}

// A window whose dialogs and notices are answered by the test.
struct Harness
{
    Harness()
    {
        prompts.onNotice = [this](const QString &) {
            barAtNotice = window.bar->value();
            convertingAtNotice = converting;
            logAtNotice = log();
        };
        window.setPrompts(prompts);
    }

    // Returns once the source has been read.
    void chooseSource(const QString &path)
    {
        prompts.open = path;
        QTest::mouseClick(window.Button2, Qt::LeftButton);
        probed(window);
    }
    void chooseOutput(const QString &path)
    {
        prompts.save = path;
        QTest::mouseClick(window.Button3, Qt::LeftButton);
    }
    void convert() { QTest::mouseClick(window.Button1, Qt::LeftButton); }
    // Waits for the job's notice.
    bool finish(int timeoutMs = fixtures::scaled(60000))
    {
        const qsizetype before = notices.size();
        // The notice follows the job's end once the log holds the whole output.
        return QTest::qWaitFor([&] { return !window.jobRunning() && notices.size() > before; },
                               timeoutMs) &&
               notices.size() == before + 1;
    }
    QString log() const { return window.ResultsRE->toPlainText(); }

    // Outlives the window, which shows its error boxes through it to the end.
    ScriptedPrompts prompts;
    QStringList &notices = prompts.notices;
    Tmain window;
    int barAtNotice = -1;
    bool convertingAtNotice = true;
    QString logAtNotice;
};

// The encoder writing path: named in its arguments, or writing the job's new file for it.
inline int encoderFor(const QString &path)
{
    const QFileInfo info(path);
    const QString part = info.absolutePath() + "/" + OutputFile::partPrefix(info.fileName());
    const int named = fixtures::processWith(path, "ffmpeg");
    return named ? named : fixtures::processWith(part, "ffmpeg");
}

inline bool ffmpegRunningWith(const QString &marker)
{
    return fixtures::processWith(marker) != 0 || encoderFor(marker) != 0;
}

// Convert through to the notice, timed: how long it took and the longest the event loop was
// kept from running meanwhile.
struct TimedJob
{
    bool finished = false;
    qint64 tookMs = 0;
    qint64 longestGap = 0;
};

inline TimedJob timedJob(Harness &h)
{
    TimedJob timed;
    QElapsedTimer beat;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { timed.longestGap = std::max(timed.longestGap, beat.restart()); });
    QElapsedTimer clock;
    clock.start();
    beat.start();
    ticker.start();
    h.convert();
    timed.finished = h.finish();
    timed.tookMs = clock.elapsed();
    return timed;
}

// Starts a long job and waits until its output grows.
inline bool startLiveJob(Harness &h, const QString &fifo, const QString &out)
{
    h.window.importmedia->setFileName(fifo);
    h.window.saveaudio->setFileName(out);
    h.window.estimatedkb = 600 * 192 / 8;
    h.window.show();
    h.convert();
    return QTest::qWaitFor([&] { return h.window.bar->value() > 0; }, 10000) &&
           h.window.jobRunning() && ffmpegRunningWith(out);
}
