// Where the command looks for the files it ships with: beside itself first (a
// build folder), then in the install relative to it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/InstallLayout.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

struct LookupCase {
    const char* name;
    bool beside;     // the file stands beside the executable
    bool installed;  // the file stands in <prefix>/lib/postwarden
    const char* expected;
};

TEST(CompanionLookup, BesideTheProgramWinsThenTheInstall) {
    const LookupCase cases[] = {
        {"beside only", true, false, "/usr/bin/libx.so"},
        {"installed only", false, true, "/usr/lib/postwarden/libx.so"},
        {"both: the build folder's own", true, true, "/usr/bin/libx.so"},
        {"neither: where it was expected first", false, false, "/usr/bin/libx.so"},
    };
    for (const LookupCase& c : cases) {
        TempFolder root;
        fs::create_directories(root.Path() + "/usr/bin");
        fs::create_directories(root.Path() + "/usr/lib/postwarden");
        if (c.beside) std::ofstream(root.Path() + "/usr/bin/libx.so") << "x";
        if (c.installed) std::ofstream(root.Path() + "/usr/lib/postwarden/libx.so") << "x";
        // Written without "..", as the person reads it.
        EXPECT_EQ(host::FindCompanionFrom(root.Path() + "/usr/bin", "libx.so", "lib/postwarden"),
                  root.Path() + c.expected)
            << c.name;
    }
}

}  // namespace
}  // namespace postwarden::testing
