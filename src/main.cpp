#include "application.h"
#include "shown.h"
#include "unit1.h"

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    try {
        Tmain window;
        window.show();
        if (qEnvironmentVariableIsSet("KELVANE_EXIT_WHEN_SHOWN"))
            reportWhenShown(&window);
        return Application::exec();
    } catch (...) {
        // The loop itself failed: show it like any other error, then end normally.
        Application::showCurrentException();
    }
    return 0;
}
