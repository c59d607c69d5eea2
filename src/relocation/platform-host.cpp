// A model of the platform for systems other than Windows, so that the real
// program can run, and be tested, anywhere.
//
// The drive table is the directory named by VACATE_DRIVES. An entry "X:" of
// any kind puts letter X in use. A table that is not named, cannot be read or
// holds no entry answers GetLogicalDrives with 0, as a failed call does on
// Windows, and a run says that it could not read the letters in use. A
// symbolic link is a mount point, and its text is the volume's name; the
// volume is present when that text names a directory (a relative text is
// read from the drive table, as the link itself would be). Any other entry is
// a drive with no volume behind it, like a network share.
//
// Runs queue on a lock of the drive table's directory, and the move holds
// SIGINT, SIGTERM, SIGHUP and SIGQUIT back and ignores SIGPIPE.
//
// Two knobs for the tests. VACATE_MOUNT_DELAY, in milliseconds, makes every
// mount take that long before it is made, as a mount that Windows announces
// to every window does, so that the tests can act while the volume has no
// letter. VACATE_LOCK_WAIT, in seconds, bounds the whole wait for the lock,
// so that they need not wait minutes to see a run give up.
//
// Like the calls it stands for, it prints nothing and allocates nothing.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "relocation/platform.h"

namespace vacate {

namespace {

// An entry's name in the drive table: "X:".
using EntryName = char[3];

void make_entry_name(EntryName& entry, char letter) {
    entry[0] = letter;
    entry[1] = ':';
    entry[2] = '\0';
}

// Only "X:\" with a capital X names a drive root; the real calls accept
// other forms of path, which this program never passes.
bool parse_root(const char* root, EntryName& entry) {
    if (root[0] < 'A' || root[0] > 'Z' || root[1] != ':' || root[2] != '\\' || root[3] != '\0') {
        return false;
    }
    make_entry_name(entry, root[0]);
    return true;
}

int open_drive_table() {
    const char* path = std::getenv("VACATE_DRIVES");
    return path != nullptr && path[0] != '\0' ? open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
}

// The signals that end a process by default when a user or the system wants
// it to stop.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void pause(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// flock has no timeout: a busy lock is tried again this often.
constexpr std::uint32_t lock_poll_ms = 20;

std::uint32_t lock_wait_bound_ms() {
    const char* seconds = std::getenv("VACATE_LOCK_WAIT");
    return seconds == nullptr
               ? UINT32_MAX
               : static_cast<std::uint32_t>(std::strtoul(seconds, nullptr, 10)) * 1000;
}

// Opened afresh at every call, like the platform's own tables, so that a
// change made by another process between two calls is seen.
class DriveTable {
public:
    DriveTable() : fd_(open_drive_table()) {}
    DriveTable(const DriveTable&) = delete;
    DriveTable& operator=(const DriveTable&) = delete;
    ~DriveTable() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool has_link(const EntryName& entry) const {
        struct stat status {};
        return entry_status(entry, status) && S_ISLNK(status.st_mode);
    }
    bool has_directory(const char* path) const {
        struct stat status {};
        return fd_ >= 0 && fstatat(fd_, path, &status, 0) == 0 && S_ISDIR(status.st_mode);
    }
    int fd() const { return fd_; }
    bool writable() const { return fd_ >= 0 && faccessat(fd_, ".", W_OK, AT_EACCESS) == 0; }

private:
    // The entry itself: a link is not followed.
    bool entry_status(const EntryName& entry, struct stat& status) const {
        return fd_ >= 0 && fstatat(fd_, entry, &status, AT_SYMLINK_NOFOLLOW) == 0;
    }

