#ifndef VACATE_RELOCATION_DRIVE_LETTERS_H
#define VACATE_RELOCATION_DRIVE_LETTERS_H

#include "relocation/platform.h"

namespace vacate {

// A drive as the program spells it: "K:" in messages, "K:\" to the volume
// calls. Built from the letter in one place, so that the two never differ.
struct Drive {
    char name[3];
    char root[4];
};

constexpr Drive drive(char letter) {
    return {{letter, ':', '\0'}, {letter, ':', '\\', '\0'}};
}

// What a probe of one letter found. A drive set of 0 is the platform's
// failure, never an answer: Windows always has its own volume lettered.
enum class Probe { free, in_use, unknown };

// What find_free_drive_letter answers when no letter qualifies, and when a
// query of the drive set failed on the way; no candidate letter can take
// either value.
constexpr char no_drive_letter = '\xFF';
constexpr char unknown_drive_letter = '\xFE';

// Asks the platform afresh at every call: other programs mount and unmount
// volumes at any time, so no answer is worth keeping.
Probe probe_drive_letter(Platform& platform, char letter);

// The lowest letter from D to Z that is free and does not occur in
// exclude_list, no_drive_letter, or unknown_drive_letter.
char find_free_drive_letter(Platform& platform, const char* exclude_list);

}  // namespace vacate

#endif
