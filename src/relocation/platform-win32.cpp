// The real platform: kernel32's 8-bit entry points, and nothing more. Text is
// in the active code page throughout, as the rest of the program assumes.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "relocation/platform.h"

namespace vacate {

namespace {

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
};

}  // namespace

Platform& system_platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace vacate
