#include "application.h"
#include "unit1.h"

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    try {
        Tmain window;
        window.show();
        return Application::exec();
    } catch (...) {
        // The loop itself failed: show it like any other error, then end normally.
        Application::showCurrentException();
    }
    return 0;
}
