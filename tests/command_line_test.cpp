// What each command line asks for, read by read_command_line alone: the
// forms a drive, /to and the options may take, and the lines that refuse the
// rest. What a run then does is the run table's (run_test.cpp).

#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Answer = vacate::CommandLine::Answer;

// The reading in a line: "run K to M avoiding DE /whatif /v", "help",
// "version", "usage", or the refusal as it would be printed.
std::string describe(const vacate::CommandLine& line) {
    switch (line.answer) {
        case Answer::help:
            return "help";
        case Answer::version:
            return "version";
        case Answer::usage:
            return "usage";
        case Answer::refusal: {
            std::string said = line.refusal;
            said.replace(said.find("%s"), 2, line.argument);
            return said.substr(0, said.size() - 1);
        }
        case Answer::run:
            break;
    }
    const vacate::Request& r = line.request;
    return "run " + std::string(1, r.source) +
           (r.target != '\0' ? " to " + std::string(1, r.target) : "") +
           (*r.exclude != '\0' ? " avoiding " + std::string(r.exclude) : "") +
           (r.preview ? " /whatif" : "") + (r.verbose ? " /v" : "");
}

TEST(ReadCommandLine, ReadsEachFormAndRefusesTheRest) {
    struct Row {
        std::vector<std::string> args;
        std::string reading;
    };
    const Row rows[] = {
        // The drive: a letter, alone or as K: or K:\, in either case.
        {{"K"}, "run K"},
        {{"k"}, "run K"},
        {{"K:"}, "run K"},
        {{"k:\\"}, "run K"},
        {{"Kitchen"}, "Invalid drive letter: Kitchen"},
        {{"whatif", "K"}, "Invalid drive letter: whatif"},
        {{"version"}, "Invalid drive letter: version"},
        {{"K:\\data"}, "Invalid drive letter: K:\\data"},
        {{"K;"}, "Invalid drive letter: K;"},
        {{"K:/"}, "Invalid drive letter: K:/"},
        {{"7"}, "Invalid drive letter: 7"},
        {{""}, "Invalid drive letter: "},
        // The exclude list, upper-cased; empty, it is none.
        {{"K", "abcZ9"}, "run K avoiding ABCZ9"},
        {{"K", ""}, "run K"},
        {{"K", "/v"}, "Options go before the drive: /v is not an exclude list"},
        // /to: a letter from D to Z, with or without a colon, in either case.
        {{"/to:M", "K"}, "run K to M"},
        {{"-TO:m:", "k"}, "run K to M"},
        {{"/to:d", "K"}, "run K to D"},
        {{"/to:Z:", "K"}, "run K to Z"},
        {{"/to:B", "K"}, "Invalid target letter: /to:B"},
        {{"/to:7", "K"}, "Invalid target letter: /to:7"},
        {{"/to:", "K"}, "Invalid target letter: /to:"},
        {{"/to:MN", "K"}, "Invalid target letter: /to:MN"},
        {{"/to:M:\\", "K"}, "Invalid target letter: /to:M:\\"},
        {{"/to:M", "K", "DE"}, "An exclude list has no use with /to:M"},
        {{"/To:m", "K", "DE"}, "An exclude list has no use with /To:m"},
        {{"/to:M", "K", ""}, "run K to M"},
        {{"/to:M", "/to:N", "K"}, "Invalid drive letter: /to:N"},
        {{"/toM", "K"}, "Invalid drive letter: /toM"},
        {{"/to:M"}, "usage"},
        // The options together, in any order and case, each once.
        {{"/whatif", "/to:M", "-V", "K"}, "run K to M /whatif /v"},
        {{"-WhatIf", "k", "def"}, "run K avoiding DEF /whatif"},
        {{"/v", "/v", "K"}, "Invalid drive letter: /v"},
        {{"/to:M", "/?"}, "help"},
        {{"/to:B", "/?"}, "Invalid target letter: /to:B"},
        {{"--version", "K"}, "version"},
        {{"-VERSION"}, "version"},
        {{"version", "K"}, "Invalid drive letter: version"},
        {{}, "usage"},
        {{"K", "D", "E"}, "usage"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "vacate");
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        EXPECT_EQ(describe(vacate::read_command_line(static_cast<int>(args.size()), argv.data())),
                  row.reading)
            << testing::PrintToString(row.args);
    }
}

}  // namespace
