// Drives the real window through one conversion on a real X screen and saves a picture of the
// screen while the completion notice is up: snapshot_job [OPTIONS] SOURCE.wav OUTPUT.ac3
// PICTURE.png. Or pictures the idle window: snapshot_job [OPTIONS] PICTURE.png
// Options: --font PT (the desktop font at another size), --family NAME (another desktop font),
// --dark (a dark colour scheme).
#include "application.h"
#include "darkscheme.h"
#include "snapshot.h"
#include "unit1.h"

#include <QFont>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

int main(int argc, char **argv)
{
    Application app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    QFont font = QApplication::font();
    while (!args.isEmpty() && args.first().startsWith("--")) {
        const QString option = args.takeFirst();
        if (option == "--dark") {
            QApplication::setPalette(darkScheme());
        } else if (option == "--font" && !args.isEmpty()) {
            font.setPointSize(args.takeFirst().toInt());
        } else if (option == "--family" && !args.isEmpty()) {
            font.setFamily(args.takeFirst());
        } else {
            return 2;
        }
    }
    QApplication::setFont(font);
    if (args.size() == 1) {
        Tmain window;
        window.show();
        int status = 1;
        QTimer::singleShot(1500, [&] {
            status = QGuiApplication::primaryScreen()->grabWindow(0).save(args[0]) ? 0 : 1;
            QCoreApplication::quit();
        });
        Application::exec();
        return status;
    }
    if (args.size() != 3)
        return 2;

    Tmain window;
    window.show();
    FilesGiven prompts(&window, args[0], args[1]);
    window.setPrompts(prompts);
    NoticePicture notice(args[2]);
    QTimer::singleShot(500, [&] {
        window.Button2->click();
        window.Button3->click();
        window.Button1->click();
        notice.start(50);
    });
    Application::exec();
    return notice.status();
}
