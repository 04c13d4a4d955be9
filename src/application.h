#pragma once

#include <QApplication>

#include <functional>

// The application object; an exception that escapes an event handler is shown in an error box
// and the program goes on.
class Application final : public QApplication
{
    Q_OBJECT
public:
    using ErrorDisplay = std::function<void(const QString &text)>;

    Application(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // The message with a full stop, unless it already ends in a punctuation mark.
    static QString errorText(const QString &message);
    // Shows the error box for the exception being handled (call from a catch block).
    static void showCurrentException();
    // Tests see the text here instead of in a modal box.
    static void setErrorDisplay(ErrorDisplay display);

    // Runs a handler and shows what escapes it. Qt's own event delivery is not exception-safe
    // (an exception through it leaks the event being delivered), so the window's handlers are
    // run through this; notify() catches the rest.
    template <class Handler> static void guarded(Handler &&handler)
    {
        try {
            handler();
        } catch (...) {
            showCurrentException();
        }
    }
};
