#include "application.h"

#include "kelvaneerror.h"
#include "prompts.h"
#include "style.h"

#include <QIcon>
#include <QPixmap>

#include <malloc.h>

namespace {

Prompts *shownBy = nullptr;

} // namespace

Application::Application(int &argc, char **argv) : QApplication(argc, argv)
{
    // A long job's log grows to megabytes. With large blocks always mapped on their own, each
    // growth is a remap instead of a copy of everything so far, which would stall the window.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    // Small blocks freed go straight back to the heap. Kept aside in glibc's fast bins, they
    // would all be merged at the next large allocation or free: once a replaced log has been
    // taken apart, hundreds of thousands of them in one pause of 20 ms and more.
    mallopt(M_MXFAST, 0);
    // The title, and the class in WM_CLASS. No display name: on X11 Qt would append it to
    // every caption.
    setApplicationName(QStringLiteral("Kelvane"));
    setApplicationVersion(QStringLiteral(KELVANE_PRODUCT_VERSION));
    setDesktopFileName(QStringLiteral(KELVANE_APP_ID));
    // The sizes a title bar and a window list draw; desktops take larger ones for launchers and
    // switchers from the installed hicolor icons. Each file is decoded here at once whatever
    // QIcon::addFile is told, the window sends every size to the X server when it is shown,
    // and guessing a file's format would load every image plugin: hence few small sizes, read
    // by the built-in PNG reader.
    QIcon icon;
    for (int size : {16, 24, 32, 48})
        icon.addPixmap(QPixmap::fromImage(
            readPng(QStringLiteral(":/kelvane/icons/hicolor/%1x%1/apps/kelvane.png").arg(size))));
    setWindowIcon(icon);
    setStyle(new Style(style()));
    keepPaletteGreyReadable();
}

bool Application::event(QEvent *event)
{
    // A colour scheme set later, by the desktop or by the program.
    if (event->type() == QEvent::ApplicationPaletteChange)
        keepPaletteGreyReadable();
    return QApplication::event(event);
}

void Application::keepPaletteGreyReadable()
{
    QPalette palette = QApplication::palette();
    if (keepGreyReadable(palette))
        setPalette(palette); // comes back here once, then finds nothing to change
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        showCurrentException();
        return true;
    }
}

QString Application::errorText(const QString &message)
{
    if (message.isEmpty() || message.back().isPunct())
        return message;
    return message + QLatin1Char('.');
}

void Application::showCurrentException()
{
    // A thrown object that is not an exception is shown as an error with no message.
    errorPrompts()->error(errorText(currentExceptionMessage()));
}

void Application::setErrorPrompts(Prompts *prompts)
{
    shownBy = prompts;
}

Prompts *Application::errorPrompts()
{
    static DialogPrompts boxes(nullptr);
    return shownBy ? shownBy : &boxes;
}
