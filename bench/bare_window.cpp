// The yardstick for start-up: the least a Qt Widgets program does to show a window with some
// text, a QMainWindow whose central widget is one QLabel. With --controls, one control of each
// kind kelvane's window has instead: what those cost Qt itself the first time.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow w;
    if (QCoreApplication::arguments().contains("--controls")) {
        auto *central = new QWidget(&w);
        (new QLabel("Audio Source", central))->setGeometry(8, 10, 68, 17);
        (new QLineEdit(central))->setGeometry(80, 8, 177, 19);
        (new QPushButton("Browse", central))->setGeometry(264, 7, 51, 19);
        auto *group = new QGroupBox("Audio Settings", central);
        group->setGeometry(8, 56, 305, 161);
        auto *list = new QComboBox(group);
        list->addItems({"AC3", "MP2"});
        list->setGeometry(88, 24, 169, 21);
        (new QProgressBar(central))->setGeometry(40, 280, 217, 16);
        (new QPlainTextEdit(central))->setGeometry(80, 304, 233, 49);
        w.setCentralWidget(central);
        w.menuBar()->addMenu("&File")->addAction("E&xit");
    } else {
        w.setCentralWidget(new QLabel("Audio Source", &w));
    }
    w.resize(331, 414);
    w.show();
    return QApplication::exec();
}
