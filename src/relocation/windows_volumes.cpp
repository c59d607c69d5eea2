#include "relocation/windows_volumes.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "relocation/ascii.h"

namespace vacate {

namespace {

// Room for any path that the 8-bit calls answer (MAX_PATH).
constexpr std::uint32_t path_capacity = 260;

// Whether `path` starts with a drive letter, in either case, that is `letter`.
bool names_drive(const char* path, char letter) {
    return is_ascii_letter(path[0]) && path[1] == ':' && upcase_ascii(path[0]) == letter;
}

bool starts_with(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

// A string of the registry (a path, or a device's path) into `text`, whose
// last byte the platform never writes, and so ends it whatever it wrote.
bool read_path(Platform& platform, const char* subkey, const char* value,
               char (&text)[path_capacity + 1]) {
    std::uint32_t size = path_capacity;
    return platform.RegGetValueA(RegistryKey::local_machine, subkey, value, registry_string, text,
                                 &size);
}

constexpr char memory_management[] =
    R"(SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management)";

// Windows keeps at most 16 page files. An entry of PagingFiles is a path of at
// most MAX_PATH and two sizes in MB (as "D:\pagefile.sys 4096 8192"); one of
// ExistingPageFiles the path behind "\??\". 300 characters hold either, with
// spaces and zeros to spare.
constexpr std::uint32_t page_file_list_capacity = 16 * 300;

// Whether the list `value` names a page file on `letter`. "?:" in front of a
// path lets Windows choose, and names no letter.
bool lists_page_file(Platform& platform, const char* value, char letter) {
    // Two zeros beyond what the platform may write end the list whatever it
    // wrote.
    char list[page_file_list_capacity + 2] = {};
    std::uint32_t size = page_file_list_capacity;
    if (!platform.RegGetValueA(RegistryKey::local_machine, memory_management, value,
                               registry_string_list, list, &size)) {
        return false;
    }
    for (const char* entry = list; *entry != '\0';) {
        const char* path = starts_with(entry, R"(\??\)") ? entry + 4 : entry;
        if (names_drive(path, letter)) {
            return true;
        }
        while (*entry++ != '\0') {
        }
    }
    return false;
}

constexpr char crash_control[] = R"(SYSTEM\CurrentControlSet\Control\CrashControl)";

// Whether the path that the string `value` of CrashControl holds is on
// `letter`. A REG_EXPAND_SZ value arrives expanded (%SystemRoot%\MEMORY.DMP
// as C:\Windows\MEMORY.DMP), since a string read does not ask for it as it
// is stored.
bool dumps_to(Platform& platform, const char* value, char letter) {
    char path[path_capacity + 1] = {};
    return read_path(platform, crash_control, value, path) && names_drive(path, letter);
}

// CrashDumpEnabled: 0 writes no dump at all.
bool dumps_enabled(Platform& platform) {
    std::uint32_t enabled = 0;
    std::uint32_t size = sizeof enabled;
    return platform.RegGetValueA(RegistryKey::local_machine, crash_control, "CrashDumpEnabled",
                                 registry_number, &enabled, &size) &&
           enabled != 0;
}

bool holds_windows(Platform& platform, const char* name) {
    char directory[path_capacity];
    const std::uint32_t length = platform.GetSystemWindowsDirectoryA(directory, path_capacity);
    return length >= 2 && length < path_capacity && names_drive(directory, name[0]);
}

// Moved, the page file's letter is gone at the next start: Windows runs on a
// temporary one, and crash dumps that need it fail. PagingFiles is what the
// next start will use; ExistingPageFiles, what is in use now.
bool holds_next_page_file(Platform& platform, const char* name) {
    return lists_page_file(platform, "PagingFiles", name[0]);
}

bool holds_page_file_in_use(Platform& platform, const char* name) {
    return lists_page_file(platform, "ExistingPageFiles", name[0]);
}

// Windows names the partition it boots from (EFI, or System Reserved) by its
// NT device path, as QueryDosDeviceA names the device behind a letter:
// "\Device\HarddiskVolume1". Both fit MAX_PATH many times over; a longer
// answer is some other device (a subst's folder, say).
bool is_system_volume(Platform& platform, const char* name) {
    char partition[path_capacity + 1] = {};
    // Like the partition's, its last byte is never written.
    char device[path_capacity + 1] = {};
    return read_path(platform, R"(SYSTEM\Setup)", "SystemPartition", partition) &&
           platform.QueryDosDeviceA(name, device, path_capacity) != 0 &&
           // Device paths differ in case from one writer to the next.
           equal_ignoring_case(device, partition);
}

// The kernel writes a crash's dump into the dedicated file, which Windows
// sets up at each start by its path; without one, into the page file, and
// the next start copies it to DumpFile, when dumps are on. Either fails once
// the volume has another letter. MinidumpDir is not asked: a small dump's
// folder is written only at the next start, and nothing is set up there
// ahead.
bool holds_crash_dump(Platform& platform, const char* name) {
    return dumps_to(platform, "DedicatedDumpFile", name[0]) ||
           (dumps_enabled(platform) && dumps_to(platform, "DumpFile", name[0]));
}

// diskpart's letter commands refuse the first four; the crash dump's volume
// is refused too (as diskpart's delete volume does), since nothing else would
// tell the administrator that crash dumps stop.
constexpr WindowsNeed windows_needs[] = {
    {Stage::before_turn, holds_windows, "Windows runs from %s; can't free it\n"},
    {Stage::after_probe, holds_next_page_file, "Windows keeps a page file on %s; can't free it\n"},
    {Stage::after_probe, holds_page_file_in_use,
     "Windows keeps a page file on %s; can't free it\n"},
    {Stage::after_probe, is_system_volume, "Windows boots from %s; can't free it\n"},
    {Stage::after_probe, holds_crash_dump, "Windows writes its crash dumps to %s; can't free it\n"},
};

}  // namespace

const WindowsNeed* needed_by_windows(Platform& platform, Stage stage, const char* name) {
    const WindowsNeed* need = std::find_if(
        std::begin(windows_needs), std::end(windows_needs),
        [&](const WindowsNeed& row) { return row.stage == stage && row.needs(platform, name); });
    return need == std::end(windows_needs) ? nullptr : need;
}

}  // namespace vacate
