#include "cli/run.h"

#include <cstdint>
#include <cstring>

#include "relocation/drive_letters.h"
#include "relocation/relocate.h"
#include "relocation/report.h"

namespace vacate {

namespace {

// "K:" and "K:\" with their terminating zero.
constexpr int drive_text_capacity = 4;
using DriveText = char[drive_text_capacity];

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The ways people ask a console command for help, on Windows and elsewhere.
// None starts with a letter, so none could have named a drive.
constexpr const char* help_requests[] = {"/?", "-?", "-h", "--help"};

// The word, in any case. It starts with a letter, but nobody who types it
// whole means drive H:, and a request for help must not move a volume.
bool is_help_word(const char* argument) {
    for (const char* word = "help"; *word != '\0'; ++word, ++argument) {
        if ((*argument | 0x20) != *word) {
            return false;
        }
    }
    return *argument == '\0';
}

bool asks_for_help(const char* argument) {
    for (const char* request : help_requests) {
        if (std::strcmp(argument, request) == 0) {
            return true;
        }
    }
    return is_help_word(argument);
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

// Room for any path that the 8-bit calls answer.
constexpr std::uint32_t path_capacity = 260;

// Windows' own tools refuse to take the letter of the volume Windows runs
// from: every program, service and setting names it. Not knowing where that
// is (a failed call, a path without a drive letter) is no reason to refuse.
bool holds_windows(Platform& platform, char letter) {
    char directory[path_capacity];
    const std::uint32_t length = platform.GetSystemWindowsDirectoryA(directory, path_capacity);
    return length >= 2 && length < path_capacity && directory[1] == ':' &&
           is_ascii_letter(directory[0]) && (directory[0] & ~0x20) == letter;
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

}  // namespace

int run(int argc, char** argv, Platform& platform) {
    // A POSIX caller may pass no arguments at all, not even a name.
    const char* program_name = argc > 0 ? argv[0] : "vacate";
    if (argc < 2 || asks_for_help(argv[1])) {
        print_usage(program_name);
        return 0;
    }
    // Most often a space typed inside the exclude list: a script must not go
    // on as if the letter were free.
    if (argc > 3) {
        print_usage(program_name);
        return -1;
    }
    // Anything else would be sent to the platform as a bogus root, or read as
    // a free drive that needs no moving.
    if (!is_ascii_letter(argv[1][0])) {
        report("Invalid drive letter: %s\n", argv[1]);
        return -1;
    }

    DriveText source_name;
    DriveText source_root;
    make_drive_name(source_name, argv[1][0]);
    make_drive_root(source_root, source_name);
    const char* exclude_list = argc == 3 ? upcase_ascii(argv[2]) : "";

    if (holds_windows(platform, source_name[0])) {
        report("Windows runs from %s; can't free it\n", source_name);
        return -1;
    }
    if (!take_turn(platform, source_name)) {
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
    // Asked afresh: another program may have taken the letter since the search.
    // The source, in use a moment ago, is taken too: it can only have been
    // offered by a drive set that failed or changed during the search, and
    // moving a volume onto its own letter frees nothing.
    if (target_name[0] == source_name[0] || !drive_letter_is_free(platform, target_name[0])) {
        report("Target drive %s is already in use\n", target_name);
        return -1;
    }

    char volume[volume_name_capacity];
    return relocate_volume(platform, source_root, source_name, target_root, target_name, volume);
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

char* upcase_ascii(char* text) {
    for (char* c = text; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z') {
            *c = static_cast<char>(*c - ('a' - 'A'));
        }
    }
    return text;
}

}  // namespace vacate
