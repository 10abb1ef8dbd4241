#include "base/TrustedPath.h"
#include "cli/ExitCodes.h"
#include "cli/KestruneCli.h"

int main(int argc, char** argv) {
    // Before the toolkit loads its first plugin.
    if (!kestrune::platform::SettleElevatedEnvironment())
        return kestrune::cli::ExitProgramFailure;
    kestrune::cli::KestruneCli program(argc, argv);
    return program.Run();
}
