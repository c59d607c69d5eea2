#!/usr/bin/env bash
# Runs the real vacate.exe under Wine against drive letters put in use in the
# prefix's dosdevices folder, and registry values written for a case, and
# checks its exact output, its exit status and how many times it called each
# of its Windows functions, as Wine's relay trace shows them; and, with the
# helper hold_lock.exe, the lock and the hold against interruptions of the
# real Windows platform.
# Usage: end_to_end.sh PREFIX EXE CASE [HELPER]
set -euo pipefail
prefix=$1
exe=$(realpath "$2")
name=$3
here=$(dirname "$(realpath "$0")")

# Wine shows the program's path as a Windows path on drive Z:, which is /.
program="Z:${exe//\//\\}"
usage="Usage: $program <Drive> [Exclude list]
where <Drive> is drive letter to free up and
[ExcludeList] is a set of drive letters not to move it to

For example:  $program K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z"
help="$usage
<Drive>  is a letter: K, k, K: or K:\\
/whatif  (before <Drive>) says where the volume would go, and changes nothing
/v       (before <Drive>) says where the volume went
/to:L    (before <Drive>) moves it to L: (D to Z), not the lowest free letter
/version (before <Drive>) prints vacate's version
"
memory='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management'
crash='HKLM\SYSTEM\CurrentControlSet\Control\CrashControl'

work=$(mktemp -d)
restore=()  # what puts the prefix's registry back, whatever happens
server=0    # whether this case started the prefix's server, to end with it
cleanup() {
    local command
    for command in "${restore[@]}"; do
        eval "$command"
    done
    if ((server)); then
        WINEPREFIX=$prefix /usr/lib/wine/wineserver -k || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# A server of the prefix's own for the whole case, ended with the case; it
# reads the prefix's drives when it starts.
start_server() {
    "$here/serve" "$prefix"
    server=1
}

# set_value KEY NAME TYPE DATA: a registry value for this case only; the
# prefix's own (or none) is put back when the case ends.
set_value() {
    local key=$1 name=$2 line
    line=$("$here/run" "$prefix" reg query "$key" /v "$name" 2>/dev/null | tr -d '\r' |
        sed -n "s/^    $name    \(REG_[A-Z_]*\)    \(.*\)$/\1 \2/p") || true
    if [[ -n $line ]]; then
        restore+=("$(printf '"$here/run" "$prefix" reg add %q /v %q /t %q /d %q /f >/dev/null' \
            "$key" "$name" "${line%% *}" "${line#* }")")
    else
        restore+=("$(printf '"$here/run" "$prefix" reg delete %q /v %q /f >/dev/null' "$key" "$name")")
    fi
    "$here/run" "$prefix" reg add "$key" /v "$name" /t "$3" /d "$4" /f >/dev/null
}

# lay_drives "LETTERS IN USE": the prefix's drive letters, each a link to
# drive_c but c (drive_c) and z (/), in a wine server started afresh.
lay_drives() {
    "$here/run" "$prefix"
    local devices=$prefix/dosdevices letter
    rm -f "$devices"/?:
    for letter in $1; do
        case $letter in
            c) ln -s ../drive_c "$devices/c:" ;;
            z) ln -s / "$devices/z:" ;;
            *) ln -s ../drive_c "$devices/$letter:" ;;
        esac
    done
    # The first program run in a new server brings up Wine's own services;
    # that run is not traced, which keeps the trace short.
    start_server
    "$here/run" "$prefix" "$exe" >/dev/null || true
}

