#ifndef VACATE_CLI_RUN_H
#define VACATE_CLI_RUN_H

#include "relocation/platform.h"

namespace vacate {

// One whole invocation: `argv` as main receives it, the status as main returns
// it. Upper-cases the exclude list in argv[2]'s own storage.
int run(int argc, char** argv, Platform& platform);

void print_usage(const char* program_name);

// Folds a to z only: drive letters are ASCII whatever the code page, and a
// byte of 0x80 or more must pass through unchanged.
char* upcase_ascii(char* text);

}  // namespace vacate

#endif
