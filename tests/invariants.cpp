#include "invariants.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <set>

#include "capture.h"
#include "cli/run.h"

namespace {

std::string text(char letter) {
    return std::string(1, letter);
}

using Call = FakePlatform::Call;
using Phase = std::vector<Call>;

// The log cut into the phases of a run, in the one order that a run meets
// them; what does not fit that order is left in `rest`, and the first of it
// is told with the phase it came after.
struct Phases {
    Phase windir, turn, search, needs, recheck, name, admin, hold, removal, mounts, release, wait,
        rest;
    std::string out_of_order;
};

Phases phases_of(const FakePlatform& platform) {
    Phases run;
    std::size_t next = 0;
    std::string last = "the start";
    // The calls from `next` on that are of one of `kinds`, at most `most`.
    const auto take = [&](Phase& phase, const char* name, std::size_t most,
                          std::initializer_list<const char*> kinds) {
        while (next < platform.calls.size() && phase.size() < most &&
               std::any_of(kinds.begin(), kinds.end(), [&](const char* kind) {
                   return platform.calls[next].text.starts_with(kind);
               })) {
            phase.push_back(platform.calls[next++]);
            last = name;
        }
    };
    take(run.windir, "where Windows runs from", 1, {"windir "});
    take(run.turn, "the turn", 2, {"lock "});
    take(run.search, "the search and probes", SIZE_MAX, {"drives"});
    // As many as the questions ask: their order is a rule of its own.
    take(run.needs, "what Windows needs", SIZE_MAX, {"reg ", "device "});
    take(run.recheck, "the target's probe", 1, {"drives"});
    take(run.name, "the volume name", 1, {"name "});
    take(run.admin, "whether the run may move volumes", 1, {"admin"});
    take(run.hold, "the hold", 1, {"hold"});
    take(run.removal, "the removal", 1, {"delete "});
    take(run.mounts, "the mounts", 2, {"set "});
    take(run.release, "the release", 1, {"release"});
    take(run.wait, "the wait", SIZE_MAX, {"drives", "sleep "});
    if (next < platform.calls.size()) {
        run.out_of_order = platform.calls[next].text + " came after " + last;
    }
    take(run.rest, "", SIZE_MAX, {""});
    return run;
}

// Entry i of a phase, or an empty one that the phase lacks.
Call at(const Phase& phase, std::size_t i) {
    return i < phase.size() ? phase[i] : Call{};
}

}  // namespace

std::string usage_text(const std::string& program) {
    return "Usage: " + program +
           " <Drive> [Exclude list]\n"
           "where <Drive> is drive letter to free up and\n"
           "[ExcludeList] is a set of drive letters not to move it to\n"
           "\n"
           "For example:  " +
           program + " K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z";
}

std::string help_text(const std::string& program) {
    return usage_text(program) +
           "\n"
           "<Drive>  is a letter: K, k, K: or K:\\\n"
           "/whatif  (before <Drive>) says where the volume would go, and changes nothing\n"
           "/v       (before <Drive>) says where the volume went\n"
           "/to:L    (before <Drive>) moves it to L: (D to Z), not the lowest free letter\n"
           "/version (before <Drive>) prints vacate's version\n";
}

