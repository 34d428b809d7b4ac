// `postwarden doctor`: one line per check, exit 1 when something is wrong, and
// nothing in the home changed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

const char* const kChecks[] = {"module", "home",    "mail store", "registry",
                               "log",    "windows", "sendmail",   "thunderbird"};

class DoctorTest : public ::testing::Test {
  public:
    std::string Home() const { return dir.Path() + "/home"; }
    // The paths in the home, one a line; empty when there is no home.
    std::string Listing() const {
        std::string listing;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(Home(), error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            listing += it->path().string() + "\n";
        }
        return fs::exists(Home()) ? "home\n" + listing : "";
    }

    // A Thunderbird profile in the HOME doctor is given, with the add-on as
    // Thunderbird records it in extensions.json.
    void Profile(const std::string& addonRecord) const {
        fs::create_directories(dir.File("user/.thunderbird/p.default/extensions"));
        WriteFile(dir.File("user/.thunderbird/profiles.ini"),
                  "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\n");
        WriteFile(dir.File("user/.thunderbird/p.default/extensions.json"),
                  R"({"schemaVersion":37,"addons":[)" + addonRecord + "]}");
    }
    // The host's manifest Thunderbird finds in that HOME, naming `program`.
    void HostManifest(const std::string& program) const {
        fs::create_directories(dir.File("user/.mozilla/native-messaging-hosts"));
        WriteFile(dir.File("user/.mozilla/native-messaging-hosts/postwarden.json"),
                  R"({"name":"postwarden","type":"stdio","path":")" + program +
                      R"(","allowed_extensions":["postwarden@postwarden"]})");
    }

    TempFolder dir;
    const std::string sendmail = dir.File("sendmail");
};

// Each check's line by its name, without the name: "ok      " or "problem "
// and what was found.
std::map<std::string, std::string> Lines(const CommandResult& r) {
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

struct DoctorCase {
    const char* name;
    std::function<void(DoctorTest& test)> make;  // on a home that has seen one send
    const char* problem;  // the line that says what is wrong; none when empty
    std::vector<std::pair<std::string, std::string>> says;    // a check's line says this, in part
    std::vector<std::string> before = {};                     // global options
    std::vector<std::string> options = {"--answers", "yes"};  // doctor's own
    std::vector<std::string> env = {};
};

TEST_F(DoctorTest, EachProblemIsNamedOnItsLine) {
    const std::string missingModule = dir.Path() + "/nowhere/libpostwarden-module.so";
    const auto nothing = [](DoctorTest&) {};
    const DoctorCase cases[] = {
        {"a good home",
         nothing,
         "",
         {{"module", "version 1.0.0"},
          {"registry", "the settings are seeded"},
          {"sendmail", sendmail},
          {"thunderbird", "no Thunderbird profile"}}},
        {"an add-on Thunderbird left disabled when it found it",
         [](DoctorTest& t) {
             t.Profile(R"({"id":"postwarden@postwarden","active":false,"userDisabled":true,)"
                       R"("seen":false})");
         },
         "thunderbird",
         {{"thunderbird", "waits for you to enable it; sends from this profile are NOT checked"}}},
        {"an add-on switched off",
         [](DoctorTest& t) {
             t.Profile(R"({"id":"postwarden@postwarden","active":false,"userDisabled":true,)"
                       R"("seen":true})");
         },
         "thunderbird",
         {{"thunderbird", "the add-on is disabled; sends from this profile are NOT checked"}}},
        {"an enabled add-on whose host cannot be run",
         [](DoctorTest& t) {
             t.Profile(R"({"id":"postwarden@postwarden","active":true,"userDisabled":false})");
             t.HostManifest(t.dir.File("nowhere"));
         },
         "thunderbird",
         {{"thunderbird", "every send from this profile is held"}}},
        {"a home not made yet",
         [](DoctorTest& t) { fs::remove_all(t.Home()); },
         "",
         {{"home", "does not exist yet"},
          {"mail store", "does not exist yet"},
          {"registry", "does not exist yet"},
          {"log", "does not exist yet"}}},
        {"a missing module",
         nothing,
         "module",
         {{"module", "cannot load the module " + missingModule + ": "},
          {"module",
           "; install libpostwarden-module.so beside postwarden or in ../lib/postwarden/ from "
           "it, or pass --module PATH"}},
         {"--module", missingModule}},
        {"a log that is /dev/full",
         [](DoctorTest& t) {
             fs::remove(t.Home() + "/postwarden.log");
             fs::create_symlink("/dev/full", t.Home() + "/postwarden.log");
         },
         "log",
         {{"log", "a character device, not a regular file; the checks go on without a log"}}},
        {"a missing sendmail",
         [](DoctorTest& t) { fs::remove(t.sendmail); },
         "sendmail",
         {{"sendmail",
           "does not exist; install one or name it with --sendmail PROGRAM or "
           "POSTWARDEN_SENDMAIL"}}},
        {"a sendmail that cannot be run",
         [](DoctorTest& t) { ::chmod(t.sendmail.c_str(), 0644); },
         "sendmail",
         {{"sendmail", "cannot be run"}}},
        {"a home others can read",
         [](DoctorTest& t) { ::chmod(t.Home().c_str(), 0755); },
         "home",
         {{"home", "can be read by others (mode 0755)"}}},
        {"a registry that is no database",
         [](DoctorTest& t) { WriteFile(t.Home() + "/registry.db", std::string(4096, 'x')); },
         "registry",
         {{"registry", "the checks cannot read their settings"}}},
        {"a mail store that is a file",
         [](DoctorTest& t) {
             fs::remove_all(t.Home() + "/mail");
             WriteFile(t.Home() + "/mail", "x");
         },
         "mail store",
         {{"mail store", "is not a folder"}}},
        {"answers that are not valid",
         nothing,
         "windows",
         {{"windows", "the answers are not valid"}},
         {},
         {"--answers=maybe"}},
        {"nobody to ask",
         nothing,
         "windows",
         {{"windows", "nobody can be asked: no display (QT_QPA_PLATFORM=offscreen shows nothing)"}},
         {},
         {},
         {"QT_QPA_PLATFORM=offscreen"}},
    };
    for (const DoctorCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Home());
        fs::remove_all(dir.File("user"));
        ASSERT_EQ(WriteFakeSendmail(dir.Path()), sendmail);
        const CommandResult sent =
            RunPostwarden({"--home", Home(), "check", "--answers", "yes"},
                          "From: me@corp.example\nTo: you@corp.example\nSubject: hi\n\nx\n");
        ASSERT_EQ(sent.exitCode, 0) << sent.err;
        c.make(*this);
        const std::string before = Listing();

        std::vector<std::string> args = c.before;
        args.insert(args.end(), {"--home", Home(), "doctor", "--sendmail", sendmail});
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::vector<std::string> env = c.env;
        env.push_back("HOME=" + dir.File("user"));
        const CommandResult r = RunPostwarden(args, "", env);
        EXPECT_EQ(r.exitCode, *c.problem ? 1 : 0) << r.out << r.err;
        EXPECT_EQ(Listing(), before) << "doctor changes nothing";
        const auto lines = Lines(r);
        ASSERT_EQ(lines.size(), std::size(kChecks)) << r.out;
        for (const auto& [check, line] : lines) {
            EXPECT_EQ(line.substr(0, 8), check == c.problem ? "problem " : "ok      ")
                << check << "\n"
                << r.out;
        }
        for (const auto& [check, part] : c.says) {
            EXPECT_THAT(lines.at(check), HasSubstr(part)) << r.out;
        }
    }
}

}  // namespace
}  // namespace postwarden::testing
