#pragma once

#include <QApplication>

class Prompts;

// The application object; an exception that escapes an event handler is shown in an error box
// and the program goes on.
class Application final : public QApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
    bool event(QEvent *event) override;

    // The message with a full stop, unless it already ends in a punctuation mark.
    static QString errorText(const QString &message);
    // Shows the error box for the exception being handled (call from a catch block).
    static void showCurrentException();
    // Where the error boxes are shown: the window's prompts while it lives (it sets them), the
    // real box for nullptr.
    static void setErrorPrompts(Prompts *prompts);
    static Prompts *errorPrompts();

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

private:
    void keepPaletteGreyReadable();
};
