#include "relocation/drive_letters.h"

#include <cstring>

namespace vacate {

bool drive_letter_is_free(Platform& platform, char letter) {
    // Unsigned arithmetic wraps, and 32 divides 2^32, so this is the letter's
    // distance from 'A' modulo 32 for every byte: a character that is not a
    // letter lands on some bit rather than shifting out of range.
    const unsigned bit = (static_cast<unsigned char>(letter) - unsigned{'A'}) % 32u;
    return (platform.GetLogicalDrives() & (std::uint32_t{1} << bit)) == 0;
}

char find_free_drive_letter(Platform& platform, const char* exclude_list) {
    // A, B and C are never offered: floppies and the system drive.
    for (char candidate = 'D'; candidate <= 'Z'; ++candidate) {
        if (std::strchr(exclude_list, candidate) == nullptr &&
            drive_letter_is_free(platform, candidate)) {
            return candidate;
        }
    }
    return no_drive_letter;
}

}  // namespace vacate
