#!/usr/bin/env bash
# Assembles a release from the Windows preset's zip as the release workflow
# does, and checks what it wrote; then a tag of another version must be
# refused, naming both versions.   Usage: tests/release.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zip=$(echo "$1"/vacate-*-win64.zip)
version=${zip##*/vacate-}
version=${version%-win64.zip}
cp "$zip" "$work"

tools/release "v$version" "$work"
(cd "$work" && sha256sum -c SHA256SUMS)
grep -q '^### ' "$work/release-notes.md"

if tools/release v9.9.9 "$work" 2>"$work/refusal"; then
    echo "FAIL: tools/release took the tag v9.9.9 for version $version"
    exit 1
fi
if ! grep -q "9\.9\.9.*${version//./\\.}" "$work/refusal"; then
    echo "FAIL: the refusal does not name 9.9.9 and $version: $(cat "$work/refusal")"
    exit 1
fi
echo "release: v9.9.9 refused as it should be: $(cat "$work/refusal")"
