#include "relocation/relocate.h"

#include "relocation/drive_letters.h"
#include "relocation/report.h"

namespace vacate {

namespace {

// Windows may take a moment to show a new mount point in the drive set;
// waiting for it lets a script use the letter as soon as we return.
constexpr int settle_pauses = 15;
constexpr std::uint32_t settle_pause_ms = 1000;

// Probes once more after the last pause, so a letter that shows up during it
// is seen. A failed query reads as not there yet: the move is made, and the
// wait only bounds how soon a script may use the letter.
void wait_until_in_use(Platform& platform, char letter) {
    int left = settle_pauses;
    while (probe_drive_letter(platform, letter) != Probe::in_use && left > 0) {
        platform.Sleep(settle_pause_ms);
        --left;
    }
}

// From the removal until a mount succeeds, the volume has no letter at all.
int move_mount_point(Platform& platform, const Drive& source, const Drive& target,
                     const char* volume, bool tell) {
    if (!platform.DeleteVolumeMountPointA(source.root)) {
        report("Could not remove %s\n", source.root);
        return -1;
    }
    if (!platform.SetVolumeMountPointA(target.root, volume)) {
        // Restored first, told after: a write can block for as long as a
        // console's output is paused or a pipe is not read, and the volume
        // must not wait that long without a letter.
        const bool restored = platform.SetVolumeMountPointA(source.root, volume);
        report("Could not set mount point to %s...restoring to %s\n", target.name, source.name);
        if (restored) {
            return -1;
        }
        report("Restore of %s to %s failed\n", volume, source.name);
        return -2;
    }
    // An outcome like the others, and so told before the hold ends.
    if (tell) {
        report("Moved %s to %s\n", source.name, target.name);
    }
    return 0;
}

bool read_volume_name(Platform& platform, const Drive& source,
                      char (&volume)[volume_name_capacity]) {
    if (!platform.GetVolumeNameForVolumeMountPointA(source.root, volume, volume_name_capacity)) {
        report("Could not get info for %s\n", source.root);
        return false;
    }
    return true;
}

}  // namespace

int relocate_volume(Platform& platform, Move move, char (&volume)[volume_name_capacity],
                    bool tell) {
    const Drive source = drive(move.source);
    if (!read_volume_name(platform, source, volume)) {
        return -1;
    }
    // Nothing may end the process while the volume has no letter, nor before
    // the outcome is told: the status is then the only word on where it is.
    platform.hold_interruptions();
    const int status = move_mount_point(platform, source, drive(move.target), volume, tell);
    const bool interrupted = platform.release_interruptions();
    // The wait does not change the outcome (the platform has taken the mount),
    // so an interruption that waited for the move need not wait for it too.
    if (status == 0 && !interrupted) {
        wait_until_in_use(platform, move.target);
    }
    return status;
}

int preview_relocation(Platform& platform, Move move, char (&volume)[volume_name_capacity]) {
    const Drive source = drive(move.source);
    if (!read_volume_name(platform, source, volume)) {
        return -1;
    }
    // Windows refuses anyone else the removal: a script must not count on
    // a move that its run will not make.
    const Drive target = drive(move.target);
    if (!platform.is_administrator()) {
        report("Would move %s to %s; the move needs an elevated run\n", source.name, target.name);
        return -1;
    }
    report("Would move %s to %s\n", source.name, target.name);
    return 0;
}

}  // namespace vacate
