#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QWidget>
#include <QWindow>

#include <cstdio>

// For start-up measurements: on the window's first expose, print "shown" and end the loop.
inline void reportWhenShown(QWidget *window)
{
    struct Filter final : QObject
    {
        using QObject::QObject;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Expose && static_cast<QWindow *>(watched)->isExposed()) {
                std::fputs("shown\n", stdout);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            }
            return false;
        }
    };
    if (QWindow *handle = window->windowHandle())
        handle->installEventFilter(new Filter(handle));
}
