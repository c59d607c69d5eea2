#!/usr/bin/env bash
# Checks that a program loads exactly the given shared libraries, read from
# its import table (Windows) or its NEEDED entries (ELF).
# Usage: imports.sh OBJDUMP PROGRAM LIBRARY...
set -euo pipefail
objdump=$1
program=$2
shift 2
loads=$("$objdump" -p "$program" | sed -n -e 's/^\tDLL Name: //p' -e 's/^  NEEDED  *//p' |
    sort | xargs)
expected=$(printf '%s\n' "$@" | sort | xargs)
echo "loads: $loads"
[[ $loads == "$expected" ]]
