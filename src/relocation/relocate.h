#ifndef VACATE_RELOCATION_RELOCATE_H
#define VACATE_RELOCATION_RELOCATE_H

#include <cstdint>

#include "relocation/platform.h"

namespace vacate {

// Room for any volume name the platform hands back (MAX_PATH on Windows).
constexpr std::uint32_t volume_name_capacity = 260;

// Moves the volume mounted at source_root to target_root, putting it back at
// source_root when the new mount is refused, and, when `tell` is set, says
// where it went. Roots are "X:\", names "X:". Answers the run's status: 0
// moved, -1 nothing lost, -2 the volume is left mounted nowhere (the message
// names it by its volume name).
int relocate_volume(Platform& platform, const char* source_root, const char* source_name,
                    const char* target_root, const char* target_name,
                    char (&volume)[volume_name_capacity], bool tell);

// Says where relocate_volume would move the volume, changing nothing: only a
// member of Administrators can be promised the move. Answers the status that
// the move is expected to end with, 0 or -1.
int preview_relocation(Platform& platform, const char* source_root, const char* source_name,
                       const char* target_name, char (&volume)[volume_name_capacity]);

}  // namespace vacate

#endif
