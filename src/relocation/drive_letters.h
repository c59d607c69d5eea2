#ifndef VACATE_RELOCATION_DRIVE_LETTERS_H
#define VACATE_RELOCATION_DRIVE_LETTERS_H

#include "relocation/platform.h"

namespace vacate {

// What find_free_drive_letter answers when no letter qualifies; no candidate
// letter can take this value.
constexpr char no_drive_letter = '\xFF';

// Asks the platform afresh at every call: other programs mount and unmount
// volumes at any time, so no answer is worth keeping.
bool drive_letter_is_free(Platform& platform, char letter);

// The lowest letter from D to Z that is free and does not occur in
// exclude_list, or no_drive_letter.
char find_free_drive_letter(Platform& platform, const char* exclude_list);

}  // namespace vacate

#endif
