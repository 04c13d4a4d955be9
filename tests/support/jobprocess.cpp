// One conversion job in a process of its own, for the tests that need a second Kelvane, or one
// that is signalled, killed or loses its display: jobprocess SOURCE OUTPUT. Prints the job's
// log lines and at its end "outcome: " and the outcome; ends as the program does on SIGTERM,
// SIGHUP and SIGINT. A window is shown, so that on X11 the display's loss ends the process the
// way it ends the program.
#include "command.h"
#include "endsignals.h"
#include "job.h"

#include <QApplication>
#include <QWidget>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;
    JobSettings s;
    s.choices = {.source = args[1],
                 .output = args[2],
                 .format = QStringLiteral("AC3"),
                 .bitrate = QStringLiteral("192"),
                 .rate = QStringLiteral("48000"),
                 .channels = QStringLiteral("2"),
                 .stream = {}};
    s.command = command::build(s.choices);
    QWidget window;
    window.show();
    ConversionJob job(s);
    job.setGraceMs(500);
    EndSignals ends;
    QObject::connect(&ends, &EndSignals::endRequested, &job, &ConversionJob::stop);
    const auto print = [](const QString &line) {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    };
    QObject::connect(&job, &ConversionJob::logAppended, print);
    QObject::connect(&job, &ConversionJob::logReplaced, [&](const QStringList &lines) {
        for (const QString &line : lines)
            print(line);
    });
    QObject::connect(&job, &ConversionJob::finished, [&](const JobOutcome &outcome) {
        print(QStringLiteral("outcome: ") +
              (outcome.succeeded() ? QStringLiteral("Finished") : outcome.describe()));
        QCoreApplication::quit();
    });
    job.start();
    return QApplication::exec();
}
