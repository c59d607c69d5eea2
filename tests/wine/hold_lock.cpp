// The other side of the Wine cases, with vacate's own Windows platform:
//   lock               takes vacate's lock as a run does, says "held", keeps
//                      it until its input ends, then exits without letting go;
//   squat              holds a mutex of the lock's name open to everyone;
//   squat-as-admin     the same, owned by Administrators as a run's is;
//   interrupt-inside   Ctrl+C to its own console inside the hold, then says
//                      whether the release found it waiting;
//   interrupt-outside  Ctrl+C outside the hold: the process must end there;
//   device K:          prints the first device that K: stands for, as the
//                      run reads it to tell the volume Windows boots from.

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <cstdio>
#include <cstring>

#include "relocation/platform.h"

namespace {

// A mutex of the lock's name made with the security that `sddl` describes,
// and held.
bool squat(const char* sddl) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(
               sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr) != FALSE &&
           CreateMutexA(&attributes, TRUE, "Global\\vacate.drive-letters") != nullptr &&
           GetLastError() != ERROR_ALREADY_EXISTS;
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
    const bool lock = std::strcmp(mode, "lock") == 0;
    const char* sddl = std::strcmp(mode, "squat") == 0 ? "D:NO_ACCESS_CONTROL"
                       : std::strcmp(mode, "squat-as-admin") == 0
                           ? "O:BAD:(A;;0x1f0001;;;BA)(A;;0x1f0001;;;WD)"
                           : nullptr;
    if (lock || sddl != nullptr) {
        if (lock ? platform.lock_machine(0) != vacate::Lock::held : !squat(sddl)) {
            return 1;
        }
        std::puts("held");
        std::fflush(stdout);
        while (std::getchar() != EOF) {
        }
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