# traced STATUS OUTPUT "CALL COUNTS" [ARGUMENT...]: a run on the drives laid
# out, traced. The counts are of GetSystemWindowsDirectoryA, RegGetValueA,
# QueryDosDeviceA, GetLogicalDrives, GetVolumeNameForVolumeMountPointA,
# DeleteVolumeMountPointA, SetVolumeMountPointA and Sleep, then of the lock
# (CreateMutexExA, WaitForSingleObject) and of SetConsoleCtrlHandler, which
# the move calls twice, around the removal: the calls that return into the
# program, not those of the C runtimes that Wine's own DLLs load with it.
traced() {
    local status=$1 output=$2 counts=$3
    shift 3
    local got_status=0
    WINEDEBUG=+pid,+loaddll,+relay "$here/run" "$prefix" "$exe" "$@" >"$work/out" \
        2>"$work/relay" || got_status=$?
    # Other processes may still show in the trace: count the calls of ours,
    # made from the program's image (far smaller than 1 MiB).
    local loaded pid base
    loaded=$(grep -a -m 1 "trace:loaddll:build_module Loaded L\".*${exe##*/}\" at" "$work/relay") ||
        true
    if [[ -z $loaded ]]; then
        echo "the relay trace does not show ${exe##*/} loaded"
        return 1
    fi
    pid=${loaded%%:*}
    base=$((16#$(sed 's/.* at \([0-9A-Fa-f]*\):.*/\1/' <<<"$loaded")))

    local got_counts="" call ret count
    for call in GetSystemWindowsDirectoryA RegGetValueA QueryDosDeviceA GetLogicalDrives \
        GetVolumeNameForVolumeMountPointA DeleteVolumeMountPointA SetVolumeMountPointA Sleep \
        CreateMutexExA WaitForSingleObject SetConsoleCtrlHandler; do
        count=0
        for ret in $(grep -a "^$pid:[0-9a-f]*:Call [A-Za-z0-9]*\.$call(" "$work/relay" |
            sed 's/.*ret=//'); do
            if ((16#$ret >= base && 16#$ret < base + 0x100000)); then
                count=$((count + 1))
            fi
        done
        got_counts+="$count "
    done
    got_counts=${got_counts% }

    # Standard output is in text mode: every line end arrives as CR LF.
    printf '%s' "${output//$'\n'/$'\r\n'}" >"$work/expected"

    local ok=1
    [[ $got_status == "$status" ]] || { ok=0; echo "status $got_status, expected $status"; }
    [[ $got_counts == "$counts" ]] || { ok=0; echo "calls $got_counts, expected $counts"; }
    if ! cmp -s "$work/out" "$work/expected"; then
        ok=0
        echo "output:" && od -c "$work/out"
        echo "expected:" && od -c "$work/expected"
    fi
    ((ok))
}

expect() {  # expect "LETTERS IN USE" STATUS OUTPUT "CALL COUNTS" [ARGUMENT...]
    lay_drives "$1"
    shift
    traced "$@"
}

# The volume Windows boots from is the one whose device SystemPartition names,
# which the registry may write in another case than QueryDosDeviceA answers.
system_volume() {
    lay_drives "c k z"
    local device
    device=$("$here/run" "$prefix" "$1" device K: | tr -d '\r')
    [[ $device == \\Device\\* ]] || {
        echo "QueryDosDeviceA answers '$device' for K:, no device"
        return 1
    }
    set_value 'HKLM\SYSTEM\Setup' SystemPartition REG_SZ "${device,,}"
    traced 255 "Windows boots from K:; can't free it
" "1 3 1 2 0 0 0 0 1 1 0" K
}

# wait_for FILE TEXT: until FILE holds TEXT, for a minute at most.
wait_for() {
    local tries=0
    until grep -q "$2" "$1" 2>/dev/null || ((tries++ > 600)); do sleep 0.1; done
}

# Mutexes of the lock's name, each held by the helper for a few seconds: a run
# waits only on one made exactly as a run makes it (owned by Administrators,
# granting SYSTEM then Administrators all of a mutex with no flags, nothing
# more), says so after 2 s and goes on once the holder has died without
# letting go; of any other it says at once that something else holds the
# name, and goes on without waiting. A row whose condition the run failed to
# check waits instead, and says so.
lock_conditions() {
    expect "c z" 0 "$help" "$none" "/?" # a fresh server, with the drives
    local waiting="vacate: waiting for another run of vacate to finish"
    local squatted="vacate: another program holds the lock's name; going on without it"
    local failed=0 mode notes status holder started took held_right
    while read -r mode notes; do
        "$here/run" "$prefix" "$1" "$mode" 5 >"$work/holder" &
        holder=$!
        wait_for "$work/holder" held
        started=$SECONDS status=0
        "$here/run" "$prefix" "$exe" Q >"$work/out" 2>"$work/errors" || status=$?
        took=$((SECONDS - started))
        # A run that waited ends once the holder has let go (and said so); one
        # that went on ends while the holder still holds.
        if [[ $notes == waiting ]]; then
            grep -q released "$work/holder" && held_right=1 || held_right=0
        else
            kill -0 $holder 2>/dev/null && ! grep -q released "$work/holder" && held_right=1 ||
                held_right=0
        fi
        wait $holder || true
        if [[ $(cat "$work/holder") == held* && $status == 0 && $held_right == 1 &&
            $(tr -d '\r' <"$work/out") == "Drive Q: is already free" &&
            $(tr -d '\r' <"$work/errors") == "${!notes}" ]]; then
            echo "ok    $mode ($took s)"
        else
            failed=1
            echo "FAIL  $mode: holder '$(cat "$work/holder")' (held as it should: $held_right)," \
                "status $status, after $took s, errors '$(tr -d '\r' <"$work/errors")'"
        fi
    done <<'ROWS'
lock waiting
squat squatted
squat-as-admin squatted
another-owner squatted
third-entry squatted
another-mask squatted
inherited squatted
swapped squatted
ROWS
    ((failed == 0))
}

# The lock's DACL marked protected, read back from the mutex a run made.
lock_protected() {
    start_server
    local control
    control=$("$here/run" "$prefix" "$1" control | tr -d '\r')
    [[ $control == protected ]] || {
        echo "the lock's DACL reads back '$control', not protected"
        return 1
    }
}

# Ctrl+C on a console (which Wine gives a program run on a terminal): inside
# the hold it waits, and the release reports it; outside, the process ends.
interruptions() {
    start_server
    local mode
    for mode in inside outside; do
        script -qec "'$here/run' '$prefix' '$1' interrupt-$mode >'$work/$mode'" /dev/null \
            </dev/null >/dev/null
    done
    [[ $(tr -d '\r' <"$work/inside") == interrupted && ! -s $work/outside ]] || {
        echo "inside the hold: '$(cat "$work/inside")'; outside: '$(cat "$work/outside")'"
        return 1
    }
}

# What a C runtime's start-up hands the program, the same from vacate.exe's
# own entry as from MinGW's start-up (the exe OLD, built so): the arguments
# as msvcrt splits a command line that cmd.exe read from a batch file,
# quotes and spaces and a trailing backslash among them; wildcards left as
# typed, in a folder where they would match; lines ending in CR LF; the
# status as %ERRORLEVEL% shows it. Last, a byte outside ASCII, passed in
# Wine's own command line from a UTF-8 locale and shown in the ANSI code page.
startup() {
    local old=$1 failed=0 arguments expected program text
    lay_drives "c z"
    mkdir "$work/here"
    touch "$work/here/K1" "$work/here/K2"
    while IFS='|' read -r arguments expected; do
        for program in "$exe" "$old"; do
            local windows="Z:${program//\//\\}"
            printf '@"%s" %s\r\n@echo status %%ERRORLEVEL%%\r\n' "$windows" "$arguments" \
                >"$work/here/row.cmd"
            (cd "$work/here" && "$here/run" "$prefix" cmd /c row.cmd) >"$work/got" || true
            printf -v text '%b' "$expected"
            printf '%s' "${text//PROGRAM/"$windows"}" >"$work/expected"
            if ! cmp -s "$work/got" "$work/expected"; then
                failed=1
                echo "FAIL  ${program##*/} $arguments:" && od -c "$work/got"
                echo "expected:" && od -c "$work/expected"
            fi
        done
    done <<'ROWS'
"7 x"|Invalid drive letter: 7 x\r\nstatus -1\r\n
K "/a b"|Options go before the drive: /a b is not an exclude list\r\nstatus -1\r\n
"7\"x"|Invalid drive letter: 7"x\r\nstatus -1\r\n
K:\|Drive K: is already free\r\nstatus 0\r\n
""|Invalid drive letter: \r\nstatus -1\r\n
*|Invalid drive letter: *\r\nstatus -1\r\n
K *|Drive K: is already free\r\nstatus 0\r\n
|Usage: PROGRAM <Drive> [Exclude list]\r\nwhere <Drive> is drive letter to free up and\r\n[ExcludeList] is a set of drive letters not to move it to\r\n\r\nFor example:  PROGRAM K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Zstatus -1\r\n
ROWS
    for program in "$exe" "$old"; do
        LC_ALL=C.UTF-8 "$here/run" "$prefix" "$program" $'\xc3\x84K' >"$work/got" || true
        if ! cmp -s "$work/got" <(printf 'Invalid drive letter: \xc4K\r\n'); then
            failed=1
            echo "FAIL  ${program##*/} with a byte outside ASCII:" && od -c "$work/got"
        fi
    done
    ((failed == 0))
}

# The README's logon script for cmd, read from the README and run by Wine's
# cmd with vacate.exe beside it: with K: free it says so, with 0; with K: a
# volume that Wine will not let go, it says why vacate failed, with 1.
readme_logon() {
    local readme=$here/../../README.md
    mkdir "$work/here"
    cp "$exe" "$work/here/vacate.exe"
    awk '/^### In scripts/ { under = 1 } under && /^```cmd$/ { block = 1; next }
        block && /^```$/ { block = 0 } block && /\/to:/ { logon = 1 } block { text = text $0 "\n" }
        !block && logon { printf "%s", text; exit } !block { text = "" }' "$readme" |
        sed 's/$/\r/' >"$work/here/logon.cmd"
    [[ -s $work/here/logon.cmd ]] || { echo "README.md has no cmd block with /to under In scripts"; return 1; }
    local letters expected status failed=0
    for letters in "c z" "c k z"; do
        lay_drives "$letters"
        expected=$'K: was free already\r\n' status=0
        if [[ $letters == *k* ]]; then
            expected=$'vacate failed with -1: Could not remove K:\\\r\n' status=1
        fi
        local got=0
        (cd "$work/here" && "$here/run" "$prefix" cmd /c logon.cmd) >"$work/got" || got=$?
        if [[ $got != "$status" ]] || ! cmp -s "$work/got" <(printf '%s' "$expected"); then
            failed=1
            echo "FAIL  with $letters in use: status $got, expected $status" && od -c "$work/got"
        fi
    done
    ((failed == 0))
}

none="0 0 0 0 0 0 0 0 0 0 0"
case $name in
    usage) expect "c z" 255 "$usage" "$none" ;;
    usage-three-arguments) expect "c z" 255 "$usage" "$none" K D E ;;
    windows-volume) expect "c k z" 255 "Windows runs from C:; can't free it
" "1 0 0 0 0 0 0 0 0 0 0" c ;;
    help) expect "c z" 0 "$help" "$none" "/?" ;;
    help-word) expect "c z" 0 "$help" "$none" HELP ;;
    version | version-dashes)
        option=/version
        [[ $name == version ]] || option=--version
        expect "c k z" 0 "vacate $(sed -n '/^project(/,/)/s/^ *VERSION \([0-9.]*\).*/\1/p' \
            "$here/../../CMakeLists.txt")
" "$none" $option K
        ;;
    invalid-letter) expect "c z" 255 "Invalid drive letter: 7
" "$none" 7 ;;
    # A word meant as an option names no drive, though W: is in use.
    option-without-slash) expect "c k w z" 255 "Invalid drive letter: whatif
" "$none" whatif K ;;
    target-invalid) expect "c k z" 255 "Invalid target letter: /to:B
" "$none" /to:B K ;;
    # No search: the source's probe and M:'s.
    target-preview) expect "c k z" 0 "Would move K: to M:
" "1 5 0 2 1 0 0 0 0 0 0" /whatif /to:M K ;;
    option-after-the-drive) expect "c k z" 255 "Options go before the drive: /whatif is not an exclude list
" "$none" K /whatif ;;
    already-free) expect "c z" 0 "Drive Q: is already free
" "1 0 0 2 0 0 0 0 1 1 0" Q ;;
    every-candidate-excluded) expect "c k z" 255 "No free drive letters available; can't free K:
" "1 0 0 0 0 0 0 0 1 1 0" K DEFGHIJKLMNOPQRSTUVWXYZ ;;
    # Wine's own PagingFiles is a plain string, which the run does not read,
    # and it has neither ExistingPageFiles nor SystemPartition, nor any
    # CrashControl: five reads.
    removal-refused) expect "c k z" 255 'Could not remove K:\
' "1 5 0 3 1 1 0 0 1 1 2" K ;;
    # D and F cost a query each, the excluded E none; G is free.
    removal-refused-after-search) expect "c d e f k z" 255 'Could not remove K:\
' "1 5 0 5 1 1 0 0 1 1 2" k: e ;;
    page-file)
        lay_drives "c k z"
        set_value "$memory" PagingFiles REG_MULTI_SZ '?:\pagefile.sys\0k:\pagefile.sys 0 0'
        traced 255 "Windows keeps a page file on K:; can't free it
" "1 1 0 2 0 0 0 0 1 1 0" K
        ;;
    system-volume) system_volume "$4" ;;
    # A dedicated dump file, REG_SZ, in lower case: refused before any removal.
    crash-dump)
        lay_drives "c k z"
        set_value "$crash" DedicatedDumpFile REG_SZ 'k:\dedicated.sys'
        traced 255 "Windows writes its crash dumps to K:; can't free it
" "1 4 0 2 0 0 0 0 1 1 0" K
        ;;
    # DumpFile as Windows writes it, REG_EXPAND_SZ, read expanded: its
    # variable names K: here. With dumps on it refuses; with dumps off it is
    # not asked, and the run goes on to the removal that Wine refuses.
    dump-file | dumps-off)
        lay_drives "c k z"
        set_value "$crash" DumpFile REG_EXPAND_SZ '%VACATE_DUMPS%\MEMORY.DMP'
        if [[ $name == dump-file ]]; then
            set_value "$crash" CrashDumpEnabled REG_DWORD 1
            VACATE_DUMPS=K: traced 255 "Windows writes its crash dumps to K:; can't free it
" "1 6 0 2 0 0 0 0 1 1 0" K
        else
            set_value "$crash" CrashDumpEnabled REG_DWORD 0
            VACATE_DUMPS=K: traced 255 'Could not remove K:\
' "1 5 0 3 1 1 0 0 1 1 2" K
        fi
        ;;
    preview) expect "c k z" 0 "Would move K: to D:
" "1 5 0 3 1 0 0 0 0 0 0" /WhatIf K ;;
    lock-protected) lock_protected "$4" ;;
    lock-conditions) lock_conditions "$4" ;;
    interruptions) interruptions "$4" ;;
    startup) startup "$4" ;;
    readme-logon) readme_logon ;;
    *)
        echo "no such case: $name" >&2
        exit 2
        ;;
esac
