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

// The only door to the operating system. The first six methods carry the
// names and the argument order of the kernel32 calls they stand for, so that
// a reader can check each use against the Windows documentation; every one
// but Sleep and GetSystemWindowsDirectoryA answers plain success or failure,
// because no error code is ever shown. The last three are the program's own,
// a few system calls each.
class Platform {
public:
    // The length of the path written to buffer, without its zero; the size
    // the buffer needs when it is too small; 0 on failure.
    virtual std::uint32_t GetSystemWindowsDirectoryA(char* buffer, std::uint32_t size) = 0;
    // Bit 0 is A, bit 25 is Z; a set bit is a letter in use.
    virtual std::uint32_t GetLogicalDrives() = 0;
    // On success, volume holds the zero-terminated name of the volume mounted
    // at root, in a form that SetVolumeMountPointA accepts back.
    virtual bool GetVolumeNameForVolumeMountPointA(const char* root, char* volume,
                                                   std::uint32_t length) = 0;
    virtual bool DeleteVolumeMountPointA(const char* root) = 0;
    virtual bool SetVolumeMountPointA(const char* root, const char* volume) = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;

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
