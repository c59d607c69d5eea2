// The real platform: kernel32's 8-bit entry points, and for the lock the
// security calls of advapi32. Text is in the active code page throughout, as
// the rest of the program assumes.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

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

// Global, so that runs from every session, services' and remote ones
// included, take turns on it.
constexpr char lock_name[] = "Global\\vacate.drive-letters";

bool is_elevated() {
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool known =
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) != FALSE &&
        ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != FALSE;
    if (token != nullptr) {
        ::CloseHandle(token);
    }
    return known && elevation.TokenIsElevated != 0;
}

// No standard user can make Administrators or SYSTEM the owner of what it
// creates, so an owner of those two is a lock that a run made.
bool made_by_a_run(HANDLE mutex) {
    alignas(SECURITY_DESCRIPTOR)
        BYTE descriptor[SECURITY_DESCRIPTOR_MIN_LENGTH + SECURITY_MAX_SID_SIZE];
    DWORD needed = 0;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    return ::GetKernelObjectSecurity(mutex, OWNER_SECURITY_INFORMATION, descriptor,
                                     sizeof descriptor, &needed) != FALSE &&
           ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) != FALSE &&
           owner != nullptr &&
           (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) != FALSE ||
            ::IsWellKnownSid(owner, WinLocalSystemSid) != FALSE);
}

// Opens the lock, making it if no run has: owned by Administrators, open to
// SYSTEM and Administrators alone. Answers null when something else has the
// name: another kind of object, a mutex that this run may not open (a
// standard user's), or one that a standard user made open to all.
HANDLE open_lock() {
    // A SID and an ACL are made of DWORDs, and want their alignment.
    alignas(DWORD) BYTE administrators[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD administrators_size = sizeof administrators;
    DWORD system_size = sizeof system;
    constexpr std::size_t ace_size =
        sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;
    alignas(DWORD) BYTE acl[sizeof(ACL) + 2 * ace_size];
    SECURITY_DESCRIPTOR descriptor;
    if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators,
                             &administrators_size) == FALSE ||
        ::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) == FALSE ||
        ::InitializeAcl(reinterpret_cast<ACL*>(acl), sizeof acl, ACL_REVISION) == FALSE ||
        ::AddAccessAllowedAce(reinterpret_cast<ACL*>(acl), ACL_REVISION, MUTEX_ALL_ACCESS,
                              system) == FALSE ||
        ::AddAccessAllowedAce(reinterpret_cast<ACL*>(acl), ACL_REVISION, MUTEX_ALL_ACCESS,
                              administrators) == FALSE ||
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) == FALSE ||
        ::SetSecurityDescriptorOwner(&descriptor, administrators, FALSE) == FALSE ||
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<ACL*>(acl), FALSE) ==
            FALSE) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    // Waiting takes SYNCHRONIZE, and reading the owner READ_CONTROL: nothing
    // more is asked of a mutex that exists already.
    HANDLE mutex = ::CreateMutexExA(&attributes, lock_name, 0, SYNCHRONIZE | READ_CONTROL);
    if (mutex != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS && !made_by_a_run(mutex)) {
        ::CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
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

    // Never released: the process's end lets it go, and a holder that died
    // leaves it abandoned, which a wait takes too. A run that is not elevated
    // takes no turn: it cannot move anything, and is refused at once.
    Lock lock_machine(std::uint32_t milliseconds) override {
        if (lock_ == nullptr) {
            if (!is_elevated()) {
                return Lock::held;
            }
            lock_ = open_lock();
            if (lock_ == nullptr) {
                return Lock::squatted;
            }
        }
        return ::WaitForSingleObject(lock_, milliseconds) == WAIT_TIMEOUT ? Lock::busy : Lock::held;
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

private:
    HANDLE lock_ = nullptr;
};

}  // namespace

Platform& system_platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace vacate
