#ifndef VACATE_RELOCATION_WINDOWS_VOLUMES_H
#define VACATE_RELOCATION_WINDOWS_VOLUMES_H

#include "relocation/platform.h"

namespace vacate {

// The volumes whose letter Windows' own tools refuse to change: the one it
// runs from, one that holds a page file, and the one it boots from. Each
// answers yes only when the platform said so: not knowing (a call that fails,
// a value that is absent or too large for its buffer) is no reason to refuse.
// Letters are capitals; `name` is "K:".

bool holds_windows(Platform& platform, char letter);
bool holds_page_file(Platform& platform, char letter);
bool is_system_volume(Platform& platform, const char* name);

}  // namespace vacate

#endif
