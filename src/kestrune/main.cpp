#include "base/InvokingUser.h"
#include "base/SystemLog.h"
#include "base/TrustedPath.h"
#include "kestrune/CVSKKestruneApp.h"
#include "kestrune/WindowStart.h"

int main(int argc, char** argv) {
    // A toolkit on a user's display and session bus cannot be audited as root: its
    // accessibility bridge, file dialogs and settings act for whoever controls that session.
    // Checked before the application object exists, so nothing of the session is touched.
    if (const std::string sign = kestrune::platform::RootForUserSign(); !sign.empty()) {
        kestrune::platform::LogWarning(
            "Kestrune: the window does not run as root on behalf of a user (" + sign +
            "). Kestrune erases as the user through udisks2 and polkit: start it without sudo "
            "or pkexec. To erase as root from a terminal, use kestrune-cli.");
        return 1;
    }
    // Before the toolkit loads its first plugin.
    if (!kestrune::platform::SettleElevatedEnvironment())
        return 1;
    kestrune::KeepTraceLines(kestrune::TakeTraceSwitch(argc, argv));
    if (!kestrune::DisplayAvailable())
        return 1;
    kestrune::ExpectWindowToolkitStart();
    kestrune::CVSKKestruneApp app(argc, argv);
    kestrune::WindowToolkitStarted();
    return app.Run();
}
