// The other side of the Wine cases, with vacate's own Windows platform:
//   lock               takes vacate's lock as a run does, says "held", and
//                      keeps it until its standard input ends; then exits
//                      without letting go, as a run that dies would;
//   squat              the same with a mutex of the lock's name made as any
//                      user could, open to everyone (a NULL DACL);
//   squat-as-admin     the same with one owned by Administrators, as a run's
//                      is, but open to everyone too;
//   interrupt-inside   Ctrl+C to its own console inside the hold, then says
//                      whether the release found it waiting;
//   interrupt-outside  Ctrl+C outside the hold: the process must end there.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "relocation/platform.h"

namespace {

bool squat(bool as_admin) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    alignas(DWORD) BYTE administrators[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) BYTE world[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) BYTE acl[256];
    DWORD sizes[] = {sizeof administrators, sizeof world};
    auto* list = reinterpret_cast<ACL*>(acl);
    if (as_admin &&
        (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sizes[0]) ||
         !CreateWellKnownSid(WinWorldSid, nullptr, world, &sizes[1]) ||
         !InitializeAcl(list, sizeof acl, ACL_REVISION) ||
         !AddAccessAllowedAce(list, ACL_REVISION, MUTEX_ALL_ACCESS, administrators) ||
         !AddAccessAllowedAce(list, ACL_REVISION, MUTEX_ALL_ACCESS, world) ||
         !SetSecurityDescriptorOwner(&descriptor, administrators, FALSE))) {
        return false;
    }
    SetSecurityDescriptorDacl(&descriptor, TRUE, as_admin ? list : nullptr, FALSE);
    SECURITY_ATTRIBUTES everyone{sizeof everyone, &descriptor, FALSE};
    return CreateMutexA(&everyone, TRUE, "Global\\vacate.drive-letters") != nullptr &&
           GetLastError() != ERROR_ALREADY_EXISTS;
}

}  // namespace

int main(int argc, char** argv) {
    vacate::Platform& platform = vacate::system_platform();
    const char* mode = argc == 2 ? argv[1] : "";
    const bool lock = std::strcmp(mode, "lock") == 0;
    const bool as_admin = std::strcmp(mode, "squat-as-admin") == 0;
    if (lock || as_admin || std::strcmp(mode, "squat") == 0) {
        if (lock ? platform.lock_machine(0) != vacate::Lock::held : !squat(as_admin)) {
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
