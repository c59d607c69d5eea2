#!/usr/bin/env bash
# Runs the real program against drive tables of the host stand-in and checks
# its exact output, its exit status and the drive table it leaves behind.
#
# A table is written as words: "K:/" is a drive with no volume behind it,
# "K:>name" a mount point of the volume "name" (the link ../volumes/name,
# whose directory exists unless the name starts with "gone"), and
# "NAME=TEXT" a file of the table, a registry value, its lines split by |.
set -u
exe=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
drives=$work/drives
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}

lay_out() {
    rm -rf "$drives" "$work/volumes"
    mkdir -p "$drives" "$work/volumes"
    local entry name
    for entry; do
        case $entry in
            ?:/) mkdir "$drives/${entry%/}" ;;
            *=*) tr '|' '\n' <<<"${entry#*=}" >"$drives/${entry%%=*}" ;;
            ?:\>*)
                name=${entry#*>}
                [[ $name == gone* ]] || mkdir -p "$work/volumes/$name"
                ln -s "../volumes/$name" "$drives/${entry%%>*}"
                ;;
        esac
    done
}

describe() {
    local path words=()
    for path in "$drives"/*; do
        if [[ -L $path ]]; then
            words+=("${path##*/}>$(readlink "$path" | sed 's|^\.\./volumes/||')")
        elif [[ -f $path ]]; then
            words+=("${path##*/}=$(paste -sd '|' "$path")")
        elif [[ -e $path ]]; then
            words+=("${path##*/}/")
        fi
    done
    echo "${words[*]}"
}

# check WHAT "TABLE BEFORE" "TABLE AFTER" STATUS OUTPUT [ARGUMENT...]
check() {
    local what=$1 before=$2 after=$3 status=$4 output=$5
    shift 5
    # shellcheck disable=SC2086 # a table is a list of words
    lay_out $before
    VACATE_DRIVES=$drives "$exe" "$@" >"$work/out"
    local got_status=$? got_table
    got_table=$(describe)
    if [[ $got_status == "$status" ]] && cmp -s "$work/out" <(printf '%s' "$output") &&
        [[ $got_table == "$after" ]]; then
        pass
        return
    fi
    fail "$what"
    echo "  status $got_status, expected $status"
    echo "  table  '$got_table', expected '$after'"
    echo "  output:"
    od -c "$work/out" | sed 's/^/    /'
    echo "  expected:"
    printf '%s' "$output" | od -c | sed 's/^/    /'
}

usage="Usage: $exe <Drive> [Exclude list]
where <Drive> is drive letter to free up and
[ExcludeList] is a set of drive letters not to move it to

For example:  $exe K ABCDEKYZ will free up drive K, avoiding drives A,B,C,D,E,K,Y and Z"
help="$usage
<Drive>  is a letter: K, k, K: or K:\\
/whatif  (before <Drive>) says where the volume would go, and changes nothing
/v       (before <Drive>) says where the volume went
/to:L    (before <Drive>) moves it to L: (D to Z), not the lowest free letter
/version (before <Drive>) prints vacate's version
"

check "a move: the mount point goes to the chosen letter" \
    "C:/ D:/ E:/ K:>k" "C:/ D:/ E:/ F:>k" 0 "" K ABCDEKYZ
check "lower-case letter and exclude list" \
    "C:/ D:>d K:>k" "C:/ D:>d G:>k" 0 "" k: efyz
check "the volume is gone: neither mount works, neither letter is left" \
    "C:/ K:>gone1" "C:/" 254 "Could not set mount point to D:...restoring to K:
Restore of ../volumes/gone1 to K: failed
" K
check "no volume behind the drive" \
    "C:/ K:/" "C:/ K:/" 255 'Could not get info for K:\
' K
check "already free" "C:/ D:/" "C:/ D:/" 0 "Drive Q: is already free
" Q
check "no free letter" "C:/ K:>k" "C:/ K:>k" 255 "No free drive letters available; can't free K:
" K DEFGHIJKLMNOPQRSTUVWXYZ
check "not a letter" "C:/ K:>k" "C:/ K:>k" 255 "Invalid drive letter: 7K
" 7K
check "usage without arguments" "C:/ K:>k" "C:/ K:>k" 255 "$usage"
check "usage for an option without a drive" "C:/ K:>k" "C:/ K:>k" 255 "$usage" /v
check "usage with three arguments" "C:/ K:>k" "C:/ K:>k" 255 "$usage" K D E
check "help with three arguments" "C:/ K:>k" "C:/ K:>k" 0 "$help" "/?" D E
for drive in C c; do
    check "Windows' own volume: $drive" "C:>c K:>k" "C:>c K:>k" 255 "Windows runs from C:; can't free it
