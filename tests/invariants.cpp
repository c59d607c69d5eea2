#include "invariants.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

#include "capture.h"
#include "cli/run.h"

namespace {

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::vector<std::string> lines_of(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = output.find('\n'); end != std::string::npos;
         end = output.find('\n', start)) {
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string text(char letter) {
    return std::string(1, letter);
}

using Lines = std::vector<std::string>;

// Answers "" when the rule holds, else what it says.
std::string unless(bool holds, const char* rule) {
    return holds ? "" : rule;
}

// A run that touched no mount point ends with one of these.
bool is_early_outcome(const Lines& lines, int status, const std::string& source) {
    if (lines.size() != 1) {
        return false;
    }
    const std::string& line = lines[0];
    const char target = line.size() > 13 ? line[13] : '\0';
    return (status == -1 && line == "No free drive letters available; can't free " + source) ||
           (status == 0 && line == "Drive " + source + " is already free") ||
           (status == -1 && target >= 'D' && target <= 'Z' &&
            line == "Target drive " + text(target) + ": is already in use");
}

}  // namespace

std::string usage_text(const std::string& program) {
    return "Usage: " + program +
           " <Drive> [Exclude list]\n"
           "where <Drive> is drive letter to free up and\n"
           "[ExcludeList] is a set of drive letters not to move it to\n"
           "\n"
           "For example:  " +
           program + " K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z";
}

RunRecord record_run(FakePlatform& platform, std::vector<std::string> argv) {
    RunRecord run;
    run.argv = argv;
    run.mounted_before = platform.mounted;
    std::vector<char*> pointers;
    for (std::string& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    run.errors = capture_output(
        [&] {
            run.output = capture_output([&] {
                run.status = vacate::run(static_cast<int>(argv.size()), pointers.data(), platform);
            });
        },
        2);
    return run;
}

std::string broken_rule(const RunRecord& run, const FakePlatform& platform) {
    if (run.status != 0 && run.status != -1 && run.status != -2) {
        return "status outside 0, -1 and -2";
    }
    const std::set<std::string> help = {"/?", "-?", "-h", "--help"};
    const std::string first = run.argv.size() > 1 ? run.argv[1] : "";
    std::string word = first;
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool help_asked = run.argv.size() < 2 || help.count(first) != 0 || word == "help";
    if (help_asked || run.argv.size() > 3) {
        const std::string usage = usage_text(run.argv.empty() ? "vacate" : run.argv[0]);
        return unless(run.output == usage && run.errors.empty() &&
                          run.status == (help_asked ? 0 : -1) && platform.calls.empty(),
                      "help or no argument must print the usage alone with 0, and too many "
                      "arguments with -1");
    }
    const std::string& drive = run.argv[1];
    if (drive.empty() || !is_ascii_letter(drive[0])) {
        return unless(run.output == "Invalid drive letter: " + drive + "\n" && run.errors.empty() &&
                          run.status == -1 && platform.calls.empty(),
                      "a drive that is not a letter must be refused before any platform call");
    }

    const char letter = static_cast<char>(drive[0] & ~0x20);
    const std::string source = text(letter) + ":";
    const std::string root = source + "\\";
    const auto found = run.mounted_before.find(letter);
    const std::string volume = found == run.mounted_before.end() ? "" : found->second;

    if (!run.output.empty() && run.output.back() != '\n') {
        return "a message without its line end";
    }
    const Lines lines = lines_of(run.output);
    if (lines.size() > 2) {
        return "more than two lines";
    }

    // Before anything else the run asks where Windows runs from, and leaves
    // that volume alone; an answer that names no letter lets it go on.
    if (platform.calls.empty() || platform.calls[0] != "windir 260") {
        return "a run must first ask where Windows runs from";
    }
    const std::string& windows = platform.windows_directory;
    if (platform.succeeded[0] && windows.size() < 260 && windows.size() >= 2 && windows[1] == ':' &&
        (windows[0] & ~0x20) == letter) {
        return unless(platform.calls.size() == 1 && run.status == -1 && run.errors.empty() &&
                          lines == Lines{"Windows runs from " + source + "; can't free it"},
                      "the volume Windows runs from must be refused with its line and -1, "
                      "asking nothing more");
    }
    const std::vector<std::string> calls(platform.calls.begin() + 1, platform.calls.end());
    const std::vector<bool> succeeded(platform.succeeded.begin() + 1, platform.succeeded.end());
    const std::vector<long> printed(platform.printed.begin() + 1, platform.printed.end());

    // Everything is asked in the run's turn: a wait of 2 s for the machine's
    // lock and, only if another run held it all that time, a line on
    // standard error and a wait to two minutes in all. A lock still busy
    // then ends the run; one whose name something else has is said on
    // standard error, and the run goes on without it.
    const auto is_lock = [](const std::string& call) { return call.rfind("lock ", 0) == 0; };
    const auto locks = static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), is_lock));
    const bool waited =
        locks == 2 && calls[0] == "lock 2000 busy" && calls[1].rfind("lock 118000", 0) == 0;
    if (locks == 1 ? calls[0].rfind("lock 2000", 0) != 0 || calls[0] == "lock 2000 busy"
                   : !waited) {
        return "a run must wait 2 s for its turn, and 118 s more only after a busy lock, "
               "before it asks the system anything";
    }
    const std::string& turn = calls[locks - 1];
    if (run.errors !=
        std::string(waited ? "vacate: waiting for another run of vacate to finish\n" : "") +
            (turn.ends_with(" squatted")
                 ? "vacate: another program holds the lock's name; going on without it\n"
                 : "")) {
        return "standard error must say only why the run waited, or went on without the lock";
    }
    if (turn.ends_with(" busy")) {
        return unless(
            locks == calls.size() && run.status == -1 &&
                lines == Lines{"Another run of vacate is still at work; can't free " + source},
            "a lock still busy must end the run with its line and -1, touching nothing");
    }

    // The volume calls come in one order: read the name, remove the mount
    // point, mount at the target, and only when that fails mount back.
    std::size_t next = locks;
    while (next < calls.size() && calls[next] == "drives") {
        ++next;
    }
    if (next == calls.size()) {
        return unless(is_early_outcome(lines, run.status, source),
                      "a run that touched nothing must end with one of its three early outcomes");
    }
    if (calls[next] != "name " + root + " 260") {
        return "the first volume call must read the source's volume name";
    }
    if (!succeeded[next]) {
        return unless(next + 1 == calls.size() &&
                          lines == Lines{"Could not get info for " + root} && run.status == -1,
                      "a refused volume name must end the run with its message and -1");
    }
    // The removal and every mount after it are held against interruptions,
    // and the outcome is told before the hold ends, which ends the run if an
    // interruption waited.
    if (++next == calls.size() || calls[next] != "hold" ||
        std::count(calls.begin(), calls.end(), "hold") != 1) {
        return "the removal must come right after the hold";
    }
    const auto release = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.rfind("release", 0) == 0;
    });
    const auto last_mount = std::find_if(calls.rbegin(), calls.rend(), [](const std::string& call) {
        return call.rfind("set ", 0) == 0 || call.rfind("delete ", 0) == 0;
    });
    if (release == calls.end() || release != last_mount.base() ||
        printed[static_cast<std::size_t>(release - calls.begin())] !=
            static_cast<long>(run.output.size())) {
        return "the hold must end right after the last mount call, with the outcome told";
    }
    const bool interrupted = *release == "release interrupted";
    auto ends_here = [&](std::size_t call) { return call + 2 == calls.size(); };
    if (++next == calls.size() || calls[next] != "delete " + root) {
        return "the volume name must be followed by removing the source";
    }
    if (!succeeded[next]) {
        return unless(ends_here(next) && lines == Lines{"Could not remove " + root} &&
                          run.status == -1 && platform.letters_holding(volume) == text(letter),
                      "a refused removal must end the run with its message, -1 and nothing moved");
    }
    const char target = ++next < calls.size() && calls[next].size() > 4 ? calls[next][4] : '\0';
    if (target < 'D' || target > 'Z' || target == letter ||
        calls[next] != "set " + text(target) + ":\\ " + volume) {
        return "the removal must be followed by mounting the volume at a target from D to Z";
    }
    if (!succeeded[next]) {
        const std::string refused =
            "Could not set mount point to " + text(target) + ":...restoring to " + source;
        if (++next == calls.size() || calls[next] != "set " + root + " " + volume ||
            !ends_here(next)) {
            return "a refused mount must be followed by exactly one restore, and nothing more";
        }
        if (printed[next] != 0) {
            return "the restore must be tried before a word of the outcome is written";
        }
        if (succeeded[next]) {
            return unless(
                lines == Lines{refused} && run.status == -1 &&
                    platform.letters_holding(volume) == text(letter),
                "a restored volume must end the run with one line, -1, back at its letter");
        }
        return unless(
            lines == Lines{refused, "Restore of " + volume + " to " + source + " failed"} &&
                run.status == -2 && platform.letters_holding(volume).empty(),
            "a failed restore must say so, naming the volume, and end the run with -2");
    }

    // The wait: a probe, then pause and probe again while pauses are left;
    // none after an interruption.
    if (interrupted) {
        return unless(
            ends_here(next) && lines.empty() && run.status == 0 &&
                platform.letters_holding(volume) == text(target),
            "an interrupted move must end at once, silently, with 0 and the volume moved");
    }
    int pauses = 0;
    for (std::size_t call = next + 2; call < calls.size(); call += 2) {
        if (calls[call] != "drives" ||
            (call + 1 < calls.size() && calls[call + 1] != "sleep 1000")) {
            return "the wait must alternate probes and pauses of 1000 ms, from a probe";
        }
        pauses += call + 1 < calls.size() ? 1 : 0;
    }
    if (pauses > 15 || calls.back() != "drives") {
        return "the wait must end with a probe after at most 15 pauses";
    }
    return unless(
        lines.empty() && run.status == 0 && platform.letters_holding(volume) == text(target),
        "a move must end silently with 0 and the volume at the target alone");
}
