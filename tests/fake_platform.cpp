#include "fake_platform.h"

#include "capture.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool letter_of_root(const char* root, char& letter) {
    letter = root[0];
    return letter >= 'A' && letter <= 'Z' && std::strcmp(root + 1, ":\\") == 0;
}

}  // namespace

std::string volume_of(char letter) {
    return std::string("Volume{") + letter + "}";
}

std::string device_of(const std::string& volume) {
    return R"(\Device\Harddisk)" + volume;
}

FakePlatform::FakePlatform(const std::string& volumes, const std::string& bare) {
    for (const char letter : volumes) {
        mounted[letter] = volume_of(letter);
        set_in_use(letter, true);
    }
    for (const char letter : bare) {
        set_in_use(letter, true);
    }
}

std::string FakePlatform::log() const {
    std::string text;
    for (const Call& call : calls) {
        text += (text.empty() ? "" : "; ") + call.text;
    }
    return text;
}

int FakePlatform::count(const std::string& call) const {
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.text == call; }));
}

std::string FakePlatform::letters_holding(const std::string& volume) const {
    std::string letters;
    for (const auto& [letter, name] : mounted) {
        if (name == volume) {
            letters += letter;
        }
    }
    return letters;
}

bool FakePlatform::answer(const std::string& call, bool possible) {
    const bool succeeds = possible && failing.count(call) == 0;
    calls.push_back({call, succeeds, bytes_printed()});
    return succeeds;
}

bool FakePlatform::in_use(char letter) const {
    return (drives >> (letter - 'A') & 1) != 0;
}

void FakePlatform::set_in_use(char letter, bool in_use) {
    const std::uint32_t bit = std::uint32_t{1} << (letter - 'A');
    drives = in_use ? drives | bit : drives & ~bit;
}

std::uint32_t FakePlatform::GetSystemWindowsDirectoryA(char* buffer, std::uint32_t size) {
    const auto length = static_cast<std::uint32_t>(windows_directory.size());
    if (!answer("windir " + std::to_string(size), true)) {
        return 0;
    }
    if (length >= size) {
        return length + 1;
    }
    std::memcpy(buffer, windows_directory.c_str(), length + 1);
    return length;
}

// The device of the volume Windows boots from: one no letter holds, unless
// `system_volume` names one.
std::string FakePlatform::system_device() const {
    return device_of(system_volume == '\0' ? "Volume1" : volume_of(system_volume));
}

std::string expand_system_root(std::string path, const std::string& windows) {
    const std::string variable = "%SystemRoot%";
    for (auto at = path.find(variable); at != std::string::npos;
         at = path.find(variable, at + windows.size())) {
        path.replace(at, variable.size(), windows);
    }
    return path;
}

// Each value where Windows keeps it, of its type, written as Windows writes
// it; the system partition's device in capitals, as QueryDosDeviceA never
// answers it.
bool FakePlatform::RegGetValueA(vacate::RegistryKey key, const char* subkey, const char* value,
                                std::uint32_t flags, void* data, std::uint32_t* size) {
    enum Type { string = 1, expandable = 2, number = 4, list = 7, absent = 0 };
    const std::string memory =
        R"(SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management)";
    const std::string crash = R"(SYSTEM\CurrentControlSet\Control\CrashControl)";
    const std::string where = subkey + std::string(" ") + value;
    std::string text;
    Type type = absent;
    if (where == memory + " PagingFiles") {
        type = list;
        for (const char letter : paging_files) {
            text += letter + std::string(R"(:\pagefile.sys 0 0)") + '\0';
        }
    } else if (where == memory + " ExistingPageFiles") {
        type = list;
        for (const char letter : existing_page_files) {
            text += R"(\??\)" + std::string(1, letter) + R"(:\pagefile.sys)" + '\0';
        }
    } else if (where == R"(SYSTEM\Setup SystemPartition)") {
        type = string;
        text = system_device();
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    } else if (where == crash + " DedicatedDumpFile") {
        type = dedicated_dump_file.empty() ? absent : string;
        text = dedicated_dump_file;
    } else if (where == crash + " DumpFile") {
        type = dump_file.empty() ? absent : expandable;
        text = dump_file;
    } else if (where == crash + " CrashDumpEnabled") {
        type = crash_dump_enabled < 0 ? absent : number;
        const auto enabled = static_cast<std::uint32_t>(crash_dump_enabled);
        text.assign(reinterpret_cast<const char*>(&enabled), sizeof enabled);
    } else {
        // Where Windows keeps no such value: the whole place, to be seen.
        answer("reg " + where, false);
        return false;
    }
    // RegGetValueA's filter: a string read takes REG_EXPAND_SZ too, expanded.
    const bool accepted = (type == string && (flags & vacate::registry_string) != 0) ||
                          (type == expandable && (flags & vacate::registry_string) != 0) ||
                          (type == number && (flags & vacate::registry_number) != 0) ||
                          (type == list && (flags & vacate::registry_string_list) != 0);
    if (type == expandable) {
        text = expand_system_root(text, windows_directory);
    }
    if (type == string || type == expandable || type == list) {
        text += '\0';
    }
    const bool read =
        answer("reg " + std::string(value),
               key == vacate::RegistryKey::local_machine && accepted && text.size() <= *size);
    if (read) {
        std::memcpy(data, text.data(), text.size());
    }
    *size = static_cast<std::uint32_t>(text.size());
    return read;
}

