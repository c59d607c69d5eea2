#!/usr/bin/env bash
# Checks the MSI that the windows preset packs, as fleets use it: its tables
# read back with msiinfo (the exe's file version among them), a package code
# that follows every input and only them, then under Wine a silent install, the program found
# through the machine's Path by a new cmd, an upgrade to a next version that
# leaves one product, and a silent uninstall. The machine's Path must stay
# REG_EXPAND_SZ with every entry it had. Wine leaves an empty entry (;;)
# where it took one out, which Windows does not: empty entries are not
# compared.   Usage: tests/wine/msi.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/bootstrap windows
build=$1
msi=$(echo "$build"/vacate-*-win64.msi)
version=${msi##*/vacate-}
version=${version%-win64.msi}
next=${version%.*}.$((${version##*.} + 1))
work=$(mktemp -d)
prefix=$work/prefix
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX=$prefix
# One server for the whole test: a check run just as a server quits would
# read nothing from the registry.
tests/wine/serve "$prefix"
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
# The version resource says the project's version, and a fourth part 0.
project_version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt | head -n 1)
expect "vacate.exe versioned as its resource says" \
    "$(table File | awk -F '\t' '$1 == "vacate.exe" { print $5 }')" "$project_version.0"
expect "no hash for the versioned exe, one for each other file" \
    "$(table MsiFileHash | awk -F '\t' 'NR > 3 { print $1 }' | sort | paste -sd ' ')" "LICENSE README.md"

# The package code: the same for the same inputs, another when any differs.
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
build_msi() {  # build_msi ROOT OUTPUT [VARIABLE=VALUE...]: tools/msi of the sources in ROOT
    local root=$1 output=$2
    shift 2
    env SOURCE_DATE_EPOCH=1700000000 GITHUB_REPOSITORY=Vacate-Maintainers/vacate "$@" \
        "$root/tools/msi" "$version" "$build/vacate.exe" "$output" 2>/dev/null
}
build_msi . "$work/a.msi"
build_msi . "$work/b.msi"
expect "two packages of the same inputs share a code" "$(package_code "$work/b.msi")" \
    "$(package_code "$work/a.msi")"
other=$work/other
mkdir -p "$other/tools" "$other/cmake" "$other/src/cli/windows"
cp tools/msi "$other/tools/" && cp cmake/msi-codes.cmake cmake/source-date.cmake "$other/cmake/"
cp src/cli/windows/vacate.wxs "$other/src/cli/windows/" && cp README.md LICENSE "$other/"
echo "One more line." >>"$other/README.md"
build_msi "$other" "$work/readme.msi"
build_msi . "$work/publisher.msi" GITHUB_REPOSITORY=Another-Publisher/vacate
build_msi . "$work/date.msi" SOURCE_DATE_EPOCH=1700000001
for changed in readme publisher date; do
    [[ $(package_code "$work/$changed.msi") != "$(package_code "$work/a.msi")" ]] &&
        changed_code=yes || changed_code=no
    expect "another $changed, another package code" $changed_code yes
done

environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
folder='C:\Program Files\vacate\'
# reg query KEY [OPTION...]'s output, or, when it fails, a line that no
# check expects.
query() {
    local got status=0
    got=$(wine reg query "$@") || status=$?
    ((status == 0)) || got="reg query failed with status $status: $got"
    echo "$got"
}
# The machine's Path, read once: its type on the first line, then its
# entries one a line, without empty ones.
path() {
    local got line
    got=$(query "$environment" /v Path)
    line=$(sed -n 's/^ *Path *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p' <<<"$got")
    if [[ -z $line ]]; then
        echo "$got"
        return
    fi
    echo "${line%% *}"
    tr ';' '\n' <<<"${line#* }" | sed '/^$/d'
}
# The products installed under the name vacate, as "VERSION PUBLISHER".
products() {
    query "$uninstall" /s | awk -F '    ' '
        /^reg query failed/ { print }
        /^HKEY/ { name = version = publisher = "" }
        $2 == "DisplayName" { name = $4 }
        $2 == "DisplayVersion" { version = $4 }
        $2 == "Publisher" { publisher = $4 }
        /^$/ && name == "vacate" { print version, publisher; name = "" }
        END { if (name == "vacate") print version, publisher }'
}

before=$(path)
expect "the machine's Path before: REG_EXPAND_SZ" "${before%%$'\n'*}" REG_EXPAND_SZ
status=0
wine msiexec /i "$msi" /qn || status=$?
expect "msiexec /i /qn: status" "$status" 0
expect "vacate.exe in C:\\Program Files\\vacate" \
    "$(ls "$prefix/drive_c/Program Files/vacate")" $'LICENSE\nREADME.md\nvacate.exe'
now=$(path)
expect "the Path still REG_EXPAND_SZ" "${now%%$'\n'*}" REG_EXPAND_SZ
expect "every entry kept, the folder last" "$now" "$before"$'\n'"$folder"
tests/wine/serve "$prefix"  # a new cmd's environment is read from the registry
expect "a new cmd finds vacate through the Path" "$(wine cmd /c 'vacate /?' | head -n 1)" \
    "Usage: vacate <Drive> [Exclude list]"
publisher=${GITHUB_REPOSITORY:+${GITHUB_REPOSITORY%%/*}}
expect "one product, with its publisher" "$(products)" "$version ${publisher:-The vacate authors}"

# The next version's MSI as the Windows job gets it: the same exe.
tools/pack-windows-tests "$build" "$work/tests" >/dev/null 2>&1
cp "$work/tests/next-version-$next.msi" "$work/next.msi"
status=0
wine msiexec /i "$work/next.msi" /qn || status=$?
expect "the next version over it: status" "$status" 0
expect "one product, the next version" "$(products | cut -d' ' -f1)" "$next"
expect "the folder once in the Path" "$(path)" "$before"$'\n'"$folder"

status=0
wine msiexec /x "$work/next.msi" /qn || status=$?
expect "msiexec /x /qn: status" "$status" 0
expect "the program removed" "$(ls "$prefix/drive_c/Program Files/vacate" 2>&1 >/dev/null |
    grep -c 'No such file')" 1
expect "no product left" "$(products)" ""
expect "the Path as it was, still REG_EXPAND_SZ" "$(path)" "$before"

if ((failures)); then
    echo "msi: $failures checks failed"
    exit 1
fi
echo "msi: installs, upgrades and uninstalls under Wine, keeping the Path"
