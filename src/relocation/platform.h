#ifndef VACATE_RELOCATION_PLATFORM_H
#define VACATE_RELOCATION_PLATFORM_H

#include <cstdint>

namespace vacate {

// What a wait for the machine's lock found.
enum class Lock {
    held,      // this run has its turn, or there are no turns to take here
    busy,      // another run held the lock all through the wait
    squatted,  // something that is not the lock has its name, or the wait
               // failed: no turns at all
};

// Where a registry read starts: the one predefined key that a run reads.
enum class RegistryKey { local_machine };

// The types that a registry read accepts, as RegGetValueA's RRF_RT_REG_SZ,
// RRF_RT_REG_MULTI_SZ and RRF_RT_REG_DWORD: a value of another type is not
// read. A string read takes a REG_EXPAND_SZ value too, expanded.
constexpr std::uint32_t registry_string = 0x00000002;
constexpr std::uint32_t registry_number = 0x00000010;
constexpr std::uint32_t registry_string_list = 0x00000020;

// The only door to the operating system. The first eight methods carry the
// names and the argument order of the kernel32 and advapi32 calls they stand
// for, so that a reader can check each use against the Windows
// documentation; every one but Sleep and the two that answer a length
// answers plain success or failure, because no error code is ever shown.
// The last four are the program's own, a few system calls each.
class Platform {
public:
    // The length of the path written to buffer, without its zero; the size
    // the buffer needs when it is too small; 0 on failure.
    virtual std::uint32_t GetSystemWindowsDirectoryA(char* buffer, std::uint32_t size) = 0;
    // A value of the registry, of a type that `flags` accepts, into `data`,
    // whose size in bytes is `size` on the way in and what was written (or,
    // when it did not fit, what is needed) on the way out. A string arrives
    // with its zero, a list with the zero of each string and one more, a
    // number as 4 bytes. The type is never asked: `flags` has decided it.
    virtual bool RegGetValueA(RegistryKey key, const char* subkey, const char* value,
                              std::uint32_t flags, void* data, std::uint32_t* size) = 0;
    // What the device `device` ("K:") stands for, as a list of zero-ended
    // strings, the one in force first, ended by one more zero. Answers how
    // many characters it wrote, or 0 on failure, as when they do not fit.
    virtual std::uint32_t QueryDosDeviceA(const char* device, char* target, std::uint32_t size) = 0;
    // Bit 0 is A, bit 25 is Z; a set bit is a letter in use.
    virtual std::uint32_t GetLogicalDrives() = 0;
    // On success, volume holds the zero-terminated name of the volume mounted
    // at root, in a form that SetVolumeMountPointA accepts back.
    virtual bool GetVolumeNameForVolumeMountPointA(const char* root, char* volume,
                                                   std::uint32_t length) = 0;
    virtual bool DeleteVolumeMountPointA(const char* root) = 0;
    virtual bool SetVolumeMountPointA(const char* root, const char* volume) = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;

    // Whether this run may change drive letters: on Windows, whether the
    // token in force holds Administrators.
    virtual bool is_administrator() = 0;

    // Waits at most `milliseconds` for no other run to hold the machine's
    // drive letters, then holds them until this process ends, however it
    // ends. After busy, a second call waits on.
    virtual Lock lock_machine(std::uint32_t milliseconds) = 0;
    // From hold to release, an interruption (Ctrl+C, Ctrl+Break, a closed
    // console, a signal, a write to a closed pipe) waits instead of ending the
    // process. Nothing holds off a hard kill, nor Windows ending an
    // interactive process at logoff or shutdown.
    // release answers whether one arrived; if so it is still waiting, and
    // the process must end at once, with the status that tells where the
    // volume is.
    virtual void hold_interruptions() = 0;
    virtual bool release_interruptions() = 0;

protected:
    Platform() = default;
    Platform(const Platform&) = default;
    Platform& operator=(const Platform&) = default;
    ~Platform() = default;
};

// The platform the program runs on: kernel32 on Windows, and elsewhere a
// stand-in that keeps its drive table in a directory (see platform-host.cpp).
Platform& system_platform();

}  // namespace vacate

#endif
