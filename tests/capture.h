#ifndef VACATE_TESTS_CAPTURE_H
#define VACATE_TESTS_CAPTURE_H

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// The C library's names differ: POSIX, and on Windows with a leading underscore.
namespace file_descriptor {
#ifdef _WIN32
inline int of(std::FILE* file) {
    return _fileno(file);
}
inline int duplicate(int fd) {
    return _dup(fd);
}
inline int replace(int from, int to) {
    return _dup2(from, to);
}
inline int close(int fd) {
    return _close(fd);
}
inline long offset(int fd) {
    return _lseek(fd, 0, SEEK_CUR);
}
#else
inline int of(std::FILE* file) {
    return fileno(file);
}
inline int duplicate(int fd) {
    return dup(fd);
}
inline int replace(int from, int to) {
    return dup2(from, to);
}
inline int close(int fd) {
    return ::close(fd);
}
inline long offset(int fd) {
    return static_cast<long>(lseek(fd, 0, SEEK_CUR));
}
#endif
}  // namespace file_descriptor

// How many bytes have reached standard output while capture_stdout runs.
inline long bytes_printed() {
    return file_descriptor::offset(1);
}

// Runs `body` with standard output going to a temporary file, and answers the
// bytes that reached the file. Nothing is flushed after `body`: a message that
// the program left in the stdio buffer is missing here, as it would be from a
// pipe at that moment.
template <typename Body>
std::string capture_stdout(Body body) {
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        return "<no temporary file>";
    }
    const int saved = file_descriptor::duplicate(1);
    file_descriptor::replace(file_descriptor::of(file), 1);
    body();
    file_descriptor::replace(saved, 1);
    file_descriptor::close(saved);

    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}

#endif
