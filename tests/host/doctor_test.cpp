// `postwarden doctor`: one line per check, and exit 1 when something is wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

const char* const kChecks[] = {"module", "home",    "mail store", "registry",
                               "log",    "windows", "sendmail"};

class DoctorTest : public ::testing::Test {
  public:
    void SetUp() override { MakeSendmail(); }
    void MakeSendmail() {
        sendmail = dir.Path() + "/sendmail";
        std::ofstream(sendmail) << "#!/bin/sh\ncat > /dev/null\n";
        ASSERT_EQ(::chmod(sendmail.c_str(), 0755), 0);
    }
    // A home that has seen one send.
    void UseHome() {
        const CommandResult r =
            RunPostwarden({"--home", Home(), "check", "--answers", "yes"},
                          "From: me@corp.example\nTo: you@corp.example\nSubject: hi\n\nx\n");
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    CommandResult Doctor(std::vector<std::string> before = {}) {
        std::vector<std::string> args = std::move(before);
        args.insert(args.end(),
                    {"--home", Home(), "doctor", "--answers", "yes", "--sendmail", sendmail});
        return RunPostwarden(args);
    }
    // Each check's line by its name, without the name: "ok      " or
    // "problem " and what was found.
    static std::map<std::string, std::string> Lines(const CommandResult& r) {
        std::map<std::string, std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            for (const char* check : kChecks) {
                const size_t at = line.find(std::string(check) + ": ");
                if (at == 8) lines[check] = line.substr(0, 8) + line.substr(at + strlen(check) + 2);
            }
        }
        return lines;
    }

    std::string Home() const { return dir.Path() + "/home"; }

    TempFolder dir;
    std::string sendmail;
};

TEST_F(DoctorTest, AGoodHomeIsOkThroughout) {
    UseHome();
    const CommandResult r = Doctor();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto lines = Lines(r);
    ASSERT_EQ(lines.size(), std::size(kChecks)) << r.out;
    for (const auto& [check, line] : lines) EXPECT_EQ(line.substr(0, 8), "ok      ") << check;
    EXPECT_NE(lines.at("module").find("version 1.0.0"), std::string::npos) << r.out;
    EXPECT_NE(lines.at("registry").find("the settings are seeded"), std::string::npos) << r.out;
    EXPECT_NE(lines.at("sendmail").find(sendmail), std::string::npos) << r.out;
}

TEST_F(DoctorTest, AHomeNotMadeYetIsOkAndIsNotMade) {
    const CommandResult r = Doctor();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto lines = Lines(r);
    ASSERT_EQ(lines.size(), std::size(kChecks)) << r.out;
    for (const char* check : {"home", "mail store", "registry", "log"}) {
        EXPECT_NE(lines.at(check).find("does not exist yet"), std::string::npos) << r.out;
    }
    EXPECT_FALSE(fs::exists(Home())) << "doctor changes nothing";
}

struct ProblemCase {
    const char* name;
    std::function<void(DoctorTest& test)> make;
    std::vector<std::string> before;  // global options
    const char* check;                // the line that says what is wrong
    std::vector<std::string> says;    // what it says, in part
};

TEST_F(DoctorTest, EachProblemIsNamedOnItsLine) {
    const std::string missingModule = dir.Path() + "/nowhere/libpostwarden-module.so";
    const ProblemCase cases[] = {
        {"a missing module",
         [](DoctorTest&) {},
         {"--module", missingModule},
         "module",
         {"cannot load the module " + missingModule + ": ",
          "; install libpostwarden-module.so beside postwarden or in ../lib/postwarden/ from "
          "it, or pass --module PATH"}},
        {"a log that is /dev/full",
         [](DoctorTest& t) {
             fs::remove(t.Home() + "/postwarden.log");
             fs::create_symlink("/dev/full", t.Home() + "/postwarden.log");
         },
         {},
         "log",
         {"a character device, not a regular file; the checks go on without a log"}},
        {"a missing sendmail",
         [](DoctorTest& t) { fs::remove(t.sendmail); },
         {},
         "sendmail",
         {"does not exist; install one or name it with --sendmail PROGRAM or "
          "POSTWARDEN_SENDMAIL"}},
        {"a sendmail that cannot be run",
         [](DoctorTest& t) { ::chmod(t.sendmail.c_str(), 0644); },
         {},
         "sendmail",
         {"cannot be run"}},
        {"a home others can read",
         [](DoctorTest& t) { ::chmod(t.Home().c_str(), 0755); },
         {},
         "home",
         {"can be read by others (mode 0755)"}},
        {"a registry that is no database",
         [](DoctorTest& t) { std::ofstream(t.Home() + "/registry.db") << std::string(4096, 'x'); },
         {},
         "registry",
         {"the checks cannot read their settings"}},
        {"a mail store that is a file",
         [](DoctorTest& t) {
             fs::remove_all(t.Home() + "/mail");
             std::ofstream(t.Home() + "/mail") << "x";
         },
         {},
         "mail store",
         {"is not a folder"}},
    };
    for (const ProblemCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Home());
        MakeSendmail();
        UseHome();
        c.make(*this);
        const CommandResult r = Doctor(c.before);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        const auto lines = Lines(r);
        ASSERT_EQ(lines.size(), std::size(kChecks)) << r.out;
        for (const auto& [check, line] : lines) {
            if (check == c.check) {
                EXPECT_EQ(line.substr(0, 8), "problem ") << r.out;
                for (const std::string& part : c.says) {
                    EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << r.out;
                }
            } else {
                EXPECT_EQ(line.substr(0, 8), "ok      ") << check << "\n" << r.out;
            }
        }
    }
}

TEST_F(DoctorTest, QuestionsNobodyCanAnswerAreAProblem) {
    UseHome();
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> env;
        std::string says;
    } cases[] = {
        {{"--answers=maybe"}, {}, "problem the answers are not valid"},
        {{},
         {"QT_QPA_PLATFORM=offscreen"},
         "problem nobody can be asked: no display (QT_QPA_PLATFORM=offscreen shows nothing)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--home", Home(), "doctor", "--sendmail=" + sendmail};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const CommandResult r = RunPostwarden(args, "", c.env);
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_EQ(Lines(r)["windows"].rfind(c.says, 0), 0u) << r.out;
    }
}

}  // namespace
}  // namespace postwarden::testing
