// Every way the platform can answer a run that frees K: with C, D, E and K
// in use: each of the four volume calls succeeding or failing, the new
// letter showing up at the first probe, after 1 to 15 pauses or never,
// another program changing the drive set between the search and the
// re-checks, and an interruption arriving while the volume is moved.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "fake_platform.h"
#include "invariants.h"

namespace {

// The search asks for D, E and F (queries 1 to 3), the run probes K (4) and
// F again (5).
enum class Change { none, source_freed, target_taken, other_taken };
constexpr int never = 16;

struct Scenario {
    bool name_fails, delete_fails, mount_fails, restore_fails;
    int shows_after;  // pauses before F: shows up, or never
    Change change;
    bool interrupted;
};

void script(FakePlatform& platform, const Scenario& s) {
    const std::string volume = volume_of('K');
    const std::pair<bool, std::string> failures[] = {
        {s.name_fails, R"(name K:\ 260)"},
        {s.delete_fails, R"(delete K:\)"},
        {s.mount_fails, R"(set F:\ )" + volume},
        {s.restore_fails, R"(set K:\ )" + volume},
    };
    for (const auto& [fails, call] : failures) {
        if (fails) {
            platform.failing.insert(call);
        }
    }
    platform.mount_unseen_queries = s.shows_after == never ? -1 : s.shows_after;
    platform.interrupted = s.interrupted;
    if (s.change == Change::source_freed)
        platform.free_before_query(4, 'K');
    if (s.change == Change::target_taken)
        platform.take_before_query(5, 'F');
    if (s.change == Change::other_taken)
        platform.take_before_query(4, 'G');
}

// The status that the table of exit statuses gives for the scenario; the
// rules hold the wait to the pauses that the scenario calls for.
int expected_status(const Scenario& s) {
    if (s.change == Change::source_freed)
        return 0;
    if (s.change == Change::target_taken)
        return -1;
    if (s.name_fails || s.delete_fails)
        return -1;
    if (s.mount_fails)
        return s.restore_fails ? -2 : -1;
    return 0;
}

TEST(FailurePaths, EveryAnswerOfThePlatformKeepsTheRules) {
    // Each rule broken, once: by how many scenarios, and the first of them.
    std::map<std::string, std::pair<int, std::string>> broken;
    int scenarios = 0;
    for (int failures = 0; failures < 32; ++failures) {
        for (int shows_after = 0; shows_after <= never; ++shows_after) {
            for (const Change change :
                 {Change::none, Change::source_freed, Change::target_taken, Change::other_taken}) {
                const Scenario s{.name_fails = (failures & 1) != 0,
                                 .delete_fails = (failures & 2) != 0,
                                 .mount_fails = (failures & 4) != 0,
                                 .restore_fails = (failures & 8) != 0,
                                 .shows_after = shows_after,
                                 .change = change,
                                 .interrupted = (failures & 16) != 0};
                FakePlatform platform("CDEK");
                script(platform, s);
                const RunRecord run = record_run(platform, {"vacate", "K"});
                ++scenarios;

                const std::string rule =
                    run.status == expected_status(s)
                        ? broken_rule(run, platform)
                        : "the status must be the one that the outcome calls for";
                if (!rule.empty() && broken[rule].first++ == 0) {
                    // The scenario by the answers that make it.
                    broken[rule].second =
                        "refused (1 name, 2 removal, 4 mount, 8 restore, 16 interrupted): " +
                        std::to_string(failures) + "; F shows after " +
                        std::to_string(shows_after) + " pauses (16: never); change " +
                        std::to_string(static_cast<int>(change)) +
                        " (1 K freed, 2 F taken, 3 G taken): status " + std::to_string(run.status) +
                        ", printed \"" + run.output + "\", called " + platform.log();
                }
            }
        }
    }
    for (const auto& [rule, seen] : broken) {
        ADD_FAILURE() << rule << "\n  broken by " << seen.first << " of " << scenarios
                      << " scenarios, the first: " << seen.second;
    }
    EXPECT_EQ(scenarios, 32 * 17 * 4);
}

}  // namespace
