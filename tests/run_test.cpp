#include "cli/run.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "capture.h"
#include "fake_platform.h"

namespace {

std::string usage(const std::string& name) {
    return "Usage: " + name +
           " <Drive> [Exclude list]\n"
           "where <Drive> is drive letter to free up and\n"
           "[ExcludeList] is a set of drive letters not to move it to\n"
           "\n"
           "For example:  " +
           name + " K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z";
}

std::string repeat(const std::string& calls, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += (text.empty() ? "" : "; ") + calls;
    }
    return text;
}

// With C, D, E and K in use: the search asks for D, E and F, then the run
// probes K and F again before it touches anything.
const std::string checks = "drives; drives; drives; drives; drives";
const std::string take_k = checks + R"(; name K:\ 260; delete K:\)";
const std::string to_f = R"(set F:\ Volume{K})";
const std::string back_to_k = R"(set K:\ Volume{K})";

struct Outcome {
    int status;
    std::string output;
};

// Runs the program as `vacate <args>`.
Outcome run(FakePlatform& platform, std::vector<std::string> args) {
    args.insert(args.begin(), "vacate");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    Outcome outcome{};
    outcome.output = capture_stdout([&] {
        outcome.status = vacate::run(static_cast<int>(args.size()), argv.data(), platform);
    });
    return outcome;
}

// Where Volume{K}, the volume first mounted at K, is mounted when the run ends.
std::string letters_of_k(const FakePlatform& platform) {
    std::string letters;
    for (const auto& [letter, volume] : platform.mounted) {
        if (volume == volume_of('K')) {
            letters += letter;
        }
    }
    return letters;
}

