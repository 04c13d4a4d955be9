#include "application.h"
#include "endsignals.h"
#include "shown.h"
#include "unit1.h"

#include <QDir>
#include <QTimer>
#include <QUrl>

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    try {
        Tmain window;
        // A logout, kill or closed terminal ends the program as File > Exit does.
        EndSignals endSignals;
        QObject::connect(&endSignals, &EndSignals::endRequested, &window, &Tmain::endSession);
        window.show();
        if (qEnvironmentVariableIsSet("KELVANE_EXIT_WHEN_SHOWN"))
            reportWhenShown(&window);
        // "Open with Kelvane": a file from the desktop becomes the source, as if dropped.
        QList<QUrl> given;
        const QStringList args = QCoreApplication::arguments().mid(1);
        for (const QString &arg : args)
            given.append(QUrl::fromUserInput(arg, QDir::currentPath(), QUrl::AssumeLocalFile));
        const QString source = Tmain::firstLocalFile(given);
        if (!source.isEmpty())
            QTimer::singleShot(0, &window, [&window, source] {
                Application::guarded([&] { window.openSource(source); });
            });
        return Application::exec();
    } catch (...) {
        // The loop itself failed: show it like any other error, then end normally.
        Application::showCurrentException();
    }
    return 0;
}
