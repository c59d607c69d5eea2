// The front end's paths, end to end through the fake. How the move itself
// answers every failure of the platform is enumerated in failure_paths_test.

#include "cli/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "capture.h"
#include "fake_platform.h"
#include "invariants.h"

namespace {

// With C, D, E and K in use: once its turn has come, the search asks for D,
// E and F, and the run probes K; then it asks what Windows needs of K (its
// page files, whether Windows boots from it, its crash dumps, which by
// default go to %SystemRoot%) and probes F again before it touches anything.
const std::string search = "drives; drives; drives; drives";
const std::string page_files = "reg PagingFiles; reg ExistingPageFiles";
std::string boot(char source = 'K') {
    return std::string("reg SystemPartition; device ") + source + ":";
}
const std::string dumps = "reg DedicatedDumpFile; reg CrashDumpEnabled; reg DumpFile";
// Every question asked of a volume that Windows does not need; a row where
// one of them asks less says what it asked instead.
std::string needs(char source = 'K', const std::string& of_boot = "",
                  const std::string& of_dumps = dumps) {
    return page_files + "; " + (of_boot.empty() ? boot(source) : of_boot) + "; " + of_dumps;
}
const std::string checks = search + "; " + needs() + "; drives";
const std::string moves_k_to_f =
    checks + R"(; name K:\ 260; hold; delete K:\; set F:\ Volume{K}; release; drives)";
const std::string turn = "windir 260; lock 2000";
const std::string move_k_to_f = turn + "; " + moves_k_to_f;
const std::string preview_k = "windir 260; " + checks + R"(; name K:\ 260; admin)";
const std::string usage = usage_text("vacate");
const std::string help = help_text("vacate");
const std::string refused = "Windows runs from K:; can't free it\n";
const std::string dumps_on_d = "Windows writes its crash dumps to D:; can't free it\n";
const std::string moves_d_to_f =
    R"(; drives; name D:\ 260; hold; delete D:\; set F:\ Volume{D}; release; drives)";
const std::string moves_k_to_m =
    R"(; drives; name K:\ 260; hold; delete K:\; set M:\ Volume{K}; release; drives)";
const std::string unreadable = "Could not read the drive letters in use; can't free K:\n";

struct RunRow {
    const char* what;
    std::vector<std::string> args;
    std::string volumes = "CDEK";
    std::string bare = "";
    std::string windows = R"(C:\Windows)";
    std::string paging_files = "";
    std::string existing_page_files = "";
    char system_volume = '\0';
    std::string dedicated_dump_file = "";
    std::string dump_file = R"(%SystemRoot%\MEMORY.DMP)";
    long long crash_dump_enabled = 7;
    std::map<char, std::string> renamed = {};  // volumes named otherwise than Volume{X}
    bool administrator = true;
    std::set<std::string> failing = {};
    std::set<int> failing_queries = {};
    std::map<int, char> freed = {}, taken = {};  // by another program, before query n
    std::vector<vacate::Lock> locks = {};
    int status = 0;
    std::string output = "";
    std::string calls = "";
    bool no_name = false;  // not even argv[0], as a POSIX caller may do
};

// The row's name in a test's name: GoogleTest allows letters, digits and _
// only, and refuses two rows that come out the same.
std::string name_of(const testing::TestParamInfo<RunRow>& row) {
    std::string name = row.param.what;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) == 0; }, '_');
    return name;
}

void PrintTo(const RunRow& row, std::ostream* out) {
    *out << row.what;
}

