// How root acting for a user is recognised: sudo, pkexec, doas or a login session's uid.
#include "base/InvokingUser.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

using namespace kestrune;

TEST(RootForUserSign, EachWayOfActingForAUserIsRecognisedAndRootsOwnSessionIsNot) {
    static std::map<std::string, std::string> variables;
    const auto lookUp = [](const char* name) -> const char* {
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    };
    struct Case {
        uid_t euid;
        std::map<std::string, std::string> variables;
        std::string loginUid;
        std::string sign; // empty: root's own, or no root at all
    };
    const Case cases[] = {
        {0, {{"SUDO_UID", "1000"}, {"SUDO_GID", "1000"}}, "4294967295", "SUDO_UID=1000"},
        {0, {{"PKEXEC_UID", "1001"}}, "", "PKEXEC_UID=1001"},
        {0, {{"DOAS_USER", "alice"}}, "4294967295", "DOAS_USER=alice"},
        {0, {}, "1000\n", "login uid 1000"},
        {0, {}, "4294967295", ""},
        {0, {}, "0", ""},
        {0, {}, "", ""},
        {0, {{"SUDO_UID", "0"}}, "0", ""},
        {1000, {{"SUDO_UID", "1000"}}, "1000", ""},
    };
    for (const Case& c : cases) {
        variables = c.variables;
        EXPECT_EQ(platform::RootForUserSign(c.euid, lookUp, c.loginUid), c.sign)
            << "euid " << c.euid << ", login uid " << c.loginUid;
    }
}
