// The other side of the lock's tests, under Wine and on Windows, with vacate's
// own Windows platform:
//   lock SECONDS [FILE], or a squatter below instead of lock
//                      takes vacate's lock as a run does, or holds a mutex of
//                      its name made otherwise; says "held" and keeps it for
//                      SECONDS, or until FILE appears, then says "released"
//                      and exits without letting go;
//   interrupt-inside   Ctrl+C to its own console inside the hold, then says
//                      whether the release found it waiting;
//   interrupt-outside  Ctrl+C outside the hold: the process must end there;
//   device K:          prints the first device that K: stands for, as the
//                      run reads it to tell the volume Windows boots from;
//   control            takes the lock as a run does, and prints whether its
//                      DACL is marked protected ("protected"), so that no
//                      parent's inheritable entries are merged into it.

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relocation/platform.h"

namespace {

// Mutexes of the lock's name, as SDDL: a run's own is owned by Administrators
// (BA) and grants SYSTEM (SY), then Administrators, all of a mutex (0x1f0001)
// with no flags. Each but the first two breaks one of those alone.
constexpr const char* squatters[][2] = {
    {"squat", "D:NO_ACCESS_CONTROL"},
    {"squat-as-admin", "O:BAD:(A;;0x1f0001;;;BA)(A;;0x1f0001;;;WD)"},
    {"another-owner", "O:SYD:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)"},
    {"third-entry", "O:BAD:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x1f0001;;;WD)"},
    {"another-mask", "O:BAD:(A;;0x1f0001;;;SY)(A;;0x100001;;;BA)"},
    {"inherited", "O:BAD:(A;OI;0x1f0001;;;SY)(A;;0x1f0001;;;BA)"},
    {"swapped", "O:BAD:(A;;0x1f0001;;;BA)(A;;0x1f0001;;;SY)"},
};

// A mutex of the lock's name made with the security that `sddl` describes,
// and held. The name may still be another's for a moment (a run of the
// test's row before, ending): made first means made once that one is gone.
bool squat(const char* sddl) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(
            sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr) == FALSE) {
        return false;
    }
    for (int tries = 0; tries < 100; ++tries, Sleep(100)) {
        HANDLE mutex = CreateMutexA(&attributes, TRUE, "Global\\vacate.drive-letters");
        if (mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
            return true;
        }
        CloseHandle(mutex);
    }
    return false;
}

// Until `file` appears or `seconds` pass.
void hold(const char* file, unsigned long seconds) {
    for (unsigned long tenths = 0; tenths < seconds * 10; ++tenths, Sleep(100)) {
        if (file != nullptr && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    vacate::Platform& platform = vacate::system_platform();
    const char* mode = argc >= 2 ? argv[1] : "";
    if (std::strcmp(mode, "device") == 0 && argc == 3) {
        char device[261] = {};
        if (platform.QueryDosDeviceA(argv[2], device, 260) == 0) {
            return 1;
        }
        std::puts(device);
        return 0;
    }
    if (std::strcmp(mode, "control") == 0) {
        alignas(DWORD) BYTE descriptor[512];
        DWORD needed = 0;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        HANDLE mutex = nullptr;
        if (platform.lock_machine(10000) != vacate::Lock::held ||
            (mutex = OpenMutexA(READ_CONTROL, FALSE, "Global\\vacate.drive-letters")) == nullptr ||
            GetKernelObjectSecurity(mutex, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                                    &needed) == FALSE ||
            GetSecurityDescriptorControl(descriptor, &control, &revision) == FALSE) {
            return 1;
        }
        std::puts((control & SE_DACL_PROTECTED) != 0 ? "protected" : "not protected");
        return 0;
    }
    const char* sddl = nullptr;
    for (const auto& [name, description] : squatters) {
        sddl = std::strcmp(mode, name) == 0 ? description : sddl;
    }
    const bool lock = std::strcmp(mode, "lock") == 0;
    if (lock || sddl != nullptr) {
        if (lock ? platform.lock_machine(10000) != vacate::Lock::held : !squat(sddl)) {
            return 1;
        }
        std::puts("held");
        std::fflush(stdout);
        hold(argc > 3 ? argv[3] : nullptr, argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0);
        // Written as the process ends, which is when the name is let go: a
        // run that waited on it ends after this line.
        std::puts("released");
        return 0;
    }
    const bool inside = std::strcmp(mode, "interrupt-inside") == 0;
    if (inside) {
        platform.hold_interruptions();
    }
    if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) == FALSE) {
        return 2;
    }
    Sleep(1000);  // the handlers run on a thread of their own
    std::puts(!inside ? "not ended" : platform.release_interruptions() ? "interrupted" : "missed");
    return 0;
}
