// The real platform: kernel32's 8-bit entry points, and advapi32's for the
// registry and for the lock's security. Text is in the active code page throughout, as
// the rest of the program assumes.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

#include "relocation/platform.h"

namespace vacate {

static_assert(registry_string == RRF_RT_REG_SZ && registry_number == RRF_RT_REG_DWORD &&
              registry_string_list == RRF_RT_REG_MULTI_SZ);

namespace {

// Where the move stands, for the console control handler, which Windows runs
// on a thread of its own.
enum : LONG { outside_move, inside_move, interrupted_move };
volatile LONG move_state = outside_move;

// Ctrl+C, Ctrl+Break and a closed console. Outside the move the next handler,
// Windows' own, ends the process as always. Inside it this thread waits for
// good: the main thread ends the process when the volume has a letter again,
// well within the few seconds that Windows allows a closing console's
// handler. Logoff and shutdown reach services only: an interactive run is
// simply ended then, like one that is killed.
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

// A SID is made of DWORDs, and wants their alignment.
struct Sid {
    alignas(DWORD) BYTE bytes[SECURITY_MAX_SID_SIZE];
};

bool make_sid(WELL_KNOWN_SID_TYPE type, Sid& sid) {
    DWORD size = sizeof sid.bytes;
    return ::CreateWellKnownSid(type, nullptr, sid.bytes, &size) != FALSE;
}

// Asked of the token now in force, the one that the volume calls will use:
// only a member of Administrators can move a volume, and only one can make
// that group the lock's owner. Elevation alone is not membership (an elevated
// Backup Operator, a service with a powerful privilege).
bool token_holds_administrators() {
    Sid administrators;
    BOOL member = FALSE;
    return make_sid(WinBuiltinAdministratorsSid, administrators) &&
           ::CheckTokenMembership(nullptr, administrators.bytes, &member) != FALSE &&
           member != FALSE;
}

// Entry `index` of the lock's DACL as a run writes it: `who` allowed all of
// the mutex, inherited by nothing.
bool grants_all_to(ACL* acl, DWORD index, WELL_KNOWN_SID_TYPE who) {
    void* entry = nullptr;
    if (::GetAce(acl, index, &entry) == FALSE) {
        return false;
    }
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    return ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ace->Header.AceFlags == 0 &&
           ace->Mask == MUTEX_ALL_ACCESS && ::IsWellKnownSid(&ace->SidStart, who) != FALSE;
}

// No one but a member of Administrators can make that group the owner, and
// a run writes one DACL only. Anything else with the name (a symbolic link
// to SYSTEM's own mutex, a copy open to more) is not a run's lock.
bool made_by_a_run(HANDLE mutex) {
    // Room for what a run writes, with much to spare; a larger descriptor is
    // not a run's.
    alignas(DWORD) BYTE descriptor[512];
    DWORD needed = 0;
    PSID owner = nullptr;
    BOOL present = FALSE;
    ACL* acl = nullptr;
    BOOL defaulted = FALSE;
    return ::GetKernelObjectSecurity(mutex, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     descriptor, sizeof descriptor, &needed) != FALSE &&
           ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) != FALSE &&
           owner != nullptr && ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) != FALSE &&
           ::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) != FALSE &&
           present != FALSE && acl != nullptr && acl->AceCount == 2 &&
           grants_all_to(acl, 0, WinLocalSystemSid) &&
           grants_all_to(acl, 1, WinBuiltinAdministratorsSid);
}

// Opens the lock, making it if no run has: owned by Administrators, open to
// SYSTEM and Administrators alone. Answers null when something else has the
// name: another kind of object, a mutex that this run may not open (a
// standard user's), or one that is not exactly what a run makes.
HANDLE open_lock() {
    Sid administrators;
    Sid system;
    constexpr std::size_t ace_size =
        sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;
    alignas(DWORD) BYTE acl[sizeof(ACL) + 2 * ace_size];
    SECURITY_DESCRIPTOR descriptor;
    if (!make_sid(WinBuiltinAdministratorsSid, administrators) ||
        !make_sid(WinLocalSystemSid, system) ||
        ::InitializeAcl(reinterpret_cast<ACL*>(acl), sizeof acl, ACL_REVISION) == FALSE ||
        ::AddAccessAllowedAce(reinterpret_cast<ACL*>(acl), ACL_REVISION, MUTEX_ALL_ACCESS,
                              system.bytes) == FALSE ||
        ::AddAccessAllowedAce(reinterpret_cast<ACL*>(acl), ACL_REVISION, MUTEX_ALL_ACCESS,
                              administrators.bytes) == FALSE ||
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) == FALSE ||
        ::SetSecurityDescriptorOwner(&descriptor, administrators.bytes, FALSE) == FALSE ||
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<ACL*>(acl), FALSE) ==
            FALSE ||
        // No parent's inheritable entries merged in: a third would make the
        // lock no run's, and no run would take turns.
        ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ==
            FALSE) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    // Waiting takes SYNCHRONIZE, and reading the owner and the DACL
    // READ_CONTROL: nothing more is asked of a mutex that exists already.
    HANDLE mutex = ::CreateMutexExA(&attributes, lock_name, 0, SYNCHRONIZE | READ_CONTROL);
    if (mutex != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS && !made_by_a_run(mutex)) {
        ::CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

class Win32Platform final : public Platform {
public:
    std::uint32_t GetSystemWindowsDirectoryA(char* buffer, std::uint32_t size) override {
        return ::GetSystemWindowsDirectoryA(buffer, size);
    }

    bool RegGetValueA(RegistryKey, const char* subkey, const char* value, std::uint32_t flags,
                      void* data, std::uint32_t* size) override {
        DWORD bytes = *size;
        const LSTATUS status =
            ::RegGetValueA(HKEY_LOCAL_MACHINE, subkey, value, flags, nullptr, data, &bytes);
        *size = bytes;
        return status == ERROR_SUCCESS;
    }

    std::uint32_t QueryDosDeviceA(const char* device, char* target, std::uint32_t size) override {
        return ::QueryDosDeviceA(device, target, size);
    }

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

    bool is_administrator() override { return token_holds_administrators(); }

    // Never released: the process's end lets it go, and a holder that died
    // leaves it abandoned, which a wait takes too. A run that is not an
    // administrator takes no turn: it cannot move anything, and is refused
    // at once. A wait that fails gives no turn either, and is said.
    Lock lock_machine(std::uint32_t milliseconds) override {
        if (lock_ == nullptr) {
            if (!token_holds_administrators()) {
                return Lock::held;
            }
            lock_ = open_lock();
            if (lock_ == nullptr) {
                return Lock::squatted;
            }
        }
        switch (::WaitForSingleObject(lock_, milliseconds)) {
            case WAIT_OBJECT_0:
            case WAIT_ABANDONED:
                return Lock::held;
            case WAIT_TIMEOUT:
                return Lock::busy;
            default:
                return Lock::squatted;
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

private:
    HANDLE lock_ = nullptr;
};

}  // namespace

Platform& system_platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace vacate
