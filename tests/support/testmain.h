#pragma once

// The one main of every suite: the application object the suite needs (Application for the
// window suites, QCoreApplication for the core ones), and the locale check of the runs that
// repeat a suite under another locale.

#include "fixtures.h"

#include <QtTest>

namespace testmain {

template <class App, class Test> int run(int argc, char **argv)
{
    // Windows under test are never shown on whoever's screen runs them.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    App app(argc, argv);
    if (!fixtures::expectedLocaleActive())
        return 77;
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace testmain

#define KELVANE_TEST_MAIN(App, Test)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        return testmain::run<App, Test>(argc, argv);                                               \
    }
