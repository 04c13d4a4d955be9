// Drives the real window through one conversion while another window is the active one, and
// saves a picture of the screen once the desktop notification and the notice are both up:
// snapshot_notification SOURCE.wav OUTPUT.ac3 PICTURE.png (run by notification_snapshot.sh,
// which provides the X screen, the session bus and dunst).
#include "application.h"
#include "snapshot.h"
#include "unit1.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

int main(int argc, char **argv)
{
    Application app(argc, argv);
    if (argc != 4)
        return 2;
    const QString source = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);
    const QString picture = QString::fromLocal8Bit(argv[3]);

    Tmain window;
    window.move(380, 110);
    window.show();
    FilesGiven prompts(&window, source, output);
    window.setPrompts(prompts);
    QLabel other(QStringLiteral("Another application, in front while the job runs"));
    other.setWindowTitle(QStringLiteral("Another application"));
    other.setAlignment(Qt::AlignCenter);
    other.setGeometry(20, 60, 340, 420);
    other.show();

    const auto displayed = [] {
        QProcess dunstctl;
        dunstctl.start(QStringLiteral("dunstctl"),
                       {QStringLiteral("count"), QStringLiteral("displayed")});
        dunstctl.waitForFinished(5000);
        return dunstctl.readAllStandardOutput().trimmed() == "1";
    };
    NoticePicture notice(picture, displayed);
    QTimer::singleShot(500, [&] {
        other.activateWindow();
        QTimer::singleShot(500, [&] {
            if (window.isActiveWindow())
                qWarning("the window is the active one: there will be no notification");
            window.Button2->click();
            window.Button3->click();
            window.Button1->click();
            notice.start(100);
        });
    });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    Application::exec();
    return notice.status();
}
