#ifndef VACATE_RELOCATION_WINDOWS_VOLUMES_H
#define VACATE_RELOCATION_WINDOWS_VOLUMES_H

#include "relocation/platform.h"

namespace vacate {

// When a run asks whether Windows needs the volume: before it takes its turn,
// for what needs no volume to be there (the letter Windows runs from); or
// once the source's probe has found the letter in use, for what asks about
// the volume itself.
enum class Stage { before_turn, after_probe };

// A volume that Windows needs, and whose letter therefore stays. The question
// answers yes only when the platform said so: not knowing (a call that fails,
// a value that is absent or too large for its buffer) is no reason to
// refuse. `name` is "K:" with a capital letter; the refusal is a format with
// one %s, the name.
struct WindowsNeed {
    Stage stage;
    bool (*needs)(Platform& platform, const char* name);
    const char* refusal;
};

// The first row of `stage`, in the table's order, whose question answers yes
// for the volume at `name`, or null.
const WindowsNeed* needed_by_windows(Platform& platform, Stage stage, const char* name);

}  // namespace vacate

#endif
