#include "relocation/drive_letters.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"

namespace {

using vacate::no_drive_letter;
using vacate::Probe;
using vacate::unknown_drive_letter;

// Every letter from D to Z, which is every letter the search can offer.
const std::string candidates = "DEFGHIJKLMNOPQRSTUVWXYZ";

TEST(FindFreeDriveLetter, TakesTheLowestFreeCandidateNotExcluded) {
    struct Row {
        const char* what;
        std::string in_use;
        std::string exclude;
        char answer;
        int queries;
    };
    const Row rows[] = {
        {"only C in use", "C", "", 'D', 1},
        {"C never offered, D and E in use", "CDE", "", 'F', 3},
        {"only C and Z free", "ABDEFGHIJKLMNOPQRSTUVWXY", "", 'Z', 23},
        {"excluded and in use", "CF", "ABCDEKYZ", 'G', 2},
        {"every candidate excluded", "", candidates, no_drive_letter, 0},
        {"every candidate in use", candidates, "", no_drive_letter, 23},
        {"each exclusion saves a query", candidates, "DEFG", no_drive_letter, 19},
        {"A to C, digits, punctuation and high bytes count for nothing", "D", "ABC019:\\[`\x80\xFF",
         'E', 2},
        {"lower case is not upper-cased here", "C", "defg", 'D', 1},
    };
    for (const Row& row : rows) {
        FakePlatform platform("", row.in_use);
        EXPECT_EQ(vacate::find_free_drive_letter(platform, row.exclude.c_str()), row.answer)
            << row.what;
        EXPECT_EQ(platform.count("drives"), row.queries) << row.what;
        EXPECT_EQ(platform.count("drives"), static_cast<int>(platform.calls.size())) << row.what;
    }
}

// A drive set of 0 is a failure, never "nothing in use": Windows always has
// its own volume lettered.
TEST(FindFreeDriveLetter, EndsAtAFailedQuery) {
    FakePlatform platform("", "CDEF");
    platform.failing_queries = {2};
    EXPECT_EQ(vacate::find_free_drive_letter(platform, ""), unknown_drive_letter);
    EXPECT_EQ(platform.log(), "drives; drives");
}

TEST(ProbeDriveLetter, MapsEveryByteToABitModulo32) {
    struct Row {
        char letter;
        int bit;
    };
    const Row rows[] = {
        {'A', 0},  {'K', 10},  {'Z', 25},    {'0', 15}, {'9', 24}, {'a', 0},     {'[', 26},
        {'`', 31}, {'\0', 31}, {'\x80', 31}, {'@', 31}, {'z', 25}, {'\xFF', 30},
    };
    for (const Row& row : rows) {
        for (int set = 0; set < 32; ++set) {
            FakePlatform platform;
            platform.drives = std::uint32_t{1} << set;
            EXPECT_EQ(vacate::probe_drive_letter(platform, row.letter),
                      set != row.bit ? Probe::free : Probe::in_use)
                << "letter " << static_cast<int>(static_cast<unsigned char>(row.letter)) << ", bit "
                << set;
            EXPECT_EQ(platform.log(), "drives");
        }
        FakePlatform none;
        EXPECT_EQ(vacate::probe_drive_letter(none, row.letter), Probe::unknown);
    }
}

}  // namespace
