#!/usr/bin/env bash
# Checks the MSI that the windows preset packs, as fleets use it: its tables
# read back with msiinfo, then under Wine a silent install, the program found
# through the machine's Path by a new cmd, an upgrade to a next version that
# leaves one product, and a silent uninstall. The machine's Path must stay
# REG_EXPAND_SZ with every entry it had. Wine leaves an empty entry (;;)
# where it took one out, which Windows does not: empty entries are not
# compared.   Usage: tests/wine/msi.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/bootstrap windows
msi=$(echo "$1"/vacate-*-win64.msi)
version=${msi##*/vacate-}
version=${version%-win64.msi}
next=${version%.*}.$((${version##*.} + 1))
work=$(mktemp -d)
prefix=$work/prefix
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX=$prefix
failures=0
expect() {  # expect WHAT GOT WANTED
    if [[ $2 == "$3" ]]; then
        echo "ok    $1"
    else
        echo "FAIL  $1: '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}
wine() { tests/wine/run "$prefix" "$@" | tr -d '\r'; }

read -r product upgrade < <(cmake -D VERSION="$version" -P cmake/msi-codes.cmake)
table() { msiinfo export "$msi" "$1" | tr -d '\r'; }  # its lines end in CR LF
property() { table Property | awk -F '\t' -v name="$1" '$1 == name { print $2 }'; }
expect "ALLUSERS: per machine" "$(property ALLUSERS)" 1
expect "ProductVersion" "$(property ProductVersion)" "$version"
expect "ProductCode, from the version" "$(property ProductCode)" "$product"
expect "UpgradeCode, vacate's for good" "$(property UpgradeCode)" "$upgrade"
expect "an upgrade replaces any version of it" \
    "$(table Upgrade | awk -F '\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }')" \
    "$upgrade"
expect "in Program Files (64-bit)\\vacate" \
    "$(table Directory | awk -F '\t' '$1 == "INSTALLDIR" { print $2, $3 }')" \
    "ProgramFiles64Folder vacate"
expect "the folder appended to the machine's Path, and taken out again" \
    "$(table Environment | tail -n 1)" $'Path\t=-*Path\t[~];[INSTALLDIR]\tvacate'
expect "the Path written and removed in the install's sequence" \
    "$(table InstallExecuteSequence | grep -c 'EnvironmentStrings')" 2
expect "for x64" "$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')" "x64;1033"

environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
folder='C:\Program Files\vacate\'
path_type() { wine reg query "$environment" /v Path | awk '$1 == "Path" { print $2 }'; }
# The entries of the machine's Path, one a line, without empty ones.
path_entries() {
    wine reg query "$environment" /v Path | sed -n 's/^ *Path *REG_[A-Z_]* *//p' |
        tr ';' '\n' | sed '/^$/d'
}
# The products installed under the name vacate, as "VERSION PUBLISHER".
products() {
    wine reg query "$uninstall" /s | awk -F '    ' '
        /^HKEY/ { name = version = publisher = "" }
        $2 == "DisplayName" { name = $4 }
        $2 == "DisplayVersion" { version = $4 }
        $2 == "Publisher" { publisher = $4 }
        /^$/ && name == "vacate" { print version, publisher; name = "" }'
}

before=$(path_entries)
expect "the machine's Path before: REG_EXPAND_SZ" "$(path_type)" REG_EXPAND_SZ
status=0
wine msiexec /i "$msi" /qn || status=$?
expect "msiexec /i /qn: status" "$status" 0
expect "vacate.exe in C:\\Program Files\\vacate" \
    "$(ls "$prefix/drive_c/Program Files/vacate")" $'LICENSE\nREADME.md\nvacate.exe'
expect "the Path still REG_EXPAND_SZ" "$(path_type)" REG_EXPAND_SZ
expect "every entry kept, the folder last" "$(path_entries)" "$before"$'\n'"$folder"
/usr/lib/wine/wineserver -w
expect "a new cmd finds vacate through the Path" "$(wine cmd /c 'vacate /?' | head -n 1)" \
    "Usage: vacate <Drive> [Exclude list]"
publisher=${GITHUB_REPOSITORY:+${GITHUB_REPOSITORY%%/*}}
expect "one product, with its publisher" "$(products)" "$version ${publisher:-The vacate authors}"

SOURCE_DATE_EPOCH=0 tools/msi "$next" "$1/vacate.exe" "$work/next.msi" 2>/dev/null
status=0
wine msiexec /i "$work/next.msi" /qn || status=$?
expect "the next version over it: status" "$status" 0
expect "one product, the next version" "$(products | cut -d' ' -f1)" "$next"
expect "the folder once in the Path" "$(path_entries)" "$before"$'\n'"$folder"

status=0
wine msiexec /x "$work/next.msi" /qn || status=$?
expect "msiexec /x /qn: status" "$status" 0
expect "the program removed" "$(ls "$prefix/drive_c/Program Files/vacate" 2>&1 >/dev/null |
    grep -c 'No such file')" 1
expect "no product left" "$(products)" ""
expect "the Path as it was, still REG_EXPAND_SZ" "$(path_type) $(path_entries)" \
    "REG_EXPAND_SZ $before"

if ((failures)); then
    echo "msi: $failures checks failed"
    exit 1
fi
echo "msi: installs, upgrades and uninstalls under Wine, keeping the Path"
