#pragma once

#include <QDir>
#include <QEventLoop>
#include <QTimer>

// How many entries a /proc folder lists (threads in /proc/self/task, open files in
// /proc/self/fd) once the figure has held still for a while: a finished QThread's system
// thread may still be leaving for a moment after the object is gone.
inline int settledEntries(const char *dir)
{
    const auto entries = [dir] {
        return int(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
    };
    int last = entries();
    for (int still = 0; still < 5;) {
        QEventLoop pause;
        QTimer::singleShot(60, &pause, &QEventLoop::quit);
        pause.exec();
        const int now = entries();
        still = now == last ? still + 1 : 0;
        last = now;
    }
    return last;
}
