#ifndef VACATE_TESTS_CAPTURE_H
#define VACATE_TESTS_CAPTURE_H

#include <cstdio>
#include <string>

// The POSIX names of the descriptor calls: Windows' C libraries have them too
// (MSVC's only warns of them, which the tests' build turns off).
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not windows.h's macros
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

// How many bytes have reached standard output while capture_output runs on it.
inline long bytes_printed() {
    return static_cast<long>(lseek(1, 0, SEEK_CUR));
}

// A file deleted when closed. On Windows, tmpfile() puts it in the root of the
// current drive, where only an administrator may write; this one goes to the
// user's temporary folder, and "D" deletes it on closing as tmpfile's would be.
inline std::FILE* temporary_file() {
#ifdef _WIN32
    char folder[MAX_PATH + 1];
    char path[MAX_PATH];
    std::FILE* file = nullptr;
    const bool made = GetTempPathA(MAX_PATH + 1, folder) != 0 &&
                      GetTempFileNameA(folder, "vac", 0, path) != 0 &&
                      fopen_s(&file, path, "w+bD") == 0;
    return made ? file : nullptr;
#else
    return std::tmpfile();
#endif
}

// Runs `body` with standard output (or the descriptor given) going to a
// temporary file, and answers the bytes that reached the file. Nothing is
// flushed after `body`: a message that the program left in the stdio buffer
// is missing here, as it would be from a pipe at that moment.
template <typename Body>
std::string capture_output(Body body, int descriptor = 1) {
    std::fflush(stdout);
    std::FILE* file = temporary_file();
    if (file == nullptr) {
        return "<no temporary file>";
    }
    const int saved = dup(descriptor);
    dup2(fileno(file), descriptor);
    body();
    dup2(saved, descriptor);
    close(saved);

    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}

#endif
