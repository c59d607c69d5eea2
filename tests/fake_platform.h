#ifndef VACATE_TESTS_FAKE_PLATFORM_H
#define VACATE_TESTS_FAKE_PLATFORM_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "relocation/platform.h"

// An in-memory platform that logs every call, one entry each, in this form:
//   windir 260            GetSystemWindowsDirectoryA (answers
//                         `windows_directory`, as kernel32 would)
//   reg PagingFiles       RegGetValueA of a value, as Windows writes it from
//                         what the fields below say, and as RegGetValueA
//                         answers it: of a type that the flags accept, a
//                         REG_EXPAND_SZ expanded for a string read
//   device K:             QueryDosDeviceA
//   drives                GetLogicalDrives
//   name K:\ 260          GetVolumeNameForVolumeMountPointA
//   delete K:\            DeleteVolumeMountPointA
//   set F:\ Volume{K}     SetVolumeMountPointA
//   sleep 1000            Sleep
//   admin                 is_administrator, failed when not (`administrator`)
//   lock 2000             lock_machine, then " busy" or " squatted" when it
//                         answers so (see `locks`)
//   hold                  hold_interruptions
//   release               release_interruptions, or "release interrupted"
//                         when an interruption waits (see `interrupted`)
// A call whose entry is listed in `failing` fails (drives answers 0), and so
// do the drive-set queries numbered in `failing_queries` (from 1); other
// calls behave as a small model of the system: a volume can be read and
// removed where it is mounted, and mounted where no drive is.
class FakePlatform final : public vacate::Platform {
public:
    // One entry of the log, with how it was answered.
    struct Call {
        std::string text;
        bool succeeded = false;
        long printed = 0;          // bytes on standard output when it was made
        std::uint32_t drives = 0;  // the drive set that a query answered
    };

    // Each letter of `volumes` is in use with a volume named Volume{X};
    // each letter of `bare` is in use with none behind it, like a share.
    explicit FakePlatform(const std::string& volumes = "", const std::string& bare = "");

    // Another program takes or frees a letter just before query n (from 1)
    // of the drive set is answered.
    void take_before_query(int n, char letter) { changes_.push_back({n, letter, true}); }
    void free_before_query(int n, char letter) { changes_.push_back({n, letter, false}); }

    // How many queries a new mount point stays unseen for; -1 is never.
    int mount_unseen_queries = 0;
    std::string windows_directory = "C:\\Windows";
    // The letters of the page files for the next start and those in use, as
    // the registry writes them ('?': Windows chooses).
    std::string paging_files;
    std::string existing_page_files;
    // The letter of the volume that Windows boots from, if it has one.
    char system_volume = '\0';
    // CrashControl as Windows sets it up unless told otherwise: the dedicated
    // dump file (REG_SZ; "" is none), the dump file (REG_EXPAND_SZ, whose
    // %SystemRoot% is `windows_directory`; "" is none) and CrashDumpEnabled
    // (REG_DWORD; -1 is none).
    std::string dedicated_dump_file;
    std::string dump_file = R"(%SystemRoot%\MEMORY.DMP)";
    long long crash_dump_enabled = 7;
    bool administrator = true;
    std::set<std::string> failing;
    std::set<int> failing_queries;
    // An interruption arrives inside the hold.
    bool interrupted = false;
    // What lock_machine answers, call by call; held once these run out.
    std::vector<vacate::Lock> locks;

    std::vector<Call> calls;
    std::map<char, std::string> mounted;  // letter -> volume name
    std::uint32_t drives = 0;

    std::string log() const;  // the calls joined by "; "
    int count(const std::string& call) const;
    std::string letters_holding(const std::string& volume) const;  // where it is mounted
    std::string system_device() const;

    std::uint32_t GetSystemWindowsDirectoryA(char* buffer, std::uint32_t size) override;
    bool RegGetValueA(vacate::RegistryKey key, const char* subkey, const char* value,
                      std::uint32_t flags, void* data, std::uint32_t* size) override;
    std::uint32_t QueryDosDeviceA(const char* device, char* target, std::uint32_t size) override;
    std::uint32_t GetLogicalDrives() override;
    bool GetVolumeNameForVolumeMountPointA(const char* root, char* volume,
                                           std::uint32_t length) override;
    bool DeleteVolumeMountPointA(const char* root) override;
    bool SetVolumeMountPointA(const char* root, const char* volume) override;
    void Sleep(std::uint32_t milliseconds) override;
    bool is_administrator() override { return answer("admin", administrator); }
    vacate::Lock lock_machine(std::uint32_t milliseconds) override;
    void hold_interruptions() override { answer("hold", true); }
    bool release_interruptions() override {
        answer(interrupted ? "release interrupted" : "release", true);
        return interrupted;
    }

private:
    struct Change {
        int query;
        char letter;
        bool take;
    };
    struct Pending {
        char letter;
        int unseen;
    };
    // Logs the call and answers whether it succeeds: when the model allows it
    // and no failure is scripted for it.
    bool answer(const std::string& call, bool possible);
    bool in_use(char letter) const;
    void set_in_use(char letter, bool in_use);

    int queries_ = 0;
    std::vector<Change> changes_;
    std::vector<Pending> pending_;
};

// The volume name the fake gives the volume first found at `letter`.
std::string volume_of(char letter);
// The device that QueryDosDeviceA names a volume by.
std::string device_of(const std::string& volume);
// `path` with %SystemRoot% as Windows expands it on a machine that runs from
// `windows`.
std::string expand_system_root(std::string path, const std::string& windows);

#endif
