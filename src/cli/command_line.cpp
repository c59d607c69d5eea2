#include "cli/command_line.h"

#include <cstring>

#include "cli/run.h"
#include "relocation/ascii.h"

namespace vacate {

namespace {

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
    return equal_ignoring_case(argument, "help");
}

bool is_switch(char c) {
    return c == '/' || c == '-';
}

// "/whatif", "-WhatIf" and so on.
bool is_option(const char* argument, const char* name) {
    return is_switch(argument[0]) && equal_ignoring_case(argument + 1, name);
}

// "--version" as well as "/version": as "--help" is help.
bool asks_for_version(const char* argument) {
    return is_option(argument, "version") || equal_ignoring_case(argument, "--version");
}

// "/to:M", "-TO:m:" and so on: the option's value, or null when `argument`
// is not /to at all.
const char* to_value(const char* argument) {
    return is_switch(argument[0]) ? after_ignoring_case(argument + 1, "to:") : nullptr;
}

// The letter that a drive argument names, as callers write it (K, k, K: or
// K:\), or '\0'. Nothing else counts: read by its first character, a word
// meant as an option (whatif, version) would name a drive nobody meant.
char drive_letter_of(const char* argument) {
    const char letter = upcase_ascii(argument[0]);
    const char* rest = argument + 1;
    const bool plain =
        rest[0] == '\0' ||
        (rest[0] == ':' && (rest[1] == '\0' || (rest[1] == '\\' && rest[2] == '\0')));
    return is_ascii_letter(letter) && plain ? letter : '\0';
}

// The letter that /to's value names (M or M:), one that a search could have
// chosen, or '\0'.
char target_letter_of(const char* value) {
    const char letter = upcase_ascii(value[0]);
    const bool plain = value[1] == '\0' || (value[1] == ':' && value[2] == '\0');
    return letter >= 'D' && letter <= 'Z' && plain ? letter : '\0';
}

}  // namespace

CommandLine read_command_line(int argc, char** argv) {
    using Answer = CommandLine::Answer;
    Request request;
    const char* to = nullptr;  // /to as typed
    int drive = 1;
    // Options, each once; help and the version answer whatever follows. An
    // option given twice falls into the drive's place, and is refused there.
    for (; drive < argc; ++drive) {
        const char* argument = argv[drive];
        const char* value = to_value(argument);
        if (asks_for_help(argument)) {
            return {.answer = Answer::help};
        }
        if (asks_for_version(argument)) {
            return {.answer = Answer::version};
        }
        if (!request.preview && is_option(argument, "whatif")) {
            request.preview = true;
        } else if (!request.verbose && is_option(argument, "v")) {
            request.verbose = true;
        } else if (to == nullptr && value != nullptr) {
            request.target = target_letter_of(value);
            if (request.target == '\0') {
                return {.answer = Answer::refusal,
                        .refusal = "Invalid target letter: %s\n",
                        .argument = argument};
            }
            to = argument;
        } else {
            break;
        }
    }
    // No drive is most often an unset variable in a script, and more than a
    // drive and a list a space typed inside the list: a script must not go on
    // as if the letter were free.
    const int given = argc - drive;
    if (given < 1 || given > 2) {
        return {.answer = Answer::usage};
    }
    // Anything else would be sent to the platform as a bogus root, read as
    // a free drive that needs no moving, or name a drive nobody meant. An
    // older vacate stops here too, at an option it does not know.
    request.source = drive_letter_of(argv[drive]);
    if (request.source == '\0') {
        return {.answer = Answer::refusal,
                .refusal = "Invalid drive letter: %s\n",
                .argument = argv[drive]};
    }
    if (given == 2) {
        // Read as an exclude list, an option after the drive would only avoid
        // the letters of its name, and the volume would move for real.
        if (is_switch(argv[drive + 1][0])) {
            return {.answer = Answer::refusal,
                    .refusal = "Options go before the drive: %s is not an exclude list\n",
                    .argument = argv[drive + 1]};
        }
        // A list that /to would ignore is a script's mistake, said rather
        // than passed over. An empty one is no list.
        if (to != nullptr && argv[drive + 1][0] != '\0') {
            return {.answer = Answer::refusal,
                    .refusal = "An exclude list has no use with %s\n",
                    .argument = to};
        }
        request.exclude = upcase_ascii(argv[drive + 1]);
    }
    return {.answer = Answer::run, .request = request};
}

}  // namespace vacate
