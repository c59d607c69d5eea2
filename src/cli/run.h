#ifndef VACATE_CLI_RUN_H
#define VACATE_CLI_RUN_H

#include "relocation/platform.h"

namespace vacate {

// One whole invocation: `argv` as main receives it, the status as main returns
// it. Upper-cases the exclude list in its own storage in argv.
int run(int argc, char** argv, Platform& platform);

// The usage text, with the program's name in both of its places and no line
// end after its last word.
void print_usage(const char* program_name);
// The usage text, then a line for each option.
void print_help(const char* program_name);

// upcase_ascii of each byte of `text`, in place.
char* upcase_ascii(char* text);

}  // namespace vacate

#endif