    int fd_;
};

// Where most machines have Windows, so that a drive table's C: is kept as a
// real system volume is.
constexpr char windows_directory[] = "C:\\Windows";

// %SystemRoot% where it is in `text`, as a string read expands it: the
// directory is shorter than the variable, and so fits where it stood.
void expand_system_root(char* text) {
    constexpr char variable[] = "%SystemRoot%";
    char* at = std::strstr(text, variable);
    if (at != nullptr) {
        const char* rest = at + sizeof variable - 1;
        std::memmove(at + sizeof windows_directory - 1, rest, std::strlen(rest) + 1);
        std::memcpy(at, windows_directory, sizeof windows_directory - 1);
    }
}

class HostPlatform final : public Platform {
public:
    std::uint32_t GetSystemWindowsDirectoryA(char* buffer, std::uint32_t size) override {
        if (size < sizeof windows_directory) {
            return sizeof windows_directory;
        }
        std::copy(std::begin(windows_directory), std::end(windows_directory), buffer);
        return sizeof windows_directory - 1;
    }

    // A file of the table, a string a line: the lines' ends become the
    // strings' zeros, and one more zero ends the list. A string is the first,
    // its %SystemRoot% expanded; a number is a string in decimal. The buffer
    // must have room for the file and two zeros.
    bool RegGetValueA(RegistryKey key, const char* subkey, const char* value, std::uint32_t flags,
                      void* data, std::uint32_t* size) override {
        if ((flags & registry_number) != 0) {
            char text[16];
            std::uint32_t length = sizeof text;
            std::uint32_t number = 0;
            if (*size < sizeof number ||
                !RegGetValueA(key, subkey, value, registry_string, text, &length)) {
                return false;
            }
            number = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
            std::memcpy(data, &number, sizeof number);
            *size = sizeof number;
            return true;
        }
        const DriveTable table;
        const int file = table.fd() < 0 ? -1 : openat(table.fd(), value, O_RDONLY | O_CLOEXEC);
        if (file < 0) {
            return false;
        }
        auto* text = static_cast<char*>(data);
        struct stat status {};
        const bool fits =
            fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size + 2 <= *size;
        auto length = fits ? static_cast<std::uint32_t>(status.st_size) : 0;
        const bool whole = fits && read(file, text, length) == static_cast<ssize_t>(length);
        close(file);
        if (!whole) {
            *size = static_cast<std::uint32_t>(status.st_size) + 2;
            return false;
        }
        if (length > 0 && text[length - 1] != '\n') {
            text[length++] = '\n';
        }
        std::replace(text, text + length, '\n', '\0');
        text[length] = '\0';
        if ((flags & registry_string_list) != 0) {
            *size = length + 1;
            return true;
        }
        expand_system_root(text);
        *size = static_cast<std::uint32_t>(std::strlen(text)) + 1;
        return true;
    }

    // The text of the entry's link: the volume's name.
    std::uint32_t QueryDosDeviceA(const char* device, char* target, std::uint32_t size) override {
        EntryName entry;
        const DriveTable table;
        if (device[0] < 'A' || device[0] > 'Z' || device[1] != ':' || device[2] != '\0' ||
            table.fd() < 0 || size < 2) {
            return 0;
        }
        make_entry_name(entry, device[0]);
        // One byte to spare shows that the text was not cut short.
        const ssize_t length = readlinkat(table.fd(), entry, target, size - 1);
        if (length < 0 || static_cast<std::uint32_t>(length) >= size - 1) {
            return 0;
        }
        target[length] = '\0';
        target[length + 1] = '\0';
        return static_cast<std::uint32_t>(length) + 2;
    }

    // The table's names in one pass into a buffer of its own (readdir would
    // allocate), not a lookup for each of 26 letters: a run asks this at
    // every probe. A table read only in part says nothing: 0.
    std::uint32_t GetLogicalDrives() override {
        const DriveTable table;
        std::uint32_t drives = 0;
        alignas(dirent64) char names[4096];
        ssize_t length = table.fd() < 0 ? -1 : 0;
        while (length >= 0 && (length = getdents64(table.fd(), names, sizeof names)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* entry = reinterpret_cast<const dirent64*>(names + at);
                const char* name = entry->d_name;
                if (name[0] >= 'A' && name[0] <= 'Z' && name[1] == ':' && name[2] == '\0') {
                    drives |= std::uint32_t{1} << (name[0] - 'A');
                }
                at += entry->d_reclen;
            }
        }
        return length < 0 ? 0 : drives;
    }

