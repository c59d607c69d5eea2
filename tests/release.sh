#!/usr/bin/env bash
# Assembles a release from the Windows preset's zip as the release workflow
# does, and checks what it wrote: the checksums, the notes, and the Scoop and
# winget manifests, once with an ARM64 zip beside it (a renamed copy), once
# without, and once for no repository at all. Then a tag of another version
# must be refused, naming both versions.   Usage: tests/release.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zip=$(echo "$1"/vacate-*-win64.zip)
version=${zip##*/vacate-}
version=${version%-win64.zip}
cp "$zip" "$work"
# An ARM64 zip of bytes of its own, so that a hash given to the wrong zip shows.
cp "$zip" "$work/vacate-$version-arm64.zip"
echo >>"$work/vacate-$version-arm64.zip"
repository=Vacate-Maintainers/vacate-releases

# check_manifests ARCHITECTURE...: both manifests parse, name the version, and
# give exactly these architectures, each its zip's release address and the
# SHA-256 that SHA256SUMS gives it (winget's in upper case).
check_manifests() {
    /usr/bin/python3 - "$work" "$repository" "$version" "$@" <<'PYTHON'
import json, pathlib, sys, yaml
folder, repository, version, *architectures = sys.argv[1:]
folder, owner = pathlib.Path(folder), repository.split('/')[0]
sums = dict(reversed(line.split()) for line in (folder / 'SHA256SUMS').read_text().splitlines())
zips = {'x64': f'vacate-{version}-win64.zip', 'arm64': f'vacate-{version}-arm64.zip'}
scoop_names = {'x64': '64bit', 'arm64': 'arm64'}
url = lambda arch: f'https://github.com/{repository}/releases/download/v{version}/{zips[arch]}'
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
installer = winget['installer']
expect('winget installer type', [installer['InstallerType'], installer['NestedInstallerType']],
       ['zip', 'portable'])
expect('winget nested files', installer['NestedInstallerFiles'],
       [{'RelativeFilePath': 'vacate.exe', 'PortableCommandAlias': 'vacate'}])
installers = {entry['Architecture']: entry for entry in installer['Installers']}
expect('winget architectures', sorted(installers), sorted(architectures))
for arch in architectures:
    entry = installers.get(arch, {})
    expect(f'winget {arch} url', entry.get('InstallerUrl'), url(arch))
    expect(f'winget {arch} hash', entry.get('InstallerSha256', '').lower(), sums[zips[arch]])

for failure in failures:
    print(f'FAIL: manifests for {" and ".join(architectures)}: {failure}')
sys.exit(1 if failures else 0)
PYTHON
}

tools/release "v$version" "$work" "$repository"
(cd "$work" && sha256sum -c SHA256SUMS)
grep -q '^### ' "$work/release-notes.md"
check_manifests x64 arm64

# Without the ARM64 zip, and told the repository as the workflow tells it.
rm "$work/vacate-$version-arm64.zip"
GITHUB_REPOSITORY=$repository tools/release "v$version" "$work"
check_manifests x64

env -u GITHUB_REPOSITORY tools/release "v$version" "$work"
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
