#ifndef VACATE_RELOCATION_REPORT_H
#define VACATE_RELOCATION_REPORT_H

#include <cstdio>

namespace vacate {

// Prints one message on standard output and flushes it at once: the outcome
// is written out before the hold against interruptions ends, after which an
// interruption that waited ends the process. A failed write is not
// reported: there is nowhere left to report it, and the exit status already
// tells the outcome.
template <typename... Texts>
void report(const char* format, const Texts*... texts) {
    static_cast<void>(std::printf(format, texts...));
    static_cast<void>(std::fflush(stdout));
}

// Says on standard error why the run waits or goes on as it does, flushed at
// once (not every C runtime leaves standard error unbuffered): standard
// output keeps the outcome's messages alone, for the scripts that read them.
inline void warn(const char* text) {
    static_cast<void>(std::fputs(text, stderr));
    static_cast<void>(std::fflush(stderr));
}

}  // namespace vacate

#endif
