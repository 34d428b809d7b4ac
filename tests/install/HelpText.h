#pragma once

// What the command's own help says, read the way the completion and the manual
// page tests compare against it.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {

// The commands `postwarden --help` lists: the first word of each indented line
// under its "Commands" heading.
inline std::vector<std::string> CommandNames() {
    const CommandResult help = RunPostwarden({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    std::vector<std::string> names;
    std::istringstream lines(help.out);
    bool inList = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Commands") && line.ends_with(":")) {
            inList = true;
        } else if (inList && line.starts_with("  ")) {
            names.push_back(line.substr(2, line.find(' ', 2) - 2));
        } else if (inList) {
            break;
        }
    }
    // Nine when this was written; none would let every test pass unseen.
    EXPECT_GE(names.size(), 9u) << help.out;
    return names;
}

// The long options a text names.
inline std::set<std::string> LongOptions(const std::string& text) {
    static const std::regex option("--[a-z][a-z0-9-]*");
    std::set<std::string> options;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

}  // namespace postwarden::testing
