#ifndef VACATE_RELOCATION_REPORT_H
#define VACATE_RELOCATION_REPORT_H

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace vacate {

// Writes `format` with each "%s" replaced by the next of `texts`, the only
// conversion the messages use. Written piece by piece rather than through
// printf: MinGW's C++ headers swap msvcrt's printf for one of MinGW's own,
// about 23 KB of formatting that the messages never need, and this way every
// C runtime writes the same bytes. A "%s" beyond the texts is written as it
// stands.
inline void write_message(const char* format, std::initializer_list<const char*> texts) {
    const char* const* text = texts.begin();
    for (const char* piece = format; *piece != '\0';) {
        const char* next = std::strstr(piece, "%s");
        if (next != nullptr && text != texts.end()) {
            static_cast<void>(
                std::fwrite(piece, 1, static_cast<std::size_t>(next - piece), stdout));
            static_cast<void>(std::fputs(*text++, stdout));
            piece = next + 2;
        } else {
            static_cast<void>(std::fputs(piece, stdout));
            break;
        }
    }
}

// Prints one message on standard output and flushes it at once: the outcome
// is written out before the hold against interruptions ends, after which an
// interruption that waited ends the process. A failed write is not
// reported: there is nowhere left to report it, and the exit status already
// tells the outcome.
template <typename... Texts>
void report(const char* format, const Texts*... texts) {
#ifdef VACATE_REPORT_BY_PRINTF
    // The exe as it was before, for the tests and the benchmark that compare
    // the two; nothing released is built so.
    static_cast<void>(std::printf(format, texts...));
#else
    write_message(format, {texts...});
#endif
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
