// The encoder's command: the argument list that is started and the line the log shows.
#include "command.h"
#include "formats.h"
#include "testmain.h"

#include <QtTest>

namespace {

// The window's choices in the order of its controls, then the stream (may be empty).
FfmpegCommand build(const QStringList &c)
{
    return command::build({.source = c[0],
                           .output = c[5],
                           .format = c[4],
                           .bitrate = c[1],
                           .rate = c[2],
                           .channels = c[3],
                           .stream = c.value(6)});
}

} // namespace

class TestCommand : public QObject
{
    Q_OBJECT
private slots:
    void build_data();
    void build();
};

void TestCommand::build_data()
{
    QTest::addColumn<QStringList>("choices"); // source, bitrate, rate, channels, format, output
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("line");
    QTest::newRow("start-up choices")
        << QStringList{"in.mpg", "192", "48000", "2", "AC3", "out.ac3"}
        << QStringList{"-loglevel", "verbose", "-i", "in.mpg",  "-ab", "192k", "-ar",
                       "48000",     "-ac",     "2",  "-acodec", "ac3", "-y",   "out.ac3"}
        << R"(ffmpeg -loglevel verbose -i "in.mpg" -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "out.ac3")";
    QTest::newRow("mp2 384 44100")
        << QStringList{"in.mpg", "384", "44100", "2", "MP2", "out.ac3"}
        << QStringList{"-loglevel", "verbose", "-i", "in.mpg",  "-ab", "384k", "-ar",
                       "44100",     "-ac",     "2",  "-acodec", "mp2", "-y",   "out.ac3"}
        << R"(ffmpeg -loglevel verbose -i "in.mpg" -ab 384k -ar 44100 -ac 2 -acodec mp2 -y "out.ac3")";
    // Paths are arguments of their own, untouched; only the log line quotes them.
    QTest::newRow("blanks stay")
        << QStringList{"a b.wav", "64", "48000", "2", "AC3", "/t/x y.ac3"}
        << QStringList{"-loglevel", "verbose", "-i", "a b.wav", "-ab", "64k", "-ar",
                       "48000",     "-ac",     "2",  "-acodec", "ac3", "-y",  "/t/x y.ac3"}
        << R"(ffmpeg -loglevel verbose -i "a b.wav" -ab 64k -ar 48000 -ac 2 -acodec ac3 -y "/t/x y.ac3")";
    QTest::newRow("quotes and dollars")
        << QStringList{R"(-"q" $HOME.wav)", "192", "48000", "2", "AC3", "ü.ac3"}
        << QStringList{"-loglevel", "verbose", "-i", R"(-"q" $HOME.wav)", "-ab", "192k", "-ar",
                       "48000",     "-ac",     "2",  "-acodec",           "ac3", "-y",   "ü.ac3"}
        << R"(ffmpeg -loglevel verbose -i "-"q" $HOME.wav" -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "ü.ac3")";
    QTest::newRow("stream chosen")
        << QStringList{"in.ts", "192", "48000", "2", "AC3", "out.ac3", "0:a:i:336"}
        << QStringList{"-loglevel", "verbose", "-i",  "in.ts",  "-map", "0:a:i:336",
                       "-ab",       "192k",    "-ar", "48000",  "-ac",  "2",
                       "-acodec",   "ac3",     "-y",  "out.ac3"}
        << R"(ffmpeg -loglevel verbose -i "in.ts" -map 0:a:i:336 -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "out.ac3")";
    // Paths are quoted by their place in the list, whatever they read.
    QTest::newRow("paths that read like options")
        << QStringList{"-y", "192", "48000", "2", "AC3", "-i"}
        << QStringList{"-loglevel", "verbose", "-i", "-y",      "-ab", "192k", "-ar",
                       "48000",     "-ac",     "2",  "-acodec", "ac3", "-y",   "-i"}
        << R"(ffmpeg -loglevel verbose -i "-y" -ab 192k -ar 48000 -ac 2 -acodec ac3 -y "-i")";
}

void TestCommand::build()
{
    QFETCH(QStringList, choices);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    const FfmpegCommand cmd = ::build(choices);
    QCOMPARE(cmd.program, QString("ffmpeg"));
    QCOMPARE(cmd.arguments, arguments);
    QCOMPARE(cmd.line(), line);
}

KELVANE_TEST_MAIN(QCoreApplication, TestCommand)

#include "tst_command.moc"
