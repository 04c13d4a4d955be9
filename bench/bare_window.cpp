// The yardsticks for start-up: the least a Qt Widgets program does to show a window, and with
// --controls the same with one of each kind of control kelvane's window has. Both report their
// first expose the same way as kelvane does under KELVANE_EXIT_WHEN_SHOWN.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include "shown.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow w;
    if (QCoreApplication::arguments().contains("--controls")) {
        auto *central = new QWidget(&w);
        (new QLineEdit(central))->setGeometry(8, 8, 200, 20);
        (new QPushButton("Browse", central))->setGeometry(220, 8, 60, 20);
        auto *list = new QComboBox(central);
        list->addItems({"AC3", "MP2"});
        list->setGeometry(8, 40, 200, 22);
        (new QProgressBar(central))->setGeometry(8, 70, 200, 16);
        (new QPlainTextEdit(central))->setGeometry(8, 100, 280, 60);
        w.setCentralWidget(central);
        w.menuBar()->addMenu("&File")->addAction("E&xit");
    }
    w.resize(331, 414);
    w.show();
    reportWhenShown(&w);
    return QApplication::exec();
}
