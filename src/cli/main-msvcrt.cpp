// The entry of the MinGW build against msvcrt.dll, in place of MinGW's own
// start-up, which is most of an exe this small and does nothing the program
// needs. What that start-up did, and why each is done here or not at all:
// - __set_app_type: done, so that msvcrt tells a fatal error of its own on
//   standard error, never in a message box that a script cannot answer.
// - _fmode and _commode: msvcrt's defaults, text mode and no commit to disk,
//   are what MinGW set them to: standard output still ends lines with CR LF.
// - the unhandled-exception filter: MinGW's turns a few exceptions into C
//   signals, and the program handles none; Windows' own reporting is left.
// - pseudo-relocations: made only for data imported from a DLL as if it were
//   the exe's own; the link refuses to make any (--disable-auto-import).
// - __main and static constructors: the program has none to run, and the
//   link stops at an object that carries one (CMakeLists.txt).
// - TLS callbacks and the atexit table: no thread-local data, and msvcrt's
//   exit keeps its own table of what to run at the end.

#include "cli/run.h"
#include "relocation/platform.h"

extern "C" {

// msvcrt.dll's own, which MinGW declares in no public header; the names are
// msvcrt's, reserved or not.
struct StartupInfo {
    // cppcheck-suppress unusedStructMember ; msvcrt reads it: 0 is its default
    int new_mode;
};
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __cdecl __getmainargs(int* argc, char*** argv, char*** environment, int expand_wildcards,
                          StartupInfo* info);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void __cdecl __set_app_type(int type);
void __cdecl _amsg_exit(int error);
void __cdecl exit(int status);

void __cdecl vacate_entry() {
    constexpr int console_app = 1;
    __set_app_type(console_app);
    int argc = 0;
    char** argv = nullptr;
    char** environment = nullptr;
    StartupInfo info{0};
    // Wildcards stay as typed, as MinGW's start-up leaves them: `vacate *`
    // must not become the names of the files here. Arguments that cannot be
    // allocated end the run as MinGW's start-up ends it: msvcrt's "R6008 -
    // not enough space for arguments" on standard error, and 255.
    constexpr int no_room_for_arguments = 8;
    if (__getmainargs(&argc, &argv, &environment, 0, &info) < 0) {
        _amsg_exit(no_room_for_arguments);
    }
    // Through msvcrt's exit, as a return from main would: standard output is
    // flushed before the process ends.
    exit(vacate::run(argc, argv, vacate::system_platform()));
}
}
