#ifndef VACATE_TESTS_INVARIANTS_H
#define VACATE_TESTS_INVARIANTS_H

#include <map>
#include <string>
#include <vector>

#include "fake_platform.h"

std::string usage_text(const std::string& program);
// The usage text and the options, as a request for help prints them.
std::string help_text(const std::string& program);

// What the program printed, what it asked of the platform and what it left
// mounted where, after one run.
struct RunRecord {
    std::vector<std::string> argv;  // as passed; empty when argc is 0
    std::map<char, std::string> mounted_before;
    int status = 0;
    std::string output;
    std::string errors;  // on standard error
};

// Runs the program as `argv` (empty for an argument count of 0) against
// the platform, printing into a buffer.
RunRecord record_run(FakePlatform& platform, std::vector<std::string> argv);

// Checks the rules that every run keeps, whatever its arguments and whatever
// the platform answered. Answers the first rule that the run broke, in its
// own words, or "" when all hold.
std::string broken_rule(const RunRecord& run, const FakePlatform& platform);

#endif
