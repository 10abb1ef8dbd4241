#include "base/TrustedPath.h"
#include "kestrune/CVSKKestruneApp.h"

int main(int argc, char** argv) {
    // Before the toolkit loads its first plugin.
    if (!kestrune::platform::SettleElevatedEnvironment())
        return 1;
    kestrune::CVSKKestruneApp app(argc, argv);
    return app.Run();
}
