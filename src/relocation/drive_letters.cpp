#include "relocation/drive_letters.h"

#include <cstring>

namespace vacate {

Probe probe_drive_letter(Platform& platform, char letter) {
    const std::uint32_t drives = platform.GetLogicalDrives();
    if (drives == 0) {
        return Probe::unknown;
    }
    // Unsigned arithmetic wraps, and 32 divides 2^32, so this is the letter's
    // distance from 'A' modulo 32 for every byte: a character that is not a
    // letter lands on some bit rather than shifting out of range.
    const unsigned bit = (static_cast<unsigned char>(letter) - unsigned{'A'}) % 32u;
    return (drives & (std::uint32_t{1} << bit)) == 0 ? Probe::free : Probe::in_use;
}

char find_free_drive_letter(Platform& platform, const char* exclude_list) {
    // A, B and C are never offered: floppies and the system drive.
    for (char candidate = 'D'; candidate <= 'Z'; ++candidate) {
        if (std::strchr(exclude_list, candidate) != nullptr) {
            continue;
        }
        switch (probe_drive_letter(platform, candidate)) {
            case Probe::free:
                return candidate;
            case Probe::unknown:
                return unknown_drive_letter;
            case Probe::in_use:
                break;
        }
    }
    return no_drive_letter;
}

}  // namespace vacate