    bool GetVolumeNameForVolumeMountPointA(const char* root, char* volume,
                                           std::uint32_t length) override {
        EntryName entry;
        const DriveTable table;
        if (!parse_root(root, entry) || table.fd() < 0) {
            return false;
        }
        // A text that fills the whole buffer may have been cut short, and
        // leaves no room for the terminating zero.
        const ssize_t size = readlinkat(table.fd(), entry, volume, length);
        if (size < 0 || static_cast<std::uint32_t>(size) >= length) {
            return false;
        }
        volume[size] = '\0';
        return true;
    }

    bool DeleteVolumeMountPointA(const char* root) override {
        EntryName entry;
        const DriveTable table;
        return parse_root(root, entry) && table.has_link(entry) &&
               unlinkat(table.fd(), entry, 0) == 0;
    }

    bool SetVolumeMountPointA(const char* root, const char* volume) override {
        const char* delay = std::getenv("VACATE_MOUNT_DELAY");
        if (delay != nullptr) {
            pause(static_cast<std::uint32_t>(std::strtoul(delay, nullptr, 10)));
        }
        EntryName entry;
        const DriveTable table;
        // symlinkat refuses an entry that exists already, of whatever kind.
        return parse_root(root, entry) && table.has_directory(volume) &&
               symlinkat(volume, table.fd(), entry) == 0;
    }

    void Sleep(std::uint32_t milliseconds) override { pause(milliseconds); }

    bool is_administrator() override { return DriveTable().writable(); }

    // The descriptor stays open, and so the lock held, until the process
    // ends. Without a drive table there is nothing to take turns on.
    Lock lock_machine(std::uint32_t milliseconds) override {
        if (lock_ < 0) {
            lock_ = open_drive_table();
        }
        const std::uint32_t until = std::min(lock_waited_ms_ + milliseconds, lock_wait_bound_ms());
        while (lock_ >= 0 && flock(lock_, LOCK_EX | LOCK_NB) != 0 &&
               (errno == EWOULDBLOCK || errno == EINTR)) {
            if (lock_waited_ms_ >= until) {
                return Lock::busy;
            }
            pause(lock_poll_ms);
            lock_waited_ms_ += lock_poll_ms;
        }
        return Lock::held;
    }

    void hold_interruptions() override {
        // A signal that the caller ignores (nohup) or blocks stays as it is:
        // it would not have ended the process.
        sigemptyset(&held_);
        for (const int signal : interruptions) {
            struct sigaction action {};
            if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
                sigaddset(&held_, signal);
            }
        }
        sigprocmask(SIG_BLOCK, &held_, &mask_before_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &pipe_before_);
    }

    bool release_interruptions() override {
        sigaction(SIGPIPE, &pipe_before_, nullptr);
        sigset_t pending;
        sigpending(&pending);
        for (const int signal : interruptions) {
            if (sigismember(&held_, signal) == 1 && sigismember(&mask_before_, signal) == 0 &&
                sigismember(&pending, signal) == 1) {
                // Left blocked: delivered now, it would end the process with
                // its own status instead of the one that tells the outcome.
                return true;
            }
        }
        sigprocmask(SIG_SETMASK, &mask_before_, nullptr);
        return false;
    }

private:
    int lock_ = -1;
    std::uint32_t lock_waited_ms_ = 0;  // over every call
    sigset_t held_{};
    sigset_t mask_before_{};
    struct sigaction pipe_before_ {};
};

}  // namespace

Platform& system_platform() {
    static HostPlatform platform;
    return platform;
}

}  // namespace vacate
