// The front end's paths, end to end through the fake. How the move itself
// answers every failure of the platform is enumerated in failure_paths_test.

#include "cli/run.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "capture.h"
#include "fake_platform.h"
#include "invariants.h"

namespace {

// With C, D, E and K in use: once its turn has come, the search asks for D,
// E and F, then the run probes K and F again before it touches anything.
const std::string checks = "drives; drives; drives; drives; drives";
const std::string moves_k_to_f =
    checks + R"(; name K:\ 260; hold; delete K:\; set F:\ Volume{K}; release; drives)";
const std::string move_k_to_f = "windir 260; lock 2000; " + moves_k_to_f;

TEST(Run, EndsEachPathWithItsStatusMessageAndCalls) {
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::string volumes = "CDEK";
        std::string bare = "";
        std::string windows = R"(C:\Windows)";
        std::set<std::string> failing = {};
        std::set<int> failing_queries = {};
        std::vector<vacate::Lock> locks = {};
        int status = 0;
        std::string output = "";
        std::string calls = "";
        std::string k_at = "K";
    };
    const Row rows[] = {
        {.what = "no arguments", .args = {}, .output = usage_text("vacate")},
        {.what = "three arguments, as from a space inside the list",
         .args = {"K", "D", "E"},
         .status = -1,
         .output = usage_text("vacate")},
        {.what = "help, whatever follows",
         .args = {"/?", "D", "E"},
         .output = usage_text("vacate")},
        {.what = "help", .args = {"/?"}, .output = usage_text("vacate")},
        {.what = "help, with a list", .args = {"--help", "DE"}, .output = usage_text("vacate")},
        {.what = "help, the word", .args = {"HeLp"}, .output = usage_text("vacate")},
        {.what = "not the word: drive H",
         .args = {"helpme"},
         .output = "Drive H: is already free\n",
         .calls = "windir 260; lock 2000; drives; drives; drives; drives"},
        {.what = "not help",
         .args = {"/?x"},
         .status = -1,
         .output = "Invalid drive letter: /?x\n"},
        {.what = "digit", .args = {"1"}, .status = -1, .output = "Invalid drive letter: 1\n"},
        {.what = "empty", .args = {"", "AB"}, .status = -1, .output = "Invalid drive letter: \n"},
        {.what = "high byte",
         .args = {"\xC4K"},
         .status = -1,
         .output = "Invalid drive letter: \xC4K\n"},
        {.what = "punctuation between the cases",
         .args = {"[:"},
         .status = -1,
         .output = "Invalid drive letter: [:\n"},
        {.what = "punctuation after z",
         .args = {"~"},
         .status = -1,
         .output = "Invalid drive letter: ~\n"},
        {.what = "every candidate excluded",
         .args = {"K", "DEFGHIJKLMNOPQRSTUVWXYZ"},
         .status = -1,
         .output = "No free drive letters available; can't free K:\n",
         .calls = "windir 260; lock 2000"},
        {.what = "no candidate, though the source is free",
         .args = {"q", "defghijklmnopqrstuvwxyz"},
         .status = -1,
         .output = "No free drive letters available; can't free Q:\n",
         .calls = "windir 260; lock 2000"},
        {.what = "source already free",
         .args = {"Q"},
         .output = "Drive Q: is already free\n",
         .calls = "windir 260; lock 2000; drives; drives; drives; drives"},
        {.what = "the source offered as target by failed drive-set queries",
         .args = {"K", "DEFGHIJ"},
         .failing_queries = {1, 3},
         .status = -1,
         .output = "Target drive K: is already in use\n",
         .calls = "windir 260; lock 2000; drives; drives"},
        {.what = "no volume behind the source, as for a network share",
         .args = {"K"},
         .volumes = "CDE",
         .bare = "K",
         .status = -1,
         .output = "Could not get info for K:\\\n",
         .calls = "windir 260; lock 2000; " + checks + R"(; name K:\ 260)",
         .k_at = ""},
        {.what = "a move", .args = {"K"}, .calls = move_k_to_f, .k_at = "F"},
        {.what = "the volume Windows runs from",
         .args = {"c"},
         .status = -1,
         .output = "Windows runs from C:; can't free it\n",
         .calls = "windir 260"},
        {.what = "Windows elsewhere, in lower case",
         .args = {"K"},
         .windows = R"(k:\WINNT)",
         .status = -1,
         .output = "Windows runs from K:; can't free it\n",
         .calls = "windir 260"},
        {.what = "not knowing where Windows runs from is no reason to refuse",
         .args = {"C"},
         .failing = {"windir 260"},
         .calls = "windir 260; lock 2000; " + checks +
                  R"(; name C:\ 260; hold; delete C:\; set F:\ Volume{C}; release; drives)"},
        {.what = "Windows on a path without a letter",
         .args = {"K"},
         .windows = R"(\\?\GLOBALROOT\Device\HarddiskVolume3\Windows)",
         .calls = move_k_to_f,
         .k_at = "F"},
        {.what = "Windows on a path too long for the buffer, on K",
         .args = {"K"},
         .windows = R"(K:\)" + std::string(300, 'w'),
         .calls = move_k_to_f,
         .k_at = "F"},
        {.what = "another run ends while this one waits",
         .args = {"K"},
         .locks = {vacate::Lock::busy},
         .calls = "windir 260; lock 2000 busy; lock 118000; " + moves_k_to_f,
         .k_at = "F"},
        {.what = "another run is still at work after two minutes",
         .args = {"K"},
         .locks = {vacate::Lock::busy, vacate::Lock::busy},
         .status = -1,
         .output = "Another run of vacate is still at work; can't free K:\n",
         .calls = "windir 260; lock 2000 busy; lock 118000 busy"},
        {.what = "the lock's name squatted",
         .args = {"K"},
         .locks = {vacate::Lock::squatted},
         .calls = "windir 260; lock 2000 squatted; " + moves_k_to_f,
         .k_at = "F"},
        {.what = "lower case, long argument and exclude list",
         .args = {"k:\\", "abcdefyz"},
         .calls =
             R"(windir 260; lock 2000; drives; drives; drives; name K:\ 260; hold; delete K:\; set G:\ Volume{K}; release; drives)",
         .k_at = "G"},
        {.what = "only the first character counts; empty list",
         .args = {"Kxyz", ""},
         .calls = move_k_to_f,
         .k_at = "F"},
    };
    for (const Row& row : rows) {
        FakePlatform platform(row.volumes, row.bare);
        platform.windows_directory = row.windows;
        platform.failing = row.failing;
        platform.failing_queries = row.failing_queries;
        platform.locks = row.locks;
        std::vector<std::string> argv = row.args;
        argv.insert(argv.begin(), "vacate");
        const RunRecord run = record_run(platform, argv);
        EXPECT_EQ(run.status, row.status) << row.what;
        EXPECT_EQ(run.output, row.output) << row.what;
        EXPECT_EQ(platform.log(), row.calls) << row.what;
        EXPECT_EQ(platform.letters_holding(volume_of('K')), row.k_at) << row.what;
        EXPECT_EQ(broken_rule(run, platform), "") << row.what;
    }
}

TEST(Run, WithoutEvenAProgramNamePrintsUsageForVacate) {
    FakePlatform platform("CDEK");
    const RunRecord run = record_run(platform, {});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, usage_text("vacate"));
    EXPECT_TRUE(platform.calls.empty());
}

TEST(Run, UsageNamesTheProgramAsInvoked) {
    const std::string output = capture_output([] { vacate::print_usage(R"(C:\bin\v.exe)"); });
    EXPECT_EQ(output, usage_text(R"(C:\bin\v.exe)"));
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
