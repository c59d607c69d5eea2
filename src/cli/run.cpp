#include "cli/run.h"

#include <cstdint>

#include "cli/command_line.h"
#include "relocation/ascii.h"
#include "relocation/drive_letters.h"
#include "relocation/relocate.h"
#include "relocation/report.h"
#include "relocation/windows_volumes.h"

namespace vacate {

namespace {

// A run that has waited this long says why it seems to hang.
constexpr std::uint32_t lock_notice_ms = 2000;
// Far longer than any run holds the lock, its 15 s wait and the mounts
// included: a holder still at it has stalled (suspended, or its console's
// output paused), and the caller is better told than kept waiting.
constexpr std::uint32_t lock_give_up_ms = 120000;

// Runs take turns, so that two never choose the same letter; the turn lasts
// to the end, so that the next one's search sees the letter this one took.
// Answers whether the run may go on.
bool take_turn(Platform& platform, const char* source_name) {
    Lock lock = platform.lock_machine(lock_notice_ms);
    if (lock == Lock::busy) {
        warn("vacate: waiting for another run of vacate to finish\n");
        lock = platform.lock_machine(lock_give_up_ms - lock_notice_ms);
    }
    if (lock == Lock::busy) {
        report("Another run of vacate is still at work; can't free %s\n", source_name);
        return false;
    }
    if (lock == Lock::squatted) {
        warn("vacate: another program holds the lock's name; going on without it\n");
    }
    return true;
}

// Whether a volume that Windows needs at `stage` refuses the run, said if so.
bool refused_by_windows(Platform& platform, Stage stage, const char* source_name) {
    const WindowsNeed* need = needed_by_windows(platform, stage, source_name);
    if (need != nullptr) {
        report(need->refusal, source_name);
    }
    return need != nullptr;
}

// A drive set that could not be read says nothing, least of all that a letter
// is free: a run that went on would report success, or choose a letter in use.
int unreadable(const char* source_name) {
    report("Could not read the drive letters in use; can't free %s\n", source_name);
    return -1;
}

// The run's steps, in their order; the first that ends the run gives its
// status. With /to there is no search, and a free source is already free
// whatever the target holds, so that a script's second run succeeds.
int free_drive(Platform& platform, const Request& request) {
    const Drive source = drive(request.source);
    if (refused_by_windows(platform, Stage::before_turn, source.name)) {
        return -1;
    }
    // A preview changes nothing, and so has no turn to wait for.
    if (!request.preview && !take_turn(platform, source.name)) {
        return -1;
    }
    char target = request.target;
    if (target == '\0') {
        target = find_free_drive_letter(platform, request.exclude);
        if (target == unknown_drive_letter) {
            return unreadable(source.name);
        }
        if (target == no_drive_letter) {
            report("No free drive letters available; can't free %s\n", source.name);
            return -1;
        }
    }
    switch (probe_drive_letter(platform, request.source)) {
        case Probe::unknown:
            return unreadable(source.name);
        case Probe::free:
            report("Drive %s is already free\n", source.name);
            return 0;
        case Probe::in_use:
            break;
    }
    if (refused_by_windows(platform, Stage::after_probe, source.name)) {
        return -1;
    }
    // Asked afresh, just before the move: another program may have taken the
    // letter since the search. The source, in use a moment ago, is taken too:
    // named by /to, or offered by a drive set that changed during the search;
    // moving a volume onto its own letter frees nothing.
    const Probe probe =
        target == request.source ? Probe::in_use : probe_drive_letter(platform, target);
    if (probe == Probe::unknown) {
        return unreadable(source.name);
    }
    if (probe == Probe::in_use) {
        report("Target drive %s is already in use\n", drive(target).name);
        return -1;
    }

    char volume[volume_name_capacity];
    const Move move{request.source, target};
    if (request.preview) {
        return preview_relocation(platform, move, volume);
    }
    return relocate_volume(platform, move, volume, request.verbose);
}

}  // namespace

int run(int argc, char** argv, Platform& platform) {
    // A POSIX caller may pass no arguments at all, not even a name.
    const char* program_name = argc > 0 ? argv[0] : "vacate";
    const CommandLine line = read_command_line(argc, argv);
    switch (line.answer) {
        case CommandLine::Answer::help:
            print_help(program_name);
            return 0;
        // Asked by scripts that detect what is installed: like help, it
        // answers whatever follows.
        case CommandLine::Answer::version:
            report("vacate %s\n", VACATE_VERSION);
            return 0;
        case CommandLine::Answer::usage:
            print_usage(program_name);
            return -1;
        case CommandLine::Answer::refusal:
            report(line.refusal, line.argument);
            return -1;
        case CommandLine::Answer::run:
            break;
    }
    return free_drive(platform, line.request);
}

void print_usage(const char* program_name) {
    report(
        "Usage: %s <Drive> [Exclude list]\n"
        "where <Drive> is drive letter to free up and\n"
        "[ExcludeList] is a set of drive letters not to move it to\n"
        "\n"
        "For example:  %s K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z",
        program_name, program_name);
}

void print_help(const char* program_name) {
    print_usage(program_name);
    report("%s",
           "\n"
           "<Drive>  is a letter: K, k, K: or K:\\\n"
           "/whatif  (before <Drive>) says where the volume would go, and changes nothing\n"
           "/v       (before <Drive>) says where the volume went\n"
           "/to:L    (before <Drive>) moves it to L: (D to Z), not the lowest free letter\n"
           "/version (before <Drive>) prints vacate's version\n");
}

char* upcase_ascii(char* text) {
    for (char* c = text; *c != '\0'; ++c) {
        *c = upcase_ascii(*c);
    }
    return text;
}

}  // namespace vacate