const RunRow run_rows[] = {
    {.what = "no arguments", .args = {}, .status = -1, .output = usage},
    {.what = "not even a name", .args = {}, .status = -1, .output = usage, .no_name = true},
    {.what = "three arguments, as from a space inside the list",
     .args = {"K", "D", "E"},
     .status = -1,
     .output = usage},
    {.what = "help, whatever follows", .args = {"/?", "D", "E"}, .output = help},
    {.what = "help", .args = {"/?"}, .output = help},
    {.what = "help, with a list", .args = {"--help", "DE"}, .output = help},
    {.what = "help, the word", .args = {"HeLp"}, .output = help},
    {.what = "help after an option", .args = {"/v", "-h", "K"}, .output = help},
    {.what = "an option without a drive", .args = {"/whatif"}, .status = -1, .output = usage},
    {.what = "the version", .args = {"/version"}, .output = "vacate " VACATE_VERSION "\n"},
    {.what = "the version, whatever follows",
     .args = {"-VERSION", "K", "DE"},
     .output = "vacate " VACATE_VERSION "\n"},
    {.what = "the version after an option",
     .args = {"/v", "/version"},
     .output = "vacate " VACATE_VERSION "\n"},
    {.what = "not the word, nor a drive",
     .args = {"helpme"},
     .status = -1,
     .output = "Invalid drive letter: helpme\n"},
    {.what = "the version, asked as --version",
     .args = {"--version", "K"},
     .output = "vacate " VACATE_VERSION "\n"},
    {.what = "not help", .args = {"/?x"}, .status = -1, .output = "Invalid drive letter: /?x\n"},
    {.what = "not an option",
     .args = {"/x", "K"},
     .status = -1,
     .output = "Invalid drive letter: /x\n"},
    {.what = "an option twice",
     .args = {"/v", "-V", "K"},
     .status = -1,
     .output = "Invalid drive letter: -V\n"},
    {.what = "an option after the drive",
     .args = {"K", "/v"},
     .status = -1,
     .output = "Options go before the drive: /v is not an exclude list\n"},
    {.what = "a dash option after the drive",
     .args = {"K", "-v"},
     .status = -1,
     .output = "Options go before the drive: -v is not an exclude list\n"},
    {.what = "a preview asked twice",
     .args = {"/whatif", "/whatif", "K"},
     .status = -1,
     .output = "Invalid drive letter: /whatif\n"},
    {.what = "digit", .args = {"1"}, .status = -1, .output = "Invalid drive letter: 1\n"},
    {.what = "empty", .args = {"", "AB"}, .status = -1, .output = "Invalid drive letter: \n"},
    {.what = "8-bit", .args = {"\xC4K"}, .status = -1, .output = "Invalid drive letter: \xC4K\n"},
    {.what = "every candidate excluded",
     .args = {"K", "DEFGHIJKLMNOPQRSTUVWXYZ"},
     .status = -1,
     .output = "No free drive letters available; can't free K:\n",
     .calls = turn},
    {.what = "no candidate, though the source is free",
     .args = {"q", "defghijklmnopqrstuvwxyz"},
     .status = -1,
     .output = "No free drive letters available; can't free Q:\n",
     .calls = turn},
    {.what = "source already free",
     .args = {"Q"},
     .output = "Drive Q: is already free\n",
     .calls = turn + "; drives; drives; drives; drives"},
    {.what = "the source offered as target by a drive set that changed during the search",
     .args = {"K", "DEFGHIJ"},
     .freed = {{1, 'K'}},
     .taken = {{2, 'K'}},
     .status = -1,
     .output = "Target drive K: is already in use\n",
     .calls = turn + "; drives; drives; " + needs()},
    {.what = "a failed drive-set query in the search",
     .args = {"K", "DEFGHIJ"},
     .failing_queries = {1, 3},
     .status = -1,
     .output = unreadable,
     .calls = turn + "; drives"},
    {.what = "a failed drive-set query at the source's probe",
     .args = {"K"},
     .failing_queries = {4},
     .status = -1,
     .output = unreadable,
     .calls = turn + "; " + search},
    {.what = "a failed drive-set query at the target's probe",
     .args = {"/whatif", "K"},
     .failing_queries = {5},
     .status = -1,
     .output = unreadable,
     .calls = "windir 260; " + checks},
    {.what = "failed drive-set queries in the wait, which goes on",
     .args = {"K"},
     .failing_queries = {6, 7},
     .calls = move_k_to_f + "; sleep 1000; drives; sleep 1000; drives"},
    {.what = "no letter in use at all, as from a failed query",
     .args = {"K"},
     .volumes = "",
     .status = -1,
     .output = unreadable,
     .calls = turn + "; drives"},
    {.what = "no volume behind the source, as for a network share",
     .args = {"K"},
     .volumes = "CDE",
     .bare = "K",
     .status = -1,
     .output = "Could not get info for K:\\\n",
     .calls = turn + "; " + checks + R"(; name K:\ 260)"},
    {.what = "a move", .args = {"K"}, .calls = move_k_to_f},
    {.what = "Windows' own volume",
     .args = {"k"},
     .windows = R"(K:\WINNT)",
     .status = -1,
     .output = refused,
     .calls = "windir 260"},
    {.what = "Windows' own, lower case",
     .args = {"K"},
     .windows = R"(k:\W)",
     .status = -1,
     .output = refused,
     .calls = "windir 260"},
    {.what = "not knowing where Windows runs from is no reason to refuse",
     .args = {"C"},
     .dump_file = "",  // %SystemRoot% would tell
     .failing = {"windir 260"},
     .calls = turn + "; " + search + "; " + needs('C') +
              R"(; drives; name C:\ 260; hold; delete C:\; set F:\ Volume{C}; release; drives)"},
    {.what = "Windows without a letter",
     .args = {"K"},
     .windows = R"(\\?\Vol\W)",
     .calls = move_k_to_f},
    {.what = "Windows on a path too long for the buffer, on K",
     .args = {"K"},
     .windows = R"(K:\)" + std::string(300, 'w'),
     .calls = move_k_to_f},
    {.what = "another run ends while this one waits",
     .args = {"K"},
     .locks = {vacate::Lock::busy},
     .calls = "windir 260; lock 2000 busy; lock 118000; " + moves_k_to_f},
    {.what = "another run is still at work after two minutes",
     .args = {"K"},
     .locks = {vacate::Lock::busy, vacate::Lock::busy},
     .status = -1,
     .output = "Another run of vacate is still at work; can't free K:\n",
     .calls = "windir 260; lock 2000 busy; lock 118000 busy"},
    {.what = "the lock's name squatted",
     .args = {"K"},
     .locks = {vacate::Lock::squatted},
     .calls = "windir 260; lock 2000 squatted; " + moves_k_to_f},
    {.what = "lower case, long argument and exclude list",
     .args = {"k:\\", "abcdefyz"},
     .calls = turn + "; drives; drives; " + needs() +
              R"(; drives; name K:\ 260; hold; delete K:\; set G:\ Volume{K}; release; drives)"},
    {.what = "a drive with more after it",
     .args = {"Kxyz", ""},
     .status = -1,
     .output = "Invalid drive letter: Kxyz\n"},
    {.what = "an option without its slash",
     .args = {"whatif", "K"},
     .status = -1,
     .output = "Invalid drive letter: whatif\n"},
    {.what = "the drive as K:, with an empty list", .args = {"K:", ""}, .calls = move_k_to_f},
    {.what = "to M", .args = {"/to:M", "K"}, .calls = turn + "; drives; " + needs() + moves_k_to_m},
    {.what = "to m:, reported",
     .args = {"-V", "-TO:m:", "k"},
     .output = "Moved K: to M:\n",
     .calls = turn + "; drives; " + needs() + moves_k_to_m},
    {.what = "to M, with an empty list",
     .args = {"/to:M", "K", ""},
     .calls = turn + "; drives; " + needs() + moves_k_to_m},
    {.what = "to M from a free letter: already free, whatever M holds",
     .args = {"/to:M", "Q"},
     .bare = "M",
     .output = "Drive Q: is already free\n",
     .calls = turn + "; drives"},
    {.what = "to M, taken",
     .args = {"/to:M", "K"},
     .bare = "M",
     .status = -1,
     .output = "Target drive M: is already in use\n",
     .calls = turn + "; drives; " + needs() + "; drives"},
    {.what = "to the source itself",
     .args = {"/to:K", "K"},
     .status = -1,
     .output = "Target drive K: is already in use\n",
     .calls = turn + "; drives; " + needs()},
    {.what = "to M, previewed",
     .args = {"/whatif", "/to:M", "K"},
     .output = "Would move K: to M:\n",
     .calls = "windir 260; drives; " + needs() + R"(; drives; name K:\ 260; admin)"},
    {.what = "to M, from a page file's volume",
     .args = {"/to:M", "K"},
     .paging_files = "K",
     .status = -1,
     .output = "Windows keeps a page file on K:; can't free it\n",
     .calls = turn + "; drives; reg PagingFiles"},
    {.what = "to M, a failed query at the source's probe",
     .args = {"/to:M", "K"},
     .failing_queries = {1},
     .status = -1,
     .output = unreadable,
     .calls = turn + "; drives"},
    {.what = "to B",
     .args = {"/to:B", "K"},
     .status = -1,
     .output = "Invalid target letter: /to:B\n"},
    {.what = "to M, with an exclude list",
     .args = {"/to:M", "K", "DE"},
     .status = -1,
     .output = "An exclude list has no use with /to:M\n"},
    {.what = "to M and to N",
     .args = {"/to:M", "/to:N", "K"},
     .status = -1,
     .output = "Invalid drive letter: /to:N\n"},
    {.what = "a page file on the source",
     .args = {"k"},
     .paging_files = "?CK",
     .status = -1,
     .output = "Windows keeps a page file on K:; can't free it\n",
     .calls = turn + "; " + search + "; reg PagingFiles"},
    {.what = "a page file in use on the source, named in lower case",
     .args = {"K"},
     .existing_page_files = "k",
     .status = -1,
     .output = "Windows keeps a page file on K:; can't free it\n",
     .calls = turn + "; " + search + "; reg PagingFiles; reg ExistingPageFiles"},
    {.what = "a page file where Windows chooses names no letter",
     .args = {"K"},
     .paging_files = "?",
     .calls = move_k_to_f},
    {.what = "a page file on a free letter: nothing to move",
     .args = {"Q"},
     .paging_files = "Q",
     .output = "Drive Q: is already free\n",
     .calls = turn + "; " + search},
    {.what = "page files that cannot be read are no reason to refuse",
     .args = {"K"},
     .paging_files = "K",
     .existing_page_files = "K",
     .failing = {"reg PagingFiles", "reg ExistingPageFiles"},
     .calls = move_k_to_f},
    {.what = "the system volume",
     .args = {"K"},
     .system_volume = 'K',
     .status = -1,
     .output = "Windows boots from K:; can't free it\n",
     .calls = turn + "; " + search + "; " + page_files + "; " + boot()},
    {.what = "the system volume, not known",
     .args = {"K"},
     .system_volume = 'K',
     .failing = {"reg SystemPartition"},
     .calls = turn + "; " + search + "; " + needs('K', "reg SystemPartition") +
              R"(; drives; name K:\ 260; hold; delete K:\; set F:\ Volume{K}; release; drives)"},
    {.what = "a system partition whose device is a prefix of the source's",
     .args = {"K"},
     .renamed = {{'K', "Volume10"}},
     .calls = turn + "; " + search + "; " + needs() +
              R"(; drives; name K:\ 260; hold; delete K:\; set F:\ Volume10; release; drives)"},
    {.what = "a dedicated dump file on the source, named in lower case",
     .args = {"D"},
     .dedicated_dump_file = R"(d:\dedicated.sys)",
     .status = -1,
     .output = dumps_on_d,
     .calls =
         turn + "; " + search + "; " + page_files + "; " + boot('D') + "; reg DedicatedDumpFile"},
    {.what = "the dump file on the source, dumps on",
     .args = {"D"},
     .dump_file = R"(D:\MEMORY.DMP)",
     .status = -1,
     .output = dumps_on_d,
     .calls = turn + "; " + search + "; " + page_files + "; " + boot('D') + "; " + dumps},
    {.what = "the dump file on the source, dumps off",
     .args = {"D"},
     .dump_file = R"(D:\MEMORY.DMP)",
     .crash_dump_enabled = 0,
     .calls = turn + "; " + search + "; " +
              needs('D', "", "reg DedicatedDumpFile; reg CrashDumpEnabled") + moves_d_to_f},
    {.what = "the dump file under SystemRoot, expanded to where Windows runs from",
     .args = {"K"},
     .windows = R"(K:\Windows)",
     .failing = {"windir 260"},
     .status = -1,
     .output = "Windows writes its crash dumps to K:; can't free it\n",
     .calls =
         "windir 260; lock 2000; " + search + "; " + page_files + "; " + boot() + "; " + dumps},
    {.what = "a dump path whose second character is not a colon names no drive",
     .args = {"D"},
     .dedicated_dump_file = R"(D\dedicated.sys)",
     .dump_file = R"(D\MEMORY.DMP)",
     .calls = turn + "; " + search + "; " + needs('D') + moves_d_to_f},
    {.what = "dump files that cannot be read are no reason to refuse",
     .args = {"D"},
     .dedicated_dump_file = R"(D:\dedicated.sys)",
     .dump_file = R"(D:\MEMORY.DMP)",
     .failing = {"reg DedicatedDumpFile", "reg DumpFile"},
     .calls = turn + "; " + search + "; " + needs('D') + moves_d_to_f},
    {.what = "a dump file on a free letter: nothing to move",
     .args = {"Q"},
     .dedicated_dump_file = R"(Q:\dedicated.sys)",
     .output = "Drive Q: is already free\n",
     .calls = turn + "; " + search},
    {.what = "a preview of the dump file's volume",
     .args = {"/whatif", "D"},
     .dedicated_dump_file = R"(D:\dedicated.sys)",
     .status = -1,
     .output = dumps_on_d,
     .calls = "windir 260; " + search + "; " + page_files + "; " + boot('D') +
              "; reg DedicatedDumpFile"},
    {.what = "a preview",
     .args = {"/whatif", "K"},
     .output = "Would move K: to F:\n",
     .calls = preview_k},
    {.what = "a preview in any case, with a report",
     .args = {"-V", "/WhatIf", "k", "def"},
     .output = "Would move K: to G:\n",
     .calls = "windir 260; drives; drives; " + needs() + R"(; drives; name K:\ 260; admin)"},
    {.what = "a preview by someone who may not move it",
     .args = {"/whatif", "K"},
     .administrator = false,
     .status = -1,
     .output = "Would move K: to F:; the move needs an elevated run\n",
     .calls = preview_k},
    {.what = "a move, reported",
     .args = {"/v", "K"},
     .output = "Moved K: to F:\n",
     .calls = move_k_to_f},
};

