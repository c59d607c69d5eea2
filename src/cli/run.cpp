#include "cli/run.h"

#include <cstdint>
#include <cstring>

#include "relocation/drive_letters.h"
#include "relocation/relocate.h"
#include "relocation/report.h"
#include "relocation/windows_volumes.h"

namespace vacate {

namespace {

// "K:" and "K:\" with their terminating zero.
constexpr int drive_text_capacity = 4;
using DriveText = char[drive_text_capacity];

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether `argument` is `word`, given in lower case, in any case.
bool is_word(const char* argument, const char* word) {
    for (; *word != '\0'; ++word, ++argument) {
        if ((*argument | 0x20) != *word) {
            return false;
        }
    }
    return *argument == '\0';
}

// The ways people ask a console command for help, on Windows and elsewhere.
// None starts with a letter, so none could have named a drive.
constexpr const char* help_requests[] = {"/?", "-?", "-h", "--help"};

// The word too, in any case. It starts with a letter, but nobody who types
// it whole means drive H:, and a request for help must not move a volume.
bool asks_for_help(const char* argument) {
    for (const char* request : help_requests) {
        if (std::strcmp(argument, request) == 0) {
            return true;
        }
    }
    return is_word(argument, "help");
}

bool is_switch(char c) {
    return c == '/' || c == '-';
}

// "/whatif", "-WhatIf" and so on.
bool is_option(const char* argument, const char* name) {
    return is_switch(argument[0]) && is_word(argument + 1, name);
}

void make_drive_name(DriveText& name, char letter) {
    name[0] = letter;
    name[1] = ':';
    name[2] = '\0';
    upcase_ascii(name);
}

void make_drive_root(DriveText& root, const DriveText& name) {
    root[0] = name[0];
    root[1] = name[1];
    root[2] = '\\';
    root[3] = '\0';
}

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

}  // namespace

int run(int argc, char** argv, Platform& platform) {
    // A POSIX caller may pass no arguments at all, not even a name.
    const char* program_name = argc > 0 ? argv[0] : "vacate";
    bool preview = false;
    bool tell = false;
    int drive = 1;
    for (; drive < argc; ++drive) {
        if (asks_for_help(argv[drive])) {
            print_help(program_name);
            return 0;
        }
        // Asked by scripts that detect what is installed: like help, it
        // answers whatever follows.
        if (is_option(argv[drive], "version")) {
            report("vacate %s\n", VACATE_VERSION);
            return 0;
        }
        if (!preview && is_option(argv[drive], "whatif")) {
            preview = true;
        } else if (!tell && is_option(argv[drive], "v")) {
            tell = true;
        } else {
            break;
        }
    }
    // No drive is most often an unset variable in a script, and more than a
    // drive and a list a space typed inside the list: a script must not go on
    // as if the letter were free.
    const int given = argc - drive;
    if (given < 1 || given > 2) {
        print_usage(program_name);
        return -1;
    }
    // Anything else would be sent to the platform as a bogus root, or read as
    // a free drive that needs no moving. An older vacate stops here too, at
    // an option it does not know.
    if (!is_ascii_letter(argv[drive][0])) {
        report("Invalid drive letter: %s\n", argv[drive]);
        return -1;
    }
    // Read as an exclude list, an option after the drive would only avoid the
    // letters of its name, and the volume would move for real.
    if (given == 2 && is_switch(argv[drive + 1][0])) {
        report("Options go before the drive: %s is not an exclude list\n", argv[drive + 1]);
        return -1;
    }

    DriveText source_name;
    DriveText source_root;
    make_drive_name(source_name, argv[drive][0]);
    make_drive_root(source_root, source_name);
    const char* exclude_list = given == 2 ? upcase_ascii(argv[drive + 1]) : "";

    if (refused_by_windows(platform, Stage::before_turn, source_name)) {
        return -1;
    }
    // A preview changes nothing, and so has no turn to wait for.
    if (!preview && !take_turn(platform, source_name)) {
        return -1;
    }
    const char target_letter = find_free_drive_letter(platform, exclude_list);
    if (target_letter == no_drive_letter) {
        report("No free drive letters available; can't free %s\n", source_name);
        return -1;
    }
    DriveText target_name;
    DriveText target_root;
    make_drive_name(target_name, target_letter);
    make_drive_root(target_root, target_name);

    if (drive_letter_is_free(platform, source_name[0])) {
        report("Drive %s is already free\n", source_name);
        return 0;
    }
    if (refused_by_windows(platform, Stage::after_probe, source_name)) {
        return -1;
    }
    // Asked afresh, just before the move: another program may have taken the
    // letter since the search. The source, in use a moment ago, is taken too:
    // it can only have been offered by a drive set that failed or changed
    // during the search, and moving a volume onto its own letter frees
    // nothing.
    if (target_name[0] == source_name[0] || !drive_letter_is_free(platform, target_name[0])) {
        report("Target drive %s is already in use\n", target_name);
        return -1;
    }

    char volume[volume_name_capacity];
    if (preview) {
        return preview_relocation(platform, source_root, source_name, target_name, volume);
    }
    return relocate_volume(platform, source_root, source_name, target_root, target_name, volume,
                           tell);
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
           "/whatif  (before <Drive>) says where the volume would go, and changes nothing\n"
           "/v       (before <Drive>) says where the volume went\n"
           "/version (before <Drive>) prints vacate's version\n");
}

char* upcase_ascii(char* text) {
    for (char* c = text; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z') {
            *c = static_cast<char>(*c - ('a' - 'A'));
        }
    }
    return text;
}

}  // namespace vacate