RunRecord record_run(FakePlatform& platform, std::vector<std::string> argv) {
    RunRecord run;
    run.argv = argv;
    run.mounted_before = platform.mounted;
    std::vector<char*> pointers;
    for (std::string& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    run.errors = capture_output(
        [&] {
            run.output = capture_output([&] {
                run.status = vacate::run(static_cast<int>(argv.size()), pointers.data(), platform);
            });
        },
        2);
    return run;
}

std::string broken_rule(const RunRecord& run, const FakePlatform& platform) {
    // What was asked: options, then the drive and the exclude list.
    const std::vector<std::string>& argv = run.argv;
    const auto lower = [](std::string word) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return word;
    };
    const auto is_switch = [](const std::string& word) { return word[0] == '/' || word[0] == '-'; };
    bool help = false, version = false, whatif = false, tell = false, bad_to = false;
    std::string to;  // /to as typed, and the letter it names
    char to_letter = '\0';
    std::size_t first = 1;
    for (; first < argv.size() && !help && !version && !bad_to; ++first) {
        const std::string word = lower(argv[first]);
        const std::string option = is_switch(word) ? word.substr(1) : "";
        help =
            word == "help" || std::set<std::string>{"/?", "-?", "-h", "--help"}.count(argv[first]);
        version = !help && (option == "version" || word == "--version");
        if (option == "whatif" && !whatif) {
            whatif = true;
        } else if (option == "v" && !tell) {
            tell = true;
        } else if (option.starts_with("to:") && to.empty()) {
            to = argv[first];
            const std::string value = option.substr(3);
            const bool one_letter = value.size() == 1 || (value.size() == 2 && value[1] == ':');
            bad_to = !one_letter || value[0] < 'd' || value[0] > 'z';
            to_letter = bad_to ? '\0' : static_cast<char>(value[0] & ~0x20);
        } else if (!help && !version) {
            break;
        }
    }
    const std::size_t given = argv.size() > first ? argv.size() - first : 0;
    const bool usage = help || version || (!bad_to && (given < 1 || given > 2));
    const std::string drive = usage || bad_to ? "" : argv[first];
    const std::string list = given == 2 ? argv[first + 1] : "";
    // A drive is a letter, alone or followed by ":" or ":\", and nothing else.
    const char letter = static_cast<char>(drive[0] & ~0x20);
    const bool named_letter =
        !usage && !bad_to && letter >= 'A' && letter <= 'Z' &&
        (drive.size() == 1 || drive.substr(1) == ":" || drive.substr(1) == ":\\");
    const bool misplaced = named_letter && given == 2 && is_switch(list);
    const bool list_with_to = named_letter && !misplaced && !to.empty() && !list.empty();
    const std::string source = text(letter) + ":";
    const std::string root = source + "\\";
    const auto found = run.mounted_before.find(letter);
    const std::string volume = found == run.mounted_before.end() ? "" : found->second;
    const std::string& windows = platform.windows_directory;
    const bool windows_here = !platform.calls.empty() && platform.calls[0].succeeded &&
                              windows.size() >= 2 && windows.size() < 260 && windows[1] == ':' &&
                              (windows[0] & ~0x20) == letter;

    // How the platform answered, phase by phase, and what the run said.
    const Phases p = phases_of(platform);
    const std::string turn = p.turn.empty() ? "" : p.turn.back().text;
    const bool waited = p.turn.size() == 2;
    const bool asks = named_letter && !misplaced && !list_with_to && !windows_here;
    const bool turned = asks && !turn.ends_with(" busy");
    const bool named = turned && at(p.name, 0).succeeded;
    const bool removed = named && at(p.removal, 0).succeeded;
    const bool mounted = removed && at(p.mounts, 0).succeeded;
    const char target = at(p.mounts, 0).text.size() > 4 ? at(p.mounts, 0).text[4] : '\0';
    const std::string holder = platform.letters_holding(volume);
    const bool at_source = holder == text(letter);
    const bool at_target = holder == text(target);
    const auto ends = [&](int status, const std::string& said) {
        return run.status == status && run.output == said;
    };
    const auto none = [](const auto&... phases) { return (phases.empty() && ...); };
    // Standard error tells only why a run waited, or went on without the lock.
    const std::string notes =
        std::string(waited ? "vacate: waiting for another run of vacate to finish\n" : "") +
        (turn.ends_with(" squatted")
             ? "vacate: another program holds the lock's name; going on without it\n"
             : "");
    const char taken = run.output.size() > 13 ? run.output[13] : '\0';
    const std::string unreadable =
        "Could not read the drive letters in use; can't free " + source + "\n";
    // With /to, nothing is searched, and only L: can be found taken.
    const bool early_outcome =
        (to.empty() && ends(-1, "No free drive letters available; can't free " + source + "\n")) ||
        ends(0, "Drive " + source + " is already free\n") || ends(-1, unreadable) ||
        (taken >= 'D' && taken <= 'Z' && (to.empty() || taken == to_letter) &&
         ends(-1, "Target drive " + text(taken) + ": is already in use\n"));
    // A drive set of 0 before the move is a failed query: Windows always has
    // its own volume lettered. The first must end the run.
    std::size_t unread = 0;
    for (const Call& call : p.search) {
        unread += call.drives == 0 ? 1u : 0u;
    }
    unread += at(p.recheck, 0).text == "drives" && at(p.recheck, 0).drives == 0 ? 1u : 0u;
    const std::string refused =
        "Could not set mount point to " + text(target) + ":...restoring to " + source + "\n";
    const std::string moved = tell ? "Moved " + source + " to " + text(target) + ":\n" : "";

    // What Windows needs of the source, in the checker's own words: each
    // question's calls in their order, asked until one refuses, and the line
    // it refuses with. Whether a call was answered is the log's to say;
    // whether the answer names the source is judged from what the fake was
    // told (a page file on K:, the system volume at S:, a dump file's path).
    std::string needs;
    std::size_t answered = 0;
    const auto ask = [&](const std::string& call) {
        needs += call + "; ";
        return at(p.needs, answered++).succeeded;
    };
    const auto lists = [&](const std::string& letters) {
        return lower(letters).find(text(static_cast<char>(letter | 0x20))) != std::string::npos;
    };
    const auto on_source = [&](const std::string& path) {
        return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) != 0 &&
               path[1] == ':' && (path[0] & ~0x20) == letter;
    };
    const bool boots_here =
        !volume.empty() && lower(device_of(volume)) == lower(platform.system_device());
    const auto dumps_on = static_cast<std::uint32_t>(platform.crash_dump_enabled) != 0;
    std::string refusal;
    if ((ask("reg PagingFiles") && lists(platform.paging_files)) ||
        (ask("reg ExistingPageFiles") && lists(platform.existing_page_files))) {
        refusal = "Windows keeps a page file on ";
    } else if (ask("reg SystemPartition") && ask("device " + source) && boots_here) {
        refusal = "Windows boots from ";
    } else if ((ask("reg DedicatedDumpFile") && on_source(platform.dedicated_dump_file)) ||
               (ask("reg CrashDumpEnabled") && dumps_on && ask("reg DumpFile") &&
                on_source(expand_system_root(platform.dump_file, platform.windows_directory)))) {
        refusal = "Windows writes its crash dumps to ";
    }
    if (!refusal.empty()) {
        refusal += source + "; can't free it\n";
    }
    std::string asked;
    for (const Call& call : p.needs) {
        asked += call.text + "; ";
    }

    // A preview's target: from D to Z, not the source, not excluded, free at
    // the last probe.
    const char would = run.output.size() > 17 ? run.output[17] : '\0';
    const bool may = at(p.admin, 0).succeeded;
    const std::string preview = "Would move " + source + " to " + text(would) + ":" +
                                (may ? "" : "; the move needs an elevated run") + "\n";
    const bool fair_target =
        would >= 'D' && would <= 'Z' && would != letter && (to.empty() || would == to_letter) &&
        lower(list).find(text(static_cast<char>(would | 0x20))) == std::string::npos &&
        (at(p.recheck, 0).drives >> (would - 'A') & 1) == 0;

    // The wait: a probe, then a pause and a probe while the target reads
    // free, 15 pauses at most.
    const int bit = target >= 'A' && target <= 'Z' ? target - 'A' : 31;
    const std::size_t pauses = p.wait.size() / 2;
    bool alternates = p.wait.size() % 2 == 1 && pauses <= 15;
    bool pauses_while_free = true;  // and stops at the probe that sees the target
    for (std::size_t i = 0; i < p.wait.size(); ++i) {
        const bool seen = (p.wait[i].drives >> bit & 1) != 0;
        const bool last = i + 1 == p.wait.size();
        alternates = alternates && p.wait[i].text == (i % 2 == 0 ? "drives" : "sleep 1000");
        pauses_while_free =
            pauses_while_free && (i % 2 == 1 || (last ? seen || pauses == 15 : !seen));
    }
    const bool interrupted = at(p.release, 0).text == "release interrupted";

    // The rules, in the order a run meets them: the first that applies and
    // does not hold is the one broken.
    struct Rule {
        bool applies;
        bool holds;
        std::string says;
    };
    const Rule rules[] = {
        {true, run.status == 0 || run.status == -1 || run.status == -2,
         "status outside 0, -1 and -2"},
        {version, ends(0, "vacate " VACATE_VERSION "\n") && platform.calls.empty(),
         "/version must print the version that CMake holds, with 0, asking nothing"},
        {usage && !version,
         run.output == (help ? help_text : usage_text)(argv.empty() ? "vacate" : argv[0]) &&
             run.status == (help ? 0 : -1) && platform.calls.empty(),
         "help must print the usage and the options with 0, and a call without a drive, or with "
         "more than a drive and a list, the usage alone with -1"},
        {bad_to, ends(-1, "Invalid target letter: " + to + "\n") && platform.calls.empty(),
         "/to must name one letter from D to Z, with or without a colon, or be refused with its "
         "line and -1 before any platform call"},
        {!usage && !bad_to && !named_letter,
         run.output == "Invalid drive letter: " + drive + "\n" && run.status == -1 &&
             platform.calls.empty(),
         "a drive that is not a letter, alone or with \":\" or \":\\\", must be refused before "
         "any platform call"},
        {misplaced,
         ends(-1, "Options go before the drive: " + list + " is not an exclude list\n") &&
             platform.calls.empty(),
         "an option after the drive must be refused with its line and -1 before any platform "
         "call"},
        {list_with_to,
         ends(-1, "An exclude list has no use with " + to + "\n") && platform.calls.empty(),
         "an exclude list with /to must be refused with its line and -1 before any platform "
         "call"},
        {true, run.errors == notes,
         "standard error must say only why the run waited, or went on without the lock"},
        {named_letter,
         std::count(run.output.begin(), run.output.end(), '\n') <= 2 &&
             (run.output.empty() || run.output.back() == '\n'),
         "a run must print at most two lines, each with its line end"},
        {named_letter && !misplaced && !list_with_to,
         p.windir.size() == 1 && p.windir[0].text == "windir 260",
         "a run must first ask where Windows runs from"},
        {named_letter && windows_here,
         platform.calls.size() == 1 &&
             ends(-1, "Windows runs from " + source + "; can't free it\n"),
         "the volume Windows runs from must be refused with its line and -1, asking nothing more"},
        {asks, p.rest.empty(),
         "the calls must come in a run's one order: the turn, the search and probes, what "
         "Windows needs, the target's probe, the volume name, the hold, the removal, the mounts, "
         "the release, the wait; " +
             p.out_of_order},
        {asks && whatif, p.turn.empty(), "a preview must take no turn"},
        {turned && !to.empty(), p.search.size() <= 1,
         "with /to the run searches nothing: the source's probe is its one query before what "
         "Windows needs"},
        {turned && unread > 0,
         unread == 1 && platform.calls.back().text == "drives" &&
             platform.calls.back().drives == 0 && ends(-1, unreadable),
         "a drive-set query that answers 0 before the move must end the run at once with its "
         "line and -1, changing nothing"},
        {asks && !whatif,
         waited ? p.turn[0].text == "lock 2000 busy" && turn.starts_with("lock 118000")
                : turn.starts_with("lock 2000") && turn != "lock 2000 busy",
         "a run must wait 2 s for its turn, and 118 s more only after a busy lock, before all "
         "else"},
        {asks && !turned,
         platform.calls.size() == 1 + p.turn.size() &&
             ends(-1, "Another run of vacate is still at work; can't free " + source + "\n"),
         "a lock still busy must end the run with its line and -1, touching nothing"},
        {turned && !(p.needs.empty() && p.recheck.empty() && p.name.empty()), asked == needs,
         "a run must ask what Windows needs of the source before its last probe, until one "
         "refuses: PagingFiles, ExistingPageFiles, SystemPartition, then the source's device once "
         "that is known, DedicatedDumpFile, CrashDumpEnabled, then DumpFile when dumps are on"},
        {turned && !refusal.empty(),
         none(p.recheck, p.name, p.admin, p.hold, p.removal, p.mounts, p.release, p.wait) &&
             ends(-1, refusal),
         "a volume that Windows needs (a page file, the boot, the crash dumps) must be refused "
         "with its line and -1, asking nothing more"},
        {turned && refusal.empty() && p.name.empty(),
         none(p.admin, p.hold, p.removal, p.mounts, p.release) && early_outcome,
         "a run that touched nothing must end with one of its three early outcomes"},
        {turned && !p.name.empty(), at(p.name, 0).text == "name " + root + " 260",
         "the first volume call must read the source's volume name"},
        {turned && !p.name.empty() && !named,
         none(p.admin, p.hold, p.removal, p.mounts, p.release, p.wait) &&
             ends(-1, "Could not get info for " + root + "\n"),
         "a refused volume name must end the run with its message and -1"},
        {!whatif, p.admin.empty(), "only a preview may ask whether the run may move volumes"},
        {named && whatif,
         p.admin.size() == 1 && none(p.hold, p.removal, p.mounts, p.release, p.wait) &&
             fair_target && ends(may ? 0 : -1, preview),
         "a preview must say where the volume would go, with 0, or with -1 and why when the "
         "run may not move it, changing nothing"},
        {named && !whatif, p.hold.size() == 1 && p.removal.size() == 1,
         "the removal must come right after the hold"},
        {named && !whatif,
         p.release.size() == 1 && at(p.release, 0).printed == static_cast<long>(run.output.size()),
         "the hold must end right after the last mount call, with the outcome told"},
        {named && !whatif, at(p.removal, 0).text == "delete " + root,
         "the volume name must be followed by removing the source"},
        {named && !removed && !whatif,
         none(p.mounts, p.wait) && ends(-1, "Could not remove " + root + "\n") && at_source,
         "a refused removal must end the run with its message, -1 and nothing moved"},
        {removed,
         target >= 'D' && target <= 'Z' && target != letter &&
             (to.empty() || target == to_letter) &&
             at(p.mounts, 0).text == "set " + text(target) + ":\\ " + volume,
         "the removal must be followed by mounting the volume at a target from D to Z, /to's "
         "letter if given"},
        {removed && !mounted,
         p.mounts.size() == 2 && p.wait.empty() &&
             at(p.mounts, 1).text == "set " + root + " " + volume,
         "a refused mount must be followed by exactly one restore, and nothing more"},
        {removed && !mounted, at(p.mounts, 1).printed == 0,
         "the restore must be tried before a word of the outcome is written"},
        {removed && !mounted && at(p.mounts, 1).succeeded, ends(-1, refused) && at_source,
         "a restored volume must end the run with one line, -1, back at its letter"},
        {removed && !mounted && !at(p.mounts, 1).succeeded,
         ends(-2, refused + "Restore of " + volume + " to " + source + " failed\n") &&
             holder.empty(),
         "a failed restore must say so, naming the volume, and end the run with -2"},
        {mounted, p.mounts.size() == 1, "a mount that succeeded must not be followed by another"},
        {mounted && interrupted, p.wait.empty() && ends(0, moved) && at_target,
         "an interrupted move must end at once with 0, the volume moved, saying only where when "
         "asked"},
        {mounted && !interrupted, alternates,
         "the wait must alternate probes and pauses of 1000 ms, at most 15, from probe to probe"},
        {mounted && !interrupted, pauses_while_free,
         "the wait must pause only while the target reads free, up to 15 times"},
        {mounted, ends(0, moved) && at_target,
         "a move must end with 0 and the volume at the target alone, saying where only when "
         "asked"},
    };
    for (const Rule& rule : rules) {
        if (rule.applies && !rule.holds) {
            return rule.says;
        }
    }
    return "";
}