TEST(Run, EndsEachPathWithItsStatusMessageAndCalls) {
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::string volumes = "CDEK";
        std::string bare = "";
        std::vector<std::string> failing = {};
        std::vector<std::pair<int, char>> taken_before_query = {};
        int mount_unseen_queries = 0;
        int status = 0;
        std::string output = "";
        std::string calls = "";
        std::string k_at = "K";
    };
    const Row rows[] = {
        {.what = "no arguments", .args = {}, .output = usage("vacate")},
        {.what = "three arguments", .args = {"K", "AB", "C"}, .output = usage("vacate")},
        {.what = "digit", .args = {"1"}, .status = -1, .output = "Invalid drive letter: 1\n"},
        {.what = "empty", .args = {"", "AB"}, .status = -1, .output = "Invalid drive letter: \n"},
        {.what = "high byte",
         .args = {"\xC4K"},
         .status = -1,
         .output = "Invalid drive letter: \xC4K\n"},
        {.what = "punctuation",
         .args = {"[:"},
         .status = -1,
         .output = "Invalid drive letter: [:\n"},
        {.what = "every candidate excluded",
         .args = {"K", "DEFGHIJKLMNOPQRSTUVWXYZ"},
         .status = -1,
         .output = "No free drive letters available; can't free K:\n"},
        {.what = "no candidate, though the source is free",
         .args = {"q", "defghijklmnopqrstuvwxyz"},
         .status = -1,
         .output = "No free drive letters available; can't free Q:\n"},
        {.what = "source already free",
         .args = {"Q"},
         .output = "Drive Q: is already free\n",
         .calls = "drives; drives; drives; drives"},
        {.what = "target taken after the search",
         .args = {"K"},
         .taken_before_query = {{5, 'F'}},
         .status = -1,
         .output = "Target drive F: is already in use\n",
         .calls = checks},
        {.what = "no volume behind the source",
         .args = {"K"},
         .volumes = "CDE",
         .bare = "K",
         .status = -1,
         .output = "Could not get info for K:\\\n",
         .calls = checks + R"(; name K:\ 260)",
         .k_at = ""},
        {.what = "volume name refused",
         .args = {"K"},
         .failing = {R"(name K:\ 260)"},
         .status = -1,
         .output = "Could not get info for K:\\\n",
         .calls = checks + R"(; name K:\ 260)"},
        {.what = "removal refused",
         .args = {"K"},
         .failing = {R"(delete K:\)"},
         .status = -1,
         .output = "Could not remove K:\\\n",
         .calls = take_k},
        {.what = "mount refused, restored",
         .args = {"K"},
         .failing = {to_f},
         .status = -1,
         .output = "Could not set mount point to F:...restoring to K:\n",
         .calls = take_k + "; " + to_f + "; " + back_to_k},
        {.what = "mount and restore refused",
         .args = {"K"},
         .failing = {to_f, back_to_k},
         .status = -2,
         .output = "Could not set mount point to F:...restoring to K:\n"
                   "Restore of Volume{K} to K: failed\n",
         .calls = take_k + "; " + to_f + "; " + back_to_k,
         .k_at = ""},
        {.what = "moved, new letter seen at once",
         .args = {"K"},
         .calls = take_k + "; " + to_f + "; drives",
         .k_at = "F"},
        {.what = "moved, new letter seen after 3 pauses",
         .args = {"K"},
         .mount_unseen_queries = 3,
         .calls = take_k + "; " + to_f + "; drives; " + repeat("sleep 1000; drives", 3),
         .k_at = "F"},
        {.what = "moved, new letter never seen",
         .args = {"K"},
         .mount_unseen_queries = -1,
         .calls = take_k + "; " + to_f + "; drives; " + repeat("sleep 1000; drives", 15),
         .k_at = "F"},
        {.what = "lower case, long argument and exclude list",
         .args = {"k:\\", "abcdefyz"},
         .calls = R"(drives; drives; drives; name K:\ 260; delete K:\; set G:\ Volume{K}; drives)",
         .k_at = "G"},
        {.what = "only the first character counts; empty list",
         .args = {"Kxyz", ""},
         .calls = take_k + "; " + to_f + "; drives",
         .k_at = "F"},
    };
    for (const Row& row : rows) {
        FakePlatform platform(row.volumes, row.bare);
        platform.failing.insert(row.failing.begin(), row.failing.end());
        for (const auto& [query, letter] : row.taken_before_query) {
            platform.take_before_query(query, letter);
        }
        platform.mount_unseen_queries = row.mount_unseen_queries;

        const Outcome outcome = run(platform, row.args);
        EXPECT_EQ(outcome.status, row.status) << row.what;
        EXPECT_EQ(outcome.output, row.output) << row.what;
        EXPECT_EQ(platform.log(), row.calls) << row.what;
        EXPECT_EQ(letters_of_k(platform), row.k_at) << row.what;
    }
}

TEST(Run, WithoutEvenAProgramNamePrintsUsageForVacate) {
    FakePlatform platform("CDEK");
    char* argv[] = {nullptr};
    int status = -3;
    const std::string output = capture_stdout([&] { status = vacate::run(0, argv, platform); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, usage("vacate"));
    EXPECT_TRUE(platform.calls.empty());
}

TEST(Run, UsageNamesTheProgramAsInvoked) {
    const std::string output = capture_stdout([] { vacate::print_usage(R"(C:\bin\v.exe)"); });
    EXPECT_EQ(output, usage(R"(C:\bin\v.exe)"));
}

TEST(UpcaseAscii, FoldsOnlyAToZInPlace) {
    struct Row {
        std::string text;
        std::string folded;
    };
    const Row rows[] = {
        {"", ""},
        {"abcdekyz", "ABCDEKYZ"},
        {"`az{", "`AZ{"},
        {"@AZ[09:\\", "@AZ[09:\\"},
        {"\xE4\xF6\xFF\x80", "\xE4\xF6\xFF\x80"},
    };
    for (Row row : rows) {
        char* text = row.text.data();
        EXPECT_EQ(vacate::upcase_ascii(text), text);
        EXPECT_EQ(row.text, row.folded);
    }
}

}  // namespace
