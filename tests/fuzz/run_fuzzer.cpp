// Drives whole runs through the fake platform with everything taken from the
// fuzz input: the arguments' bytes, which letters hold volumes or are in use,
// where Windows runs from, its page files, the volume it boots from and its
// crash dumps, how another program changes the drive set, which calls fail,
// when a new mount point shows up, what the lock answers, whether the run may
// move volumes or is interrupted, and options in front, /to among them.
// Every run must keep the rules of broken_rule.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "invariants.h"

namespace {

std::string letters_of(std::uint32_t set) {
    std::string letters;
    for (int bit = 0; bit < 26; ++bit) {
        if ((set >> bit & 1) != 0) {
            letters += static_cast<char>('A' + bit);
        }
    }
    return letters;
}

// The scripted failures name calls by their text, so they are spelled out
// for the letter that the drive argument names.
void fail_calls(FakePlatform& platform, char source, unsigned which) {
    const std::string root = std::string(1, source) + ":\\";
    const std::string volume = volume_of(source);
    const std::pair<unsigned, std::string> calls[] = {
        {1, "name " + root + " 260"},         {2, "delete " + root},
        {8, "set " + root + " " + volume},    {32, "reg PagingFiles"},
        {64, "reg ExistingPageFiles"},        {128, "reg SystemPartition"},
        {256, "device " + root.substr(0, 2)}, {512, "reg DedicatedDumpFile"},
        {1024, "reg CrashDumpEnabled"},       {2048, "reg DumpFile"}};
    for (const auto& [bit, call] : calls) {
        if ((which & bit) != 0) {
            platform.failing.insert(call);
        }
    }
    // A refused mount is refused at every target.
    for (char target = 'D'; target <= 'Z' && (which & 4) != 0; ++target) {
        if (target != source) {
            platform.failing.insert("set " + std::string(1, target) + ":\\ " + volume);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto volumes = input.ConsumeIntegral<std::uint32_t>();
    const auto bare = input.ConsumeIntegral<std::uint32_t>() & ~volumes;
    FakePlatform platform(letters_of(volumes), letters_of(bare));
    platform.mount_unseen_queries = input.ConsumeIntegralInRange(-1, 20);
    for (int changes = input.ConsumeIntegralInRange(0, 4); changes > 0; --changes) {
        const int query = input.ConsumeIntegralInRange(1, 45);
        const auto letter = static_cast<char>('A' + input.ConsumeIntegralInRange(0, 25));
        if (input.ConsumeBool()) {
            platform.take_before_query(query, letter);
        } else {
            platform.free_before_query(query, letter);
        }
    }
    const auto failing_queries = input.ConsumeIntegral<std::uint64_t>();
    for (int query = 1; query <= 45; ++query) {
        if ((failing_queries >> (query - 1) & 1) != 0) {
            platform.failing_queries.insert(query);
        }
    }
    const auto failures = input.ConsumeIntegral<std::uint16_t>();
    platform.interrupted = (failures & 16) != 0;
    // Where Windows runs from: C:, unknown, any letter in either case (and
    // the punctuation between), or any text at all, too long ones included.
    const int windows = input.ConsumeIntegralInRange(0, 3);
    if (windows == 1) {
        platform.failing.insert("windir 260");
    }
    platform.windows_directory =
        windows == 2   ? std::string(1, input.ConsumeIntegralInRange('A', 'z')) + ":\\Windows"
        : windows == 3 ? input.ConsumeRandomLengthString(300)
                       : platform.windows_directory;
    // Letters as the registry may write them, in either case, '?' or any
    // other byte but the zero that would end the list.
    platform.paging_files = input.ConsumeRandomLengthString(4).c_str();
    platform.existing_page_files = input.ConsumeRandomLengthString(4).c_str();
    platform.system_volume = input.ConsumeIntegralInRange('@', 'Z');  // @: on no letter
    // Crash dumps: a path of any few bytes (a drive in either case, none, or
    // %SystemRoot%, which expands to wherever Windows runs from), and dumps
    // on, off or not said.
    const char* const dump_paths[] = {"", "%SystemRoot%\\MEMORY.DMP", "%SystemRoot%"};
    const auto dump_path = [&] {
        const int kind = input.ConsumeIntegralInRange(0, 3);
        return kind < 3 ? std::string(dump_paths[kind])
                        : std::string(input.ConsumeRandomLengthString(4).c_str());
    };
    platform.dedicated_dump_file = dump_path();
    platform.dump_file = dump_path();
    platform.crash_dump_enabled = input.ConsumeIntegralInRange(-1, 2);
    platform.administrator = input.ConsumeBool();
    std::vector<std::string> argv;
    for (int argc = input.ConsumeIntegralInRange(0, 4); argc > 0; --argc) {
        // An argument is a C string: it cannot hold a zero byte.
        argv.push_back(argv.empty() ? "vacate" : input.ConsumeRandomLengthString(6).c_str());
    }
    // Options in front, any of them twice, or help or the version among them;
    // /to with a letter it takes or refuses.
    const char* const options[] = {"/whatif",  "-WhatIf",   "/v",     "-V",    "/?",
                                   "-Version", "/to:M",     "-TO:f:", "/to:K", "/to:B",
                                   "/to:",     "--version", "/to:MN", "/to:e"};
    constexpr int last_option = static_cast<int>(std::size(options)) - 1;
    std::size_t drive = 1;
    for (int count = input.ConsumeIntegralInRange(0, 3); count > 0 && !argv.empty(); --count) {
        argv.insert(argv.begin() + 1, options[input.ConsumeIntegralInRange(0, last_option)]);
        ++drive;
    }
    for (int lock = input.ConsumeIntegralInRange(0, 2); lock > 0; --lock) {
        platform.locks.push_back(static_cast<vacate::Lock>(input.ConsumeIntegralInRange(0, 2)));
    }
    if (drive < argv.size() && !argv[drive].empty()) {
        fail_calls(platform, static_cast<char>(argv[drive][0] & ~0x20), failures);
    }

    const RunRecord run = record_run(platform, argv);
    const std::string rule = broken_rule(run, platform);
    if (!rule.empty()) {
        std::fprintf(stderr, "broken: %s\nstatus %d\noutput: %s\ncalls: %s\n", rule.c_str(),
                     run.status, run.output.c_str(), platform.log().c_str());
        std::abort();
    }
    return 0;
}
