#ifndef VACATE_RELOCATION_RELOCATE_H
#define VACATE_RELOCATION_RELOCATE_H

#include <cstdint>

#include "relocation/platform.h"

namespace vacate {

// Room for any volume name the platform hands back (MAX_PATH on Windows).
constexpr std::uint32_t volume_name_capacity = 260;

// The volume at `source` to go to `target`, both capitals A to Z.
struct Move {
    char source;
    char target;
};

// Moves the volume, putting it back at the source when the new mount is
// refused, and, when `tell` is set, says where it went. Answers the run's
// status: 0 moved, -1 nothing lost, -2 the volume is left mounted nowhere
// (the message names it by its volume name).
int relocate_volume(Platform& platform, Move move, char (&volume)[volume_name_capacity], bool tell);

// Says where relocate_volume would move the volume, changing nothing: only a
// member of Administrators can be promised the move. Answers the status that
// the move is expected to end with, 0 or -1.
int preview_relocation(Platform& platform, Move move, char (&volume)[volume_name_capacity]);

}  // namespace vacate

#endif
