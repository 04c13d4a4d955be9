// The yardstick for start-up: the least a Qt Widgets program does to show a window, reporting
// its first expose the same way as kelvane does under KELVANE_EXIT_WHEN_SHOWN.
#include <QApplication>
#include <QWidget>

#include "shown.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget w;
    w.resize(331, 414);
    w.show();
    reportWhenShown(&w);
    return QApplication::exec();
}
