#include "application.h"

#include "numbers.h"

#include <QIcon>
#include <QMessageBox>

#include <exception>

namespace {

Application::ErrorDisplay &errorDisplay()
{
    static Application::ErrorDisplay display;
    return display;
}

void showErrorBox(const QString &text)
{
    if (errorDisplay()) {
        errorDisplay()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

} // namespace

Application::Application(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("kelvane"));
    setApplicationDisplayName(QStringLiteral("Kelvane"));
    setApplicationVersion(QStringLiteral(KELVANE_PRODUCT_VERSION));
    setDesktopFileName(QStringLiteral("kelvane"));
    setWindowIcon(QIcon(QStringLiteral(":/kelvane/kelvane.svg")));
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
    QString message;
    try {
        throw;
    } catch (const KelvaneError &e) {
        message = e.message();
    } catch (const std::exception &e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        // Not an exception object: an error with no message.
    }
    showErrorBox(errorText(message));
}

void Application::setErrorDisplay(ErrorDisplay display)
{
    errorDisplay() = std::move(display);
}
