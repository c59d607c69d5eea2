#include "relocation/windows_volumes.h"

#include <cstdint>

namespace vacate {

namespace {

// Room for any path that the 8-bit calls answer (MAX_PATH).
constexpr std::uint32_t path_capacity = 260;

char upcase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

// Whether `path` starts with a drive letter, in either case, that is `letter`.
bool names_drive(const char* path, char letter) {
    const char drive = upcase(path[0]);
    return drive >= 'A' && drive <= 'Z' && path[1] == ':' && drive == letter;
}

bool starts_with(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

// Device paths differ in case from one writer to the next.
bool equal_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && upcase(*a) == upcase(*b); ++a, ++b) {
    }
    return upcase(*a) == upcase(*b);
}

constexpr char memory_management[] =
    R"(SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management)";

// Windows keeps at most 16 page files. An entry of PagingFiles is a path of at
// most MAX_PATH and two sizes in MB (as "D:\pagefile.sys 4096 8192"); one of
// ExistingPageFiles the path behind "\??\". 300 characters hold either, with
// spaces and zeros to spare.
constexpr std::uint32_t page_file_list_capacity = 16 * 300;

// Whether the list `value` names a page file on `letter`: its configuration
// for the next start (PagingFiles), or those in use now (ExistingPageFiles).
// "?:" in front of a path lets Windows choose, and names no letter.
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

}  // namespace

bool holds_windows(Platform& platform, char letter) {
    char directory[path_capacity];
    const std::uint32_t length = platform.GetSystemWindowsDirectoryA(directory, path_capacity);
    return length >= 2 && length < path_capacity && names_drive(directory, letter);
}

// Moved, the page file's letter is gone at the next start: Windows runs on a
// temporary one, and crash dumps that need it fail.
bool holds_page_file(Platform& platform, char letter) {
    return lists_page_file(platform, "PagingFiles", letter) ||
           lists_page_file(platform, "ExistingPageFiles", letter);
}

// Windows names the partition it boots from (EFI, or System Reserved) by its
// NT device path, as QueryDosDeviceA names the device behind a letter:
// "\Device\HarddiskVolume1". Both fit MAX_PATH many times over; a longer
// answer is some other device (a subst's folder, say).
bool is_system_volume(Platform& platform, const char* name) {
    // One zero beyond what the platform may write ends the string whatever
    // it wrote.
    char partition[path_capacity + 1] = {};
    std::uint32_t size = path_capacity;
    char device[path_capacity + 1] = {};
    return platform.RegGetValueA(RegistryKey::local_machine, R"(SYSTEM\Setup)", "SystemPartition",
                                 registry_string, partition, &size) &&
           platform.QueryDosDeviceA(name, device, path_capacity) != 0 &&
           equal_ignoring_case(device, partition);
}

}  // namespace vacate
