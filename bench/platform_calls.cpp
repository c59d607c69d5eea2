// Prints the platform calls that each path of a run makes, counted by the
// fake, beside the fewest that the program's rules allow: one drive-set query
// for each candidate letter the search does not skip, one probe of the source
// and one of the target, the volume calls of the move in their one order, and
// the settle wait's probes and pauses, and what Windows needs of the source
// (its page files, the volume it boots from and its crash dumps: seven reads
// at most, fewer when one refuses or is not known); and whether it took the
// machine's lock and held interruptions back over the move. A run past the
// argument checks also asks once where Windows runs from, which is not
// counted.

#include <cstdio>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "invariants.h"

namespace {

struct Path {
    const char* what;
    std::vector<std::string> argv;
    std::string volumes;
    std::vector<std::string> failing;
    int mount_unseen_queries;
    int least_queries, least_volume_calls, least_pauses;
    std::string paging_files = "";
    char system_volume = '\0';
    std::string dedicated_dump_file = "";
};

int count_starting(const FakePlatform& platform, const std::string& prefix) {
    int n = 0;
    for (const FakePlatform::Call& call : platform.calls) {
        n += call.text.starts_with(prefix) ? 1 : 0;
    }
    return n;
}

}  // namespace

int main() {
    // C, D, E and K in use: a search from D asks D, E and F.
    const Path paths[] = {
        {"usage", {"vacate"}, "CDEK", {}, 0, 0, 0, 0},
        {"invalid letter", {"vacate", "7"}, "CDEK", {}, 0, 0, 0, 0},
        {"Windows' own volume", {"vacate", "C"}, "CDEK", {}, 0, 0, 0, 0},
        {"every candidate excluded",
         {"vacate", "K", "DEFGHIJKLMNOPQRSTUVWXYZ"},
         "CDEK",
         {},
         0,
         0,
         0,
         0},
        {"every candidate in use", {"vacate", "K"}, "CDEFGHIJKLMNOPQRSTUVWXYZ", {}, 0, 23, 0, 0},
        {"already free", {"vacate", "Q"}, "CDEK", {}, 0, 3 + 1, 0, 0},
        {"move, exclude list ABCDEKYZ",
         {"vacate", "K", "ABCDEKYZ"},
         "CDEK",
         {},
         0,
         1 + 2 + 1,
         3,
         0},
        {"move, letter seen at once", {"vacate", "K"}, "CDEK", {}, 0, 3 + 2 + 1, 3, 0},
        {"move, letter never seen", {"vacate", "K"}, "CDEK", {}, -1, 3 + 2 + 16, 3, 15},
        {"volume name refused", {"vacate", "K"}, "CDEK", {R"(name K:\ 260)"}, 0, 3 + 2, 1, 0},
        {"removal refused", {"vacate", "K"}, "CDEK", {R"(delete K:\)"}, 0, 3 + 2, 2, 0},
        {"mount refused, restored",
         {"vacate", "K"},
         "CDEK",
         {R"(set F:\ Volume{K})"},
         0,
         3 + 2,
         4,
         0},
        {"mount and restore refused",
         {"vacate", "K"},
         "CDEK",
         {R"(set F:\ Volume{K})", R"(set K:\ Volume{K})"},
         0,
         3 + 2,
         4,
         0},
        {"page file on the source", {"vacate", "K"}, "CDEK", {}, 0, 3 + 1, 0, 0, "K"},
        {"the volume Windows boots from", {"vacate", "K"}, "CDEK", {}, 0, 3 + 1, 0, 0, "", 'K'},
        {"the crash dumps' volume",
         {"vacate", "K"},
         "CDEK",
         {},
         0,
         3 + 1,
         0,
         0,
         "",
         '\0',
         R"(K:\dedicated.sys)"},
        {"preview", {"vacate", "/whatif", "K"}, "CDEK", {}, 0, 3 + 2, 1, 0},
        // /to: no search, the source's probe and the target's.
        {"move /to:M", {"vacate", "/to:M", "K"}, "CDEK", {}, 0, 2 + 1, 3, 0},
        {"/to:M, source already free", {"vacate", "/to:M", "Q"}, "CDEK", {}, 0, 1, 0, 0},
        {"/to:M, M taken", {"vacate", "/to:M", "K"}, "CDEKM", {}, 0, 2, 0, 0},
        {"preview /to:M", {"vacate", "/whatif", "/to:M", "K"}, "CDEK", {}, 0, 2, 1, 0},
    };
    std::printf("%-30s %14s %14s %14s %7s %10s %6s\n", "path", "queries/least", "volume/least",
                "pauses/least", "needs", "lock/hold", "status");
    for (const Path& path : paths) {
        FakePlatform platform(path.volumes);
        platform.failing.insert(path.failing.begin(), path.failing.end());
        platform.mount_unseen_queries = path.mount_unseen_queries;
        platform.paging_files = path.paging_files;
        platform.system_volume = path.system_volume;
        platform.dedicated_dump_file = path.dedicated_dump_file;
        const RunRecord run = record_run(platform, path.argv);
        const int queries = platform.count("drives");
        const int pauses = platform.count("sleep 1000");
        const int locks = platform.count("lock 2000");
        const int holds = platform.count("hold");
        const int needs = count_starting(platform, "reg ") + count_starting(platform, "device ");
        const int volume_calls = static_cast<int>(platform.calls.size()) - queries - pauses -
                                 locks - 2 * holds - platform.count("windir 260") - needs -
                                 platform.count("admin");
        std::printf("%-30s %8d/%-5d %8d/%-5d %8d/%-5d %7d %8d/%-1d %6d\n", path.what, queries,
                    path.least_queries, volume_calls, path.least_volume_calls, pauses,
                    path.least_pauses, needs, locks, holds, run.status);
    }
    return 0;
}
