// The other side of the lock's tests, under Wine and on Windows, with vacate's
// own Windows platform:
//   lock               takes vacate's lock as a run does;
//   squat              holds a mutex of the lock's name open to everyone;
//   squat-as-admin     the same, owned by Administrators as a run's is;
//   another-owner, third-entry, another-mask, inherited, swapped
//                      a mutex of the lock's name made as a run makes it but
//                      for one thing (see squatters below);
// each says "held" and keeps the name until its input ends, or with
// --until FILE until that file appears, or with --seconds N for N seconds at
// most (a scheduled task has no input to end), then exits without letting go;
//   interrupt-inside   Ctrl+C to its own console inside the hold, then says
//                      whether the release found it waiting;
//   interrupt-outside  Ctrl+C outside the hold: the process must end there;
//   device K:          prints the first device that K: stands for, as the
//                      run reads it to tell the volume Windows boots from.

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
struct Squatter {
    const char* mode;
    const char* sddl;
};
constexpr Squatter squatters[] = {
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
        if (mutex != nullptr) {
            CloseHandle(mutex);
        }
    }
    return false;
}

// Until standard input ends, or until `file` appears or `seconds` pass.
void hold(const char* file, unsigned long seconds) {
    if (file == nullptr && seconds == 0) {
        while (std::getchar() != EOF) {
        }
        return;
    }
    for (unsigned long tenths = 0; seconds == 0 || tenths < seconds * 10; ++tenths) {
        if (file != nullptr && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
            return;
        }
        Sleep(100);
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
    const char* until = nullptr;
    unsigned long seconds = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--until") == 0) {
            until = argv[i + 1];
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::strtoul(argv[i + 1], nullptr, 10);
        }
    }
    const char* sddl = nullptr;
    for (const Squatter& squatter : squatters) {
        sddl = std::strcmp(mode, squatter.mode) == 0 ? squatter.sddl : sddl;
    }
    const bool lock = std::strcmp(mode, "lock") == 0;
    if (lock || sddl != nullptr) {
        if (lock ? platform.lock_machine(10000) != vacate::Lock::held : !squat(sddl)) {
            return 1;
        }
        std::puts("held");
        std::fflush(stdout);
        hold(until, seconds);
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
