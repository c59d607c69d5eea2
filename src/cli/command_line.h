#ifndef VACATE_CLI_COMMAND_LINE_H
#define VACATE_CLI_COMMAND_LINE_H

namespace vacate {

// What one run is asked to do.
struct Request {
    bool preview = false;      // /whatif
    bool verbose = false;      // /v
    char source = '\0';        // the drive to free, a capital A to Z
    char target = '\0';        // /to's capital D to Z, or '\0' to search
    const char* exclude = "";  // capitals and whatever else was typed
};

// What the command line asks for: a run, or an answer that asks nothing of
// the system. A refusal is a format whose %s is the argument it names.
struct CommandLine {
    enum class Answer { run, help, version, usage, refusal };
    Answer answer = Answer::usage;
    Request request{};
    const char* refusal = "";
    const char* argument = "";
};

// Reads `argv` as main receives it: options, the drive, the exclude list.
// Upper-cases the exclude list in its own storage in argv.
CommandLine read_command_line(int argc, char** argv);

}  // namespace vacate

#endif
