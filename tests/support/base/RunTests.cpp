#include "RunTests.h"

#include "base/InvokingUser.h"
#include "base/TrustedPath.h"

#include <cstdio>
#include <string>

namespace kestrune::test {

int refuseElevatedRunOfThisBuild(const char* program) {
    if (!platform::ElevatedFor())
        return 0;
    const std::string why = platform::UntrustedPathReason(KESTRUNE_BIN_DIR);
    if (why.empty())
        return 0;
    std::fprintf(stderr,
                 "%s: run through sudo, the program loads nothing from this build (%s); "
                 "run the tests as yourself, or as root in a clone below folders only "
                 "root can change\n",
                 program, why.c_str());
    return 1;
}

} // namespace kestrune::test
