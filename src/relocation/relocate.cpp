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
// is seen.
void wait_until_in_use(Platform& platform, char letter) {
    int left = settle_pauses;
    while (drive_letter_is_free(platform, letter) && left > 0) {
        platform.Sleep(settle_pause_ms);
        --left;
    }
}

// From the removal until a mount succeeds, the volume has no letter at all.
int move_mount_point(Platform& platform, const char* source_root, const char* source_name,
                     const char* target_root, const char* target_name, const char* volume,
                     bool tell) {
    if (!platform.DeleteVolumeMountPointA(source_root)) {
        report("Could not remove %s\n", source_root);
        return -1;
    }
    if (!platform.SetVolumeMountPointA(target_root, volume)) {
        // Restored first, told after: a write can block for as long as a
        // console's output is paused or a pipe is not read, and the volume
        // must not wait that long without a letter.
        const bool restored = platform.SetVolumeMountPointA(source_root, volume);
        report("Could not set mount point to %s...restoring to %s\n", target_name, source_name);
        if (restored) {
            return -1;
        }
        report("Restore of %s to %s failed\n", volume, source_name);
        return -2;
    }
    // An outcome like the others, and so told before the hold ends.
    if (tell) {
        report("Moved %s to %s\n", source_name, target_name);
    }
    return 0;
}

bool read_volume_name(Platform& platform, const char* source_root,
                      char (&volume)[volume_name_capacity]) {
    if (!platform.GetVolumeNameForVolumeMountPointA(source_root, volume, volume_name_capacity)) {
        report("Could not get info for %s\n", source_root);
        return false;
    }
    return true;
}

}  // namespace

int relocate_volume(Platform& platform, const char* source_root, const char* source_name,
                    const char* target_root, const char* target_name,
                    char (&volume)[volume_name_capacity], bool tell) {
    if (!read_volume_name(platform, source_root, volume)) {
        return -1;
    }
    // Nothing may end the process while the volume has no letter, nor before
    // the outcome is told: the status is then the only word on where it is.
    platform.hold_interruptions();
    const int status = move_mount_point(platform, source_root, source_name, target_root,
                                        target_name, volume, tell);
    const bool interrupted = platform.release_interruptions();
    // The wait does not change the outcome (the platform has taken the mount),
    // so an interruption that waited for the move need not wait for it too.
    if (status == 0 && !interrupted) {
        wait_until_in_use(platform, target_root[0]);
    }
    return status;
}

int preview_relocation(Platform& platform, const char* source_root, const char* source_name,
                       const char* target_name, char (&volume)[volume_name_capacity]) {
    if (!read_volume_name(platform, source_root, volume)) {
        return -1;
    }
    // Windows refuses anyone else the removal: a script must not count on
    // a move that its run will not make.
    if (!platform.is_administrator()) {
        report("Would move %s to %s; the move needs an elevated run\n", source_name, target_name);
        return -1;
    }
    report("Would move %s to %s\n", source_name, target_name);
    return 0;
}

}  // namespace vacate