class Runs : public testing::TestWithParam<RunRow> {};

TEST_P(Runs, EndWithTheirStatusMessageAndCalls) {
    const RunRow& row = GetParam();
    FakePlatform platform(row.volumes, row.bare);
    platform.windows_directory = row.windows;
    platform.paging_files = row.paging_files;
    platform.existing_page_files = row.existing_page_files;
    platform.system_volume = row.system_volume;
    platform.dedicated_dump_file = row.dedicated_dump_file;
    platform.dump_file = row.dump_file;
    platform.crash_dump_enabled = row.crash_dump_enabled;
    for (const auto& [letter, name] : row.renamed) {
        platform.mounted[letter] = name;
    }
    platform.administrator = row.administrator;
    platform.failing = row.failing;
    platform.failing_queries = row.failing_queries;
    for (const auto& [query, letter] : row.freed) {
        platform.free_before_query(query, letter);
    }
    for (const auto& [query, letter] : row.taken) {
        platform.take_before_query(query, letter);
    }
    platform.locks = row.locks;
    std::vector<std::string> argv = row.args;
    if (!row.no_name) {
        argv.insert(argv.begin(), "vacate");
    }
    const RunRecord run = record_run(platform, argv);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(platform.log(), row.calls);
    EXPECT_EQ(broken_rule(run, platform), "");
}

INSTANTIATE_TEST_SUITE_P(Row, Runs, testing::ValuesIn(run_rows), name_of);

// Options share the drive's place now: a letter is A to Z in either case, and
// the characters on each side of those ranges are none.
TEST(Run, TakesOnlyTheLettersAToZInEitherCaseForADrive) {
    for (const char c : std::string("@AZ[`az{")) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"vacate", {c}}, {"vacate", "/v", {c}}}) {
            FakePlatform platform("CDEK");
            const RunRecord run = record_run(platform, args);
            const bool letter = std::isalpha(static_cast<unsigned char>(c)) != 0;
            EXPECT_EQ(run.output == "Invalid drive letter: " + args.back() + "\n", !letter) << c;
            EXPECT_EQ(broken_rule(run, platform), "") << c;
        }
    }
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
