#!/usr/bin/env bash
# Assembles a release from the Windows preset's zip and MSI as the release
# workflow does, and checks what it wrote: the checksums, the notes, and the
# Scoop and winget manifests (winget's installers against what the 1.12.0
# schema requires), once with an ARM64 zip beside it (a renamed copy), once
# without, and once for no repository at all, from a copy of the sources whose
# changelog dates the version, as the tagged commit's does. Then a tag of
# another version must be refused, naming both versions, and so must the
# version while its section has no date. The notes must name the images of
# the real-volume job's matrix, and CI's artifact that the release publishes
# whole must hold the release's files alone, none of the tests' own. A
# README that still says no release is published is refused too.
#   Usage: tests/release.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zip=$(echo "$1"/vacate-*-win64.zip)
version=${zip##*/vacate-}
version=${version%-win64.zip}
cp "$zip" "${zip%.zip}.msi" "$work"
read -r product_code upgrade_code < <(cmake -D VERSION="$version" -P cmake/msi-codes.cmake)
# An ARM64 zip of bytes of its own, so that a hash given to the wrong zip shows.
cp "$zip" "$work/vacate-$version-arm64.zip"
echo >>"$work/vacate-$version-arm64.zip"
repository=Vacate-Maintainers/vacate-releases
# The sources as the tagged commit has them: the version's section dated.
tagged=$work/tagged
mkdir -p "$tagged/tools" "$tagged/cmake" "$tagged/.github/workflows"
cp tools/release "$tagged/tools/" && cp cmake/msi-codes.cmake "$tagged/cmake/"
cp .github/workflows/ci.yml "$tagged/.github/workflows/"
cp CMakeLists.txt "$tagged/"
sed -e "s/^## \[$version\]\$/## [$version] - 2026-12-31/" -e '/^Not tagged yet/,/^$/d' \
    CHANGELOG.md >"$tagged/CHANGELOG.md"
unpublished='No release of `vacate` is published yet.'
grep -vF "$unpublished" README.md >"$tagged/README.md"

# check_manifests ARCHITECTURE...: both manifests parse, name the version, and
# give exactly these architectures' zips, each its release address and the
# SHA-256 that SHA256SUMS gives it (winget's in upper case); winget gives the
# x64 MSI too, per machine, with the codes that the build gives it.
check_manifests() {
    /usr/bin/python3 - "$work" "$repository" "$version" "$product_code" "$upgrade_code" "$@" \
        <<'PYTHON'
import json, pathlib, re, sys, yaml
folder, repository, version, product_code, upgrade_code, *architectures = sys.argv[1:]
folder, owner = pathlib.Path(folder), repository.split('/')[0]
sums = dict(reversed(line.split()) for line in (folder / 'SHA256SUMS').read_text().splitlines())
zips = {'x64': f'vacate-{version}-win64.zip', 'arm64': f'vacate-{version}-arm64.zip'}
msi = f'vacate-{version}-win64.msi'
scoop_names = {'x64': '64bit', 'arm64': 'arm64'}
address = lambda name: f'https://github.com/{repository}/releases/download/v{version}/{name}'
url = lambda arch: address(zips[arch])
failures = []
def expect(what, got, wanted):
    if got != wanted:
        failures.append(f'{what}: {got!r}, expected {wanted!r}')

scoop = json.loads((folder / 'vacate.json').read_text())
expect('scoop version', scoop['version'], version)
expect('scoop bin', scoop['bin'], 'vacate.exe')
expect('scoop checkver', scoop['checkver'], 'github')
for key in ('architecture', 'autoupdate'):
    entries = scoop[key] if key == 'architecture' else scoop[key]['architecture']
    expect(f'scoop {key}', sorted(entries), sorted(scoop_names[a] for a in architectures))
for arch in architectures:
    entry = scoop['architecture'].get(scoop_names[arch], {})
    expect(f'scoop {arch} url', entry.get('url'), url(arch))
    expect(f'scoop {arch} hash', entry.get('hash', '').lower(), sums[zips[arch]])

folder = folder / 'winget/manifests' / owner[0].lower() / owner / 'vacate' / version
winget = {kind: yaml.safe_load((folder / f'{owner}.vacate{suffix}.yaml').read_text())
          for kind, suffix in (('version', ''), ('installer', '.installer'),
                               ('defaultLocale', '.locale.en-US'))}
for kind, manifest in winget.items():
    expect(f'winget {kind}', [manifest[field] for field in
                              ('PackageIdentifier', 'PackageVersion', 'ManifestType', 'ManifestVersion')],
           [f'{owner}.vacate', version, kind, '1.12.0'])
locale = winget['defaultLocale']
expect('winget locale', [locale[f] for f in ('PackageLocale', 'Publisher', 'PackageName', 'License')],
       ['en-US', owner, 'vacate', 'MIT'])
# What winget's 1.12.0 installer schema requires of every installer; two for
# one architecture must differ in their type.
installers = {}
for entry in winget['installer']['Installers']:
    expect('winget installer fields', [field for field in ('Architecture', 'InstallerType',
           'InstallerUrl', 'InstallerSha256') if field not in entry], [])
    expect('winget hash form', bool(re.fullmatch('[0-9A-F]{64}', entry.get('InstallerSha256', ''))),
           True)
    installers[entry.get('Architecture'), entry.get('InstallerType')] = entry
expect('winget installers', sorted(installers),
       sorted([(arch, 'zip') for arch in architectures] + [('x64', 'wix')]))
for arch in architectures:
    entry = installers.get((arch, 'zip'), {})
    expect(f'winget {arch} nested', [entry.get('NestedInstallerType'), entry.get('NestedInstallerFiles')],
           ['portable', [{'RelativeFilePath': 'vacate.exe', 'PortableCommandAlias': 'vacate'}]])
    expect(f'winget {arch} url', entry.get('InstallerUrl'), url(arch))
    expect(f'winget {arch} hash', entry.get('InstallerSha256', '').lower(), sums[zips[arch]])
entry = installers.get(('x64', 'wix'), {})
expect('winget msi', [entry.get(field) for field in ('Scope', 'InstallerUrl', 'ProductCode')],
       ['machine', address(msi), product_code])
expect('winget msi hash', entry.get('InstallerSha256', '').lower(), sums[msi])
expect('winget msi entry', [(e.get('ProductCode'), e.get('UpgradeCode'))
                            for e in entry.get('AppsAndFeaturesEntries', [])],
       [(product_code, upgrade_code)])

for failure in failures:
    print(f'FAIL: manifests for {" and ".join(architectures)}: {failure}')
sys.exit(1 if failures else 0)
PYTHON
}

"$tagged/tools/release" "v$version" "$work" "$repository"
(cd "$work" && sha256sum -c SHA256SUMS)
grep -q '^### ' "$work/release-notes.md"
if grep -q 'Not tagged yet' "$work/release-notes.md"; then
    echo "FAIL: the release notes still say that the version is not tagged"
    exit 1
fi
# The images, as ci.yml's own YAML gives the real-volume job's matrix, and
# CI's artifacts as its upload steps name them.
/usr/bin/python3 - "$work/release-notes.md" "$version" <<'PYTHON'
import glob, re, sys, yaml
notes, version = sys.argv[1:]
workflow = yaml.safe_load(open('.github/workflows/ci.yml'))
images = workflow['jobs']['real-volume']['strategy']['matrix']['image']
said = re.search(r"Tested on GitHub's Windows runners, on each of ([^:]*):", open(notes).read())
failures = []
if not said or said.group(1).split(', ') != images:
    failures.append(f'the notes name {said and said.group(1)!r}, not the images {images}')
artifacts = {step['with']['name']: {path for pattern in step['with']['path'].split()
                                    for path in glob.glob(pattern + ('*' if pattern.endswith('/') else ''))}
             for step in workflow['jobs']['linux']['steps']
             if step.get('uses', '').startswith('actions/upload-artifact')}
shipped = {f'build/windows/vacate-{version}-win64.{kind}' for kind in ('zip', 'zip.sha256', 'msi', 'msi.sha256')}
if artifacts.get('vacate-cross') != shipped:
    failures.append(f'vacate-cross holds {sorted(artifacts.get("vacate-cross", []))}, not {sorted(shipped)}')
tests = artifacts.get('vacate-windows-tests', set())
if {path.rsplit('/', 1)[-1] for path in tests} != {'hold_lock.exe', f'next-version-{version.rsplit(".", 1)[0]}.{int(version.rsplit(".", 1)[1]) + 1}.msi'}:
    failures.append(f'vacate-windows-tests holds {sorted(tests)}')
for failure in failures:
    print(f'FAIL: {failure}')
sys.exit(1 if failures else 0)
PYTHON
check_manifests x64 arm64

# Without the ARM64 zip, and told the repository as the workflow tells it.
rm "$work/vacate-$version-arm64.zip"
GITHUB_REPOSITORY=$repository "$tagged/tools/release" "v$version" "$work"
check_manifests x64

env -u GITHUB_REPOSITORY "$tagged/tools/release" "v$version" "$work"
if [[ -e $work/vacate.json || -e $work/winget ]]; then
    echo "FAIL: tools/release wrote manifests with no repository to name in them"
    exit 1
fi

if tools/release v9.9.9 "$work" 2>"$work/refusal"; then
    echo "FAIL: tools/release took the tag v9.9.9 for version $version"
    exit 1
fi
if ! grep -q "9\.9\.9.*${version//./\\.}" "$work/refusal"; then
    echo "FAIL: the refusal does not name 9.9.9 and $version: $(cat "$work/refusal")"
    exit 1
fi
echo "release: v9.9.9 refused as it should be: $(cat "$work/refusal")"
# The tagged sources with the README's "no release yet" still in them.
cp README.md "$tagged/README.md"
if "$tagged/tools/release" "v$version" "$work" 2>"$work/refusal"; then
    echo "FAIL: tools/release took v$version while the README says that no release is published"
    exit 1
fi
grep -qF "$unpublished" "$work/refusal" || {
    echo "FAIL: the refusal does not quote the README's sentence: $(cat "$work/refusal")"
    exit 1
}
echo "release: v$version refused while the README says none is published: $(cat "$work/refusal")"
if ! grep -q "^## \[$version\] - " CHANGELOG.md; then
    if tools/release "v$version" "$work" 2>"$work/refusal"; then
        echo "FAIL: tools/release took v$version while its changelog section has no date"
        exit 1
    fi
    grep -q "no date" "$work/refusal" || {
        echo "FAIL: the refusal of an undated section does not say so: $(cat "$work/refusal")"
        exit 1
    }
    echo "release: v$version refused while undated: $(cat "$work/refusal")"
fi
