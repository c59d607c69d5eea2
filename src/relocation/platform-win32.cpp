// The real platform: kernel32's 8-bit entry points, and nothing more. Text is
// in the active code page throughout, as the rest of the program assumes.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "relocation/platform.h"

namespace vacate {

namespace {

// Where the move stands, for the console control handler, which Windows runs
// on a thread of its own.
enum : LONG { outside_move, inside_move, interrupted_move };
volatile LONG move_state = outside_move;

// Ctrl+C, Ctrl+Break, a closed console, logoff and shutdown. Outside the move
// the next handler, Windows' own, ends the process as always. Inside it this
// thread waits for good: the main thread ends the process when the volume has
// a letter again, well within the few seconds that Windows allows a closing
// console's handler.
BOOL WINAPI wait_for_the_move(DWORD) {
    if (InterlockedCompareExchange(&move_state, interrupted_move, inside_move) == outside_move) {
        return FALSE;
    }
    for (;;) {
        ::Sleep(INFINITE);
    }
}

class Win32Platform final : public Platform {
public:
    std::uint32_t GetLogicalDrives() override { return ::GetLogicalDrives(); }

    bool GetVolumeNameForVolumeMountPointA(const char* root, char* volume,
                                           std::uint32_t length) override {
        return ::GetVolumeNameForVolumeMountPointA(root, volume, length) != FALSE;
    }

    bool DeleteVolumeMountPointA(const char* root) override {
        return ::DeleteVolumeMountPointA(root) != FALSE;
    }

    bool SetVolumeMountPointA(const char* root, const char* volume) override {
        return ::SetVolumeMountPointA(root, volume) != FALSE;
    }

    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

    // Global, so that runs from every session, services' and remote ones
    // included, queue on it. Never released: the process's end lets it go,
    // and a holder that died leaves it abandoned, which a wait takes too.
    void lock_machine() override {
        HANDLE mutex = ::CreateMutexA(nullptr, FALSE, "Global\\vacate.drive-letters");
        if (mutex != nullptr) {
            ::WaitForSingleObject(mutex, INFINITE);
        }
    }

    void hold_interruptions() override {
        InterlockedExchange(&move_state, inside_move);
        ::SetConsoleCtrlHandler(wait_for_the_move, TRUE);
    }

    // Once interrupted, the handler stays, so that a second interruption
    // waits too while the process ends.
    bool release_interruptions() override {
        if (InterlockedCompareExchange(&move_state, outside_move, inside_move) == inside_move) {
            ::SetConsoleCtrlHandler(wait_for_the_move, FALSE);
            return false;
        }
        return true;
    }
};

}  // namespace

Platform& system_platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace vacate
