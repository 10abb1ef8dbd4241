// What every test program's main does; each layer's main names the application object its
// layer needs (QCoreApplication, QGuiApplication or QApplication) and what it installs.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <gtest/gtest.h>

namespace kestrune::test {

// Nonzero, saying why on standard error, when the tests must not run: through sudo the
// program loads nothing from a build a user can change, so every test would fail by that
// refusal or wait for jobs that never start.
int refuseElevatedRunOfThisBuild(const char* program);

template <class Application> int runTests(int argc, char** argv, void (*install)() = nullptr) {
    if (const int refused = refuseElevatedRunOfThisBuild(argv[0]))
        return refused;
    // Also for the programs the tests start.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application application(argc, argv);
    if (install)
        install();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

} // namespace kestrune::test
