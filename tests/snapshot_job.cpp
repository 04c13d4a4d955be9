// Drives the real window through one conversion on a real X screen and saves a picture of the
// screen while the completion notice is up: snapshot_job SOURCE.wav OUTPUT.ac3 PICTURE.png
// Or pictures the idle window with the desktop font at another size: snapshot_job --font PT
// PICTURE.png
#include "application.h"
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
    if (argc != 4)
        return 2;
    if (QString(argv[1]) == "--font") {
        QFont font = QApplication::font();
        font.setPointSize(QString(argv[2]).toInt());
        QApplication::setFont(font);
        Tmain window;
        window.show();
        int status = 1;
        QTimer::singleShot(1500, [&] {
            status = QGuiApplication::primaryScreen()->grabWindow(0).save(argv[3]) ? 0 : 1;
            QCoreApplication::quit();
        });
        Application::exec();
        return status;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);
    const QString picture = QString::fromLocal8Bit(argv[3]);

    Tmain window;
    window.show();
    FilesGiven prompts(&window, source, output);
    window.setPrompts(prompts);
    NoticePicture notice(picture);
    QTimer::singleShot(500, [&] {
        window.Button2->click();
        window.Button3->click();
        window.Button1->click();
        notice.start(50);
    });
    Application::exec();
    return notice.status();
}
