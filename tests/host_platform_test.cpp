// The stand-in that lets the real program run here: its model of drive
// letters and mount points over a directory.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "relocation/platform.h"

namespace {

namespace fs = std::filesystem;

// A drive table with C: a directory (no volume), D: a file, K: a mounted
// volume, L: the mount point of a volume that is gone, and two volumes.
class HostPlatform : public testing::Test {
protected:
    void SetUp() override {
        table_ = fs::temp_directory_path() / ("vacate-host-" + std::to_string(getpid()));
        fs::remove_all(table_);
        fs::create_directories(table_ / "volumes" / "k");
        fs::create_directories(table_ / "volumes" / "spare");
        fs::create_directories(table_ / "drives" / "C:");
        std::FILE* file = std::fopen((table_ / "drives" / "D:").c_str(), "w");
        std::fclose(file);
        fs::create_symlink("../volumes/k", table_ / "drives" / "K:");
        fs::create_symlink("../volumes/gone", table_ / "drives" / "L:");
        setenv("VACATE_DRIVES", (table_ / "drives").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VACATE_DRIVES");
        fs::remove_all(table_);
    }

    vacate::Platform& platform_ = vacate::system_platform();
    fs::path table_;
};

constexpr std::uint32_t bit(char letter) {
    return std::uint32_t{1} << (letter - 'A');
}

TEST_F(HostPlatform, EveryEntryPutsItsLetterInUse) {
    EXPECT_EQ(platform_.GetLogicalDrives(), bit('C') | bit('D') | bit('K') | bit('L'));
    for (const char* value : {"", "/nonexistent/vacate-drives"}) {
        setenv("VACATE_DRIVES", value, 1);
        EXPECT_EQ(platform_.GetLogicalDrives(), 0u) << value;
        char volume[260];
        EXPECT_FALSE(platform_.GetVolumeNameForVolumeMountPointA("K:\\", volume, 260)) << value;
        EXPECT_FALSE(platform_.DeleteVolumeMountPointA("K:\\")) << value;
        EXPECT_FALSE(platform_.SetVolumeMountPointA("M:\\", "../volumes/spare")) << value;
    }
    unsetenv("VACATE_DRIVES");
    EXPECT_EQ(platform_.GetLogicalDrives(), 0u);
}

TEST_F(HostPlatform, AVolumeNameIsTheLinkTextWhenItFits) {
    struct Row {
        const char* root;
        std::uint32_t length;
        bool succeeds;
    };
    const std::string name = "../volumes/k";  // 12 characters
    const Row rows[] = {
        {"K:\\", 260, true},  {"K:\\", 13, true},   {"K:\\", 12, false},   {"K:\\", 0, false},
        {"L:\\", 260, true},  {"C:\\", 260, false}, {"D:\\", 260, false},  {"M:\\", 260, false},
        {"k:\\", 260, false}, {"K:", 260, false},   {"K:\\x", 260, false}, {"K/\\", 260, false},
        {"", 260, false},     {"[:\\", 260, false},
    };
    for (const Row& row : rows) {
        char volume[260] = "untouched";
        EXPECT_EQ(platform_.GetVolumeNameForVolumeMountPointA(row.root, volume, row.length),
                  row.succeeds)
            << row.root << " " << row.length;
        if (row.succeeds) {
            EXPECT_STREQ(volume, row.root[0] == 'K' ? name.c_str() : "../volumes/gone");
        }
    }
}

TEST_F(HostPlatform, OnlyAMountPointCanBeRemoved) {
    struct Row {
        const char* root;
        bool succeeds;
    };
    const Row rows[] = {{"C:\\", false}, {"D:\\", false}, {"M:\\", false}, {"K:", false},
                        {"L:\\", true},  {"K:\\", true},  {"K:\\", false}};
    for (const Row& row : rows) {
        EXPECT_EQ(platform_.DeleteVolumeMountPointA(row.root), row.succeeds) << row.root;
    }
    EXPECT_EQ(platform_.GetLogicalDrives(), bit('C') | bit('D'));
    EXPECT_TRUE(fs::exists(table_ / "volumes" / "k"));
}

TEST_F(HostPlatform, APresentVolumeMountsWhereNoDriveIs) {
    struct Row {
        const char* root;
        const char* volume;
        bool succeeds;
    };
    const std::string absolute = (table_ / "volumes" / "k").string();
    const Row rows[] = {
        {"C:\\", "../volumes/spare", false},  // a drive is there, of whatever kind
        {"D:\\", "../volumes/spare", false},
        {"K:\\", "../volumes/spare", false},
        {"M:\\", "../volumes/gone", false},  // the volume is not present
        {"M:\\", "", false},
        {"M:\\", "../volumes/k/../../drives/D:", false},  // a file is no volume
        {"M:", "../volumes/spare", false},
        {"M:\\", "../volumes/spare", true},
        {"N:\\", absolute.c_str(), true},  // absolute names too
    };
    for (const Row& row : rows) {
        EXPECT_EQ(platform_.SetVolumeMountPointA(row.root, row.volume), row.succeeds)
            << row.root << " " << row.volume;
    }
    EXPECT_EQ(fs::read_symlink(table_ / "drives" / "M:"), "../volumes/spare");
    EXPECT_EQ(platform_.GetLogicalDrives(),
              bit('C') | bit('D') | bit('K') | bit('L') | bit('M') | bit('N'));
}

TEST_F(HostPlatform, OnlyWhoMayWriteTheTableMayMoveVolumes) {
    EXPECT_TRUE(platform_.is_administrator());
    unsetenv("VACATE_DRIVES");
    EXPECT_FALSE(platform_.is_administrator());
}

TEST_F(HostPlatform, SleepPauses) {
    const auto start = std::chrono::steady_clock::now();
    platform_.Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

}  // namespace