// A volume's device first, then one that the name stood for before: the
// system partition's, which only the first may be taken for.
std::uint32_t FakePlatform::QueryDosDeviceA(const char* device, char* target, std::uint32_t size) {
    const char letter = device[0];
    std::string text;
    if (mounted.count(letter) != 0) {
        text = device_of(mounted[letter]) + '\0' + system_device() + '\0';
    } else if (letter >= 'A' && letter <= 'Z' && in_use(letter)) {
        text = R"(\Device\LanmanRedirector\;)" + std::string(device) + '\0';
    }
    text += '\0';
    const bool possible =
        std::strlen(device) == 2 && device[1] == ':' && text.size() > 1 && text.size() <= size;
    if (!answer("device " + std::string(device), possible)) {
        return 0;
    }
    std::memcpy(target, text.data(), text.size());
    return static_cast<std::uint32_t>(text.size());
}

std::uint32_t FakePlatform::GetLogicalDrives() {
    ++queries_;
    for (const Change& change : changes_) {
        if (change.query == queries_) {
            set_in_use(change.letter, change.take);
        }
    }
    for (Pending& mount : pending_) {
        if (mount.unseen-- == 0) {
            set_in_use(mount.letter, true);
        }
    }
    const std::uint32_t set = answer("drives", failing_queries.count(queries_) == 0) ? drives : 0;
    calls.back().drives = set;
    return set;
}

bool FakePlatform::GetVolumeNameForVolumeMountPointA(const char* root, char* volume,
                                                     std::uint32_t length) {
    char letter = 0;
    const bool possible = letter_of_root(root, letter) && mounted.count(letter) != 0 &&
                          mounted[letter].size() < length;
    if (!answer("name " + std::string(root) + " " + std::to_string(length), possible)) {
        return false;
    }
    std::memcpy(volume, mounted[letter].c_str(), mounted[letter].size() + 1);
    return true;
}

bool FakePlatform::DeleteVolumeMountPointA(const char* root) {
    char letter = 0;
    const bool possible = letter_of_root(root, letter) && mounted.count(letter) != 0;
    if (!answer("delete " + std::string(root), possible)) {
        return false;
    }
    mounted.erase(letter);
    set_in_use(letter, false);
    return true;
}

bool FakePlatform::SetVolumeMountPointA(const char* root, const char* volume) {
    char letter = 0;
    const bool possible =
        letter_of_root(root, letter) && mounted.count(letter) == 0 && !in_use(letter);
    if (!answer("set " + std::string(root) + " " + volume, possible)) {
        return false;
    }
    mounted[letter] = volume;
    if (mount_unseen_queries == 0) {
        set_in_use(letter, true);
    } else if (mount_unseen_queries > 0) {
        pending_.push_back({letter, mount_unseen_queries});
    }
    return true;
}

void FakePlatform::Sleep(std::uint32_t milliseconds) {
    answer("sleep " + std::to_string(milliseconds), true);
}

vacate::Lock FakePlatform::lock_machine(std::uint32_t milliseconds) {
    using vacate::Lock;
    const auto asked =
        static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [](const Call& call) {
            return call.text.starts_with("lock ");
        }));
    const Lock lock = asked < locks.size() ? locks[asked] : Lock::held;
    const char* found = lock == Lock::busy ? " busy" : lock == Lock::squatted ? " squatted" : "";
    answer("lock " + std::to_string(milliseconds) + found, true);
    return lock;
}
