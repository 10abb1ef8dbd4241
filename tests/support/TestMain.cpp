#include "TestSupport.h"

#include "base/InvokingUser.h"
#include "base/TrustedPath.h"

#include <QApplication>
#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Through sudo, the program loads no component from a build a user can change: every
    // test would fail by that refusal, or wait for jobs that never start.
    if (kestrune::platform::ElevatedFor()) {
        const std::string why = kestrune::platform::UntrustedPathReason(KESTRUNE_BIN_DIR);
        if (!why.empty()) {
            std::fprintf(stderr,
                         "%s: run through sudo, the program loads nothing from this build (%s); "
                         "run the tests as yourself, or as root in a clone below folders only "
                         "root can change\n",
                         argv[0], why.c_str());
            return 1;
        }
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    kestrune::platform::setMessageService(&kestrune::test::messages());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