" "$drive"
done
for request in "/?" "-?" "-h" "--help" help HELP; do
    check "help: $request" "C:/ K:>k" "C:/ K:>k" 0 "$help" "$request"
done
check "help with an exclude list" "C:/ K:>k" "C:/ K:>k" 0 "$help" "/?" DEF
version=$(sed -n '/^project(/,/)/s/^ *VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
for arguments in /version "-Version K" "/version K DE" "--version K"; do
    # shellcheck disable=SC2086 # the options and the drive, as words
    check "the version: $arguments" "C:/ K:>k" "C:/ K:>k" 0 "vacate $version
" $arguments
done

# The volumes Windows needs, as the table tells them.
paged='C:/ D:>d K:>k PagingFiles=?:\pagefile.sys|D:\pagefile.sys'
for drive in D d; do
    check "a page file on D: ($drive)" "$paged" "$paged" 255 "Windows keeps a page file on D:; can't free it
" "$drive"
done
check "a page file on a free letter" "C:/ PagingFiles=Q:\pagefile.sys" \
    "C:/ PagingFiles=Q:\pagefile.sys" 0 "Drive Q: is already free
" Q
check "a page file elsewhere" "C:/ K:>k PagingFiles=C:\pagefile.sys" \
    "C:/ D:>k PagingFiles=C:\pagefile.sys" 0 "" K
# Not knowing is no reason to refuse: a list too long for the run's buffer
# (whatever it names), a letter with no device behind it.
long="PagingFiles=$(printf 'K:\\pagefile.sys|%.0s' {1..400})"
check "page files too many to read" "C:/ K:>k $long" "C:/ D:>k $long" 0 "" K
check "the system partition, but no device behind K:" "C:/ K:/ SystemPartition=../volumes/k" \
    "C:/ K:/ SystemPartition=../volumes/k" 255 'Could not get info for K:\
' K
check "a page-file entry whose second character is not a colon" \
    'C:/ D:>d PagingFiles=D\pagefile.sys' 'C:/ E:>d PagingFiles=D\pagefile.sys' 0 "" D
# Crash dumps, where CrashControl keeps them: refused before anything moves,
# whether asked for a move or a preview; a number for CrashDumpEnabled; a
# %SystemRoot% that expands to C:.
dedicated='C:/ D:>d DedicatedDumpFile=d:\dedicated.sys'
dumps_on='C:/ CrashDumpEnabled=1 D:>d DumpFile=D:\MEMORY.DMP'
for arguments in D "/whatif D"; do
    # shellcheck disable=SC2086 # the options and the drive, as words
    check "a dedicated dump file on D: ($arguments)" "$dedicated" "$dedicated" 255 \
        "Windows writes its crash dumps to D:; can't free it
" $arguments
done
check "the dump file on D:, dumps on" "$dumps_on" "$dumps_on" 255 "Windows writes its crash dumps to D:; can't free it
" D
check "the dump file on D:, dumps off" 'C:/ CrashDumpEnabled=0 D:>d DumpFile=D:\MEMORY.DMP' \
    'C:/ CrashDumpEnabled=0 DumpFile=D:\MEMORY.DMP E:>d' 0 "" D
check "the dump file under %SystemRoot%, on C:" 'C:/ CrashDumpEnabled=7 D:>d DumpFile=%SystemRoot%\MEMORY.DMP' \
    'C:/ CrashDumpEnabled=7 DumpFile=%SystemRoot%\MEMORY.DMP E:>d' 0 "" D
check "a dump file on a free letter" 'C:/ DedicatedDumpFile=D:\dedicated.sys' \
    'C:/ DedicatedDumpFile=D:\dedicated.sys' 0 "Drive D: is already free
" D
boots="C:/ K:>k S:>esp SystemPartition=../volumes/esp"
for drive in S s; do
    check "the system volume ($drive)" "$boots" "$boots" 255 "Windows boots from S:; can't free it
" "$drive"
done

# The options, before the drive only.
check "a preview" "C:/ K:>k" "C:/ K:>k" 0 "Would move K: to D:
" /whatif K
check "a preview of a drive with no volume" "C:/ K:/" "C:/ K:/" 255 'Could not get info for K:\
' /whatif K
check "a move, reported" "C:/ K:>k" "C:/ D:>k" 0 "Moved K: to D:
" -V K
for option in /v /whatif; do
    check "$option after the drive" "C:/ K:>k" "C:/ K:>k" 255 "Options go before the drive: $option is not an exclude list
" K $option
done
check "an exclude list still moves" "C:/ D:/ K:>k" "C:/ D:/ G:>k" 0 "" K DEF
check "not an option" "C:/ K:>k" "C:/ K:>k" 255 "Invalid drive letter: /x
" /x K

# The drive as callers write it, and nothing more: a word meant as an option
# names no drive.
for drive in K k K: 'K:\'; do
    check "the drive as $drive" "C:/ K:>k" "C:/ D:>k" 0 "" "$drive"
done
for drive in whatif Kitchen 'K:\data'; do
    check "not a drive: $drive" "C:/ K:>k W:>w" "C:/ K:>k W:>w" 255 "Invalid drive letter: $drive
" "$drive" K
done

# /to names the new letter; the same command again finds the letter free.
check "to M" "C:/ K:>k" "C:/ M:>k" 0 "Moved K: to M:
" /v /to:M K
check "to M, again" "C:/ M:>k" "C:/ M:>k" 0 "Drive K: is already free
" /v /to:M K
check "to M, taken" "C:/ K:>k M:/" "C:/ K:>k M:/" 255 "Target drive M: is already in use
" /to:M K
check "to M, previewed" "C:/ K:>k" "C:/ K:>k" 0 "Would move K: to M:
" /whatif /to:M K
check "to B" "C:/ K:>k" "C:/ K:>k" 255 "Invalid target letter: /to:B
" /to:B K
check "to M with an exclude list" "C:/ K:>k" "C:/ K:>k" 255 "An exclude list has no use with /to:M
" /to:M K DE

# A table that cannot be read says nothing of which letters are free.
check "an empty table" "" "" 255 "Could not read the drive letters in use; can't free K:
" K

# A move leaves the volume's contents reachable through the new letter.
lay_out C:/ K:\>k
echo contents >"$work/volumes/k/file"
VACATE_DRIVES=$drives "$exe" K >/dev/null
[[ $(cat "$drives/D:/file" 2>/dev/null) == contents ]] && pass ||
    fail "the moved volume's file is not reachable through D:"

# Acting while the volume has no letter: every mount takes half a second, and
# the action comes once K: is gone. The program starts with every signal at
# its default, as from an interactive shell (a script's & ignores SIGINT).
# in_move WHAT "TABLE AFTER" STATUS ACTION
in_move() {
    local what=$1 after=$2 status=$3 action=$4 pid got_status
    lay_out C:/ K:\>k
    (
        VACATE_DRIVES=$drives VACATE_MOUNT_DELAY=500 env --default-signal "$exe" K &
        echo $! >"$work/pid"
        wait $!
        echo $? >"$work/status"
    ) | true &
    pid=$!
    local tries=0
    while [[ -L $drives/K: ]] && ((tries++ < 500)); do sleep 0.01; done
    $action
    wait $pid
    got_status=$(cat "$work/status")
    [[ $got_status == "$status" && $(describe) == "$after" ]] && pass ||
        fail "$what: status $got_status, table '$(describe)'"
}
kill_vacate() { kill "$1" "$(cat "$work/pid")"; }
for signal in INT TERM HUP QUIT; do
    in_move "SIG$signal during the move" "C:/ D:>k" 0 "kill_vacate -$signal"
done
take_target() { mkdir "$drives/D:"; }
in_move "a refused mount told to a closed pipe" "C:/ D:/ K:>k" 255 take_target

# A refused mount puts the volume back before a byte of its message is
# written: the target is taken during the mount's delay, and strace gives the
# order of the mounts (symlinkat) and the writes to standard output.
# (LeakSanitizer, in a sanitizer build, cannot run under strace.)
lay_out C:/ K:\>k
VACATE_DRIVES=$drives VACATE_MOUNT_DELAY=500 ASAN_OPTIONS=detect_leaks=0 \
    strace -f -o "$work/trace" -e trace=symlinkat,write "$exe" K >"$work/out" &
pid=$!
tries=0
while [[ -L $drives/K: ]] && ((tries++ < 1000)); do sleep 0.01; done
mkdir "$drives/D:"
wait $pid
status=$?
order=$(sed -n -E 's/.*symlinkat\(.*"([A-Z]:)"\).*/mount \1/p; s/.* write\(1, .*/write/p' \
    "$work/trace" | paste -sd ' ')
[[ $status == 255 && $order == "mount D: mount K: write" && $(describe) == "C:/ D:/ K:>k" ]] &&
    pass || fail "a refused mount: status $status, calls '$order', table '$(describe)'"

# Another process holds the drive table's lock. The run says so on standard
# error while the lock is still held, and once it is let go moves the volume;
# held throughout, the run gives up after VACATE_LOCK_WAIT, touching nothing.
# hold_lock: a holder takes the lock, and keeps it until fd 7 is closed.
waiting="vacate: waiting for another run of vacate to finish"
hold_lock() {
    rm -f "$work/go"
    mkfifo "$work/go"
    flock "$drives" cat "$work/go" &
    exec 7>"$work/go"
    tries=0
    while flock -n "$drives" true && ((tries++ < 1000)); do sleep 0.01; done
}
lay_out C:/ K:\>k
hold_lock
VACATE_DRIVES=$drives "$exe" K >"$work/out" 2>"$work/errors" 7>&- &
pid=$!
tries=0
until grep -q waiting "$work/errors" 2>/dev/null || ((tries++ > 3000)); do sleep 0.01; done
grep -q waiting "$work/errors" && kill -0 $pid 2>/dev/null && [[ $(describe) == "C:/ K:>k" ]] &&
    said_while_held=1 || said_while_held=0
exec 7>&-
wait $pid
status=$?
[[ $said_while_held == 1 && $status == 0 && ! -s $work/out && $(cat "$work/errors") == "$waiting" &&
    $(describe) == "C:/ D:>k" ]] && pass ||
    fail "a run waiting for the lock: said while held $said_while_held, status $status," \
        "errors '$(cat "$work/errors")', table '$(describe)'"

lay_out C:/ K:\>k
hold_lock
VACATE_DRIVES=$drives VACATE_LOCK_WAIT=2 "$exe" K >"$work/out" 2>"$work/errors" 7>&-
status=$?
exec 7>&-
[[ $status == 255 && $(cat "$work/out") == "Another run of vacate is still at work; can't free K:" &&
    $(cat "$work/errors") == "$waiting" && $(describe) == "C:/ K:>k" ]] && pass ||
    fail "a run giving up on the lock: status $status, output '$(cat "$work/out")'," \
        "errors '$(cat "$work/errors")', table '$(describe)'"

# Ten runs at once, each freeing its own letter, queue: none fails, and every
# volume ends at a letter of its own.
lay_out C:/ P:\>p Q:\>q R:\>r S:\>s T:\>t U:\>u V:\>v W:\>w X:\>x Y:\>y
pids=()
for letter in P Q R S T U V W X Y; do
    VACATE_DRIVES=$drives VACATE_MOUNT_DELAY=50 "$exe" $letter >"$work/out.$letter" &
    pids+=($!)
done
statuses=""
for pid in "${pids[@]}"; do
    wait "$pid"
    statuses+="$? "
done
expected_table="C:/ D:>? E:>? F:>? G:>? H:>? I:>? J:>? K:>? L:>? M:>?"
# shellcheck disable=SC2053 # the expected table is a pattern
[[ $statuses == "0 0 0 0 0 0 0 0 0 0 " && $(describe) == $expected_table &&
    $(ls -l "$drives" | grep -o '[p-y]$' | sort -u | wc -l) == 10 ]] && pass ||
    fail "ten runs at once: statuses $statuses, table '$(describe)'" "$(cat "$work"/out.*)"

# Without a drive table no letter can be read: not free, not in use.
for table in unset "" /nonexistent; do
    if [[ $table == unset ]]; then
        said=$(env -u VACATE_DRIVES "$exe" K)
    else
        said=$(VACATE_DRIVES=$table "$exe" K)
    fi
    status=$?
    [[ $status == 255 && $said == "Could not read the drive letters in use; can't free K:" ]] &&
        pass || fail "a drive table $table: status $status, said '$said'"
done

echo "end to end: $passed passed, $failed failed"
[[ $failed == 0 ]]
