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

}  // namespace vacate

#endif
