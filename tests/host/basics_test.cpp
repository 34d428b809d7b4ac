#include <gtest/gtest.h>

#include <fstream>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

TEST(CommandBasicsTest, VersionComesFromTheLoadedModule) {
    TempFolder home;
    for (auto args : {std::vector<std::string>{"--version"}, {"version"}}) {
        args.insert(args.begin(), {"--home", home.Path() + "/h"});
        const CommandResult r = RunPostwarden(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "postwarden 1.0.0\n");
    }
}

TEST(CommandBasicsTest, AMissingOrForeignModuleIsAOneLineError) {
    TempFolder dir;
    const std::string notALibrary = dir.Path() + "/fake.so";
    std::ofstream(notALibrary) << "not a library";
    for (const std::string& path : {dir.Path() + "/missing.so", notALibrary,
                                    std::string("/lib/x86_64-linux-gnu/libm.so.6")}) {
        const CommandResult r = RunPostwarden({"--module", path, "--version"});
        EXPECT_EQ(r.exitCode, 3) << path;
        EXPECT_EQ(r.err.rfind("postwarden: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_NE(r.err.find(path), std::string::npos);
    }
}

TEST(CommandBasicsTest, HelpAndUsageErrors) {
    CommandResult r = RunPostwarden({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: postwarden"), std::string::npos);
    EXPECT_NE(r.out.find("log"), std::string::npos);

    r = RunPostwarden({});
    EXPECT_EQ(r.exitCode, 2);
    r = RunPostwarden({"frobnicate"}, "", {"POSTWARDEN_HOME=/tmp/pw-nowhere"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("unknown command frobnicate"), std::string::npos);
    r = RunPostwarden({"--home"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--home: 1 required DIR missing"), std::string::npos) << r.err;
}

TEST(CommandBasicsTest, LogPrintsTheLogOfTheHome) {
    TempFolder home;
    CommandResult r = RunPostwarden({"--home", home.Path(), "log"});
    EXPECT_EQ(r.exitCode, 0) << "no log yet is not an error";
    EXPECT_EQ(r.out, "");

    const std::string line = "2026-12-06T12:00:00.000Z\ttrace\t0\tPostwarden\tShutdown\tx\n";
    std::ofstream(home.Path() + "/postwarden.log") << line;
    r = RunPostwarden({"log"}, "", {"POSTWARDEN_HOME=" + home.Path()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, line);

    r = RunPostwarden({"--home", home.Path(), "log", "--tail"});
    EXPECT_EQ(r.exitCode, 2);
}

}  // namespace
}  // namespace postwarden::testing
