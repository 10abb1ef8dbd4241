#include "base/TrustedPath.h"
#include "cli/ExitCodes.h"
#include "cli/KestruneCli.h"

int main(int argc, char** argv) {
    // Before any library reads the environment, and before the toolkit loads its first plugin.
    const std::vector<std::string> dropped = kestrune::platform::KeepOnlyKnownEnvironment();
    if (!kestrune::platform::SettleElevatedEnvironment())
        return kestrune::cli::ExitProgramFailure;
    kestrune::cli::KestruneCli program(argc, argv);
    program.setDroppedEnvironment(dropped);
    return program.Run();
}
