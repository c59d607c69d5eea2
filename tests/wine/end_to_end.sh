#!/usr/bin/env bash
# Runs the real vacate.exe under Wine against drive letters put in use in the
# prefix's dosdevices folder, and checks its exact output, its exit status and
# how many times it called each of the five kernel32 functions, as Wine's
# relay trace shows them.   Usage: end_to_end.sh PREFIX EXE CASE
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

# expect "LETTERS IN USE" STATUS OUTPUT "CALL COUNTS" [ARGUMENT...]
# The counts are of GetLogicalDrives, GetVolumeNameForVolumeMountPointA,
# DeleteVolumeMountPointA, SetVolumeMountPointA and Sleep, then of the lock
# (CreateMutexA, WaitForSingleObject) and of SetConsoleCtrlHandler, which the
# C runtime calls once at start and the move twice, around the removal.
expect() {
    local letters=$1 status=$2 output=$3 counts=$4
    shift 4
    "$here/run" "$prefix"
    local devices=$prefix/dosdevices letter
    rm -f "$devices"/?:
    for letter in $letters; do
        case $letter in
            c) ln -s ../drive_c "$devices/c:" ;;
            z) ln -s / "$devices/z:" ;;
            *) ln -s ../drive_c "$devices/$letter:" ;;
        esac
    done
    # The wine server reads the drives when it starts. The first program run
    # in a new server brings up Wine's own services; that run is not traced,
    # which keeps the trace short.
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k || true
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
    "$here/run" "$prefix" "$exe" >/dev/null

    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    local got_status=0
    WINEDEBUG=+pid,+loaddll,+relay "$here/run" "$prefix" "$exe" "$@" >"$work/out" \
        2>"$work/relay" || got_status=$?
    # Other processes may still show in the trace: count the calls of ours.
    local pid
    pid=$(grep -a -m 1 "trace:loaddll:build_module Loaded L\".*${exe##*/}\"" "$work/relay" |
        cut -d: -f1) || true
    if [[ -z $pid ]]; then
        echo "the relay trace does not show ${exe##*/} loaded"
        return 1
    fi

    local got_counts="" call
    for call in GetLogicalDrives GetVolumeNameForVolumeMountPointA DeleteVolumeMountPointA \
        SetVolumeMountPointA Sleep CreateMutexA WaitForSingleObject SetConsoleCtrlHandler; do
        got_counts+="$(grep -a -c "^$pid:[0-9a-f]*:Call KERNEL32\.$call(" "$work/relay" || true) "
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

# Another process holds the lock: the run waits for it, and goes on once the
# holder has died without letting go.
waits_for_the_lock() {
    local holder=$1
    expect "c z" 0 "$usage" "0 0 0 0 0 0 0 1" # a fresh server, with the drives
    work=$(mktemp -d)
    mkfifo "$work/in"
    "$here/run" "$prefix" "$holder" <"$work/in" >"$work/holder" &
    exec 3>"$work/in"
    local tries=0
    while [[ ! -s $work/holder ]] && ((tries++ < 300)); do sleep 0.1; done
    "$here/run" "$prefix" "$exe" Q >"$work/out" 3>&- &
    local run=$! waited=0
    sleep 2
    kill -0 $run 2>/dev/null && waited=1
    exec 3>&-
    local status=0
    wait $run || status=$?
    [[ $(cat "$work/holder") == held* && $waited == 1 && $status == 0 &&
        $(tr -d '\r' <"$work/out") == "Drive Q: is already free" ]] || {
        echo "holder '$(cat "$work/holder")', waited $waited, status $status, output:"
        cat "$work/out"
        return 1
    }
}

case $name in
    usage) expect "c z" 0 "$usage" "0 0 0 0 0 0 0 1" ;;
    usage-three-arguments) expect "c z" 0 "$usage" "0 0 0 0 0 0 0 1" K A B ;;
    help) expect "c z" 0 "$usage" "0 0 0 0 0 0 0 1" "/?" ;;
    invalid-letter) expect "c z" 255 "Invalid drive letter: 7
" "0 0 0 0 0 0 0 1" 7 ;;
    already-free) expect "c z" 0 "Drive Q: is already free
" "2 0 0 0 0 1 1 1" Q ;;
    every-candidate-excluded) expect "c k z" 255 "No free drive letters available; can't free K:
" "0 0 0 0 0 1 1 1" K DEFGHIJKLMNOPQRSTUVWXYZ ;;
    removal-refused) expect "c k z" 255 'Could not remove K:\
' "3 1 1 0 0 1 1 3" K ;;
    # D and F cost a query each, the excluded E none; G is free.
    removal-refused-after-search) expect "c d e f k z" 255 'Could not remove K:\
' "5 1 1 0 0 1 1 3" k: e ;;
    waits-for-the-lock) waits_for_the_lock "$4" ;;
    *)
        echo "no such case: $name" >&2
        exit 2
        ;;
esac
