#ifndef VACATE_TESTS_CAPTURE_H
#define VACATE_TESTS_CAPTURE_H

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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
    const int saved = dup(fileno(stdout));
    dup2(fileno(file), fileno(stdout));
    body();
    dup2(saved, fileno(stdout));
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
