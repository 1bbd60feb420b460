#!/usr/bin/env bash
# Builds the Debian source and binary packages with dpkg-buildpackage from
# the source release (packaging/dist.sh) as the upstream tarball and
# packaging/debian/ as its debian/ folder. Everything lands in build-deb/ (or
# the folder given): the .deb, the .dsc, the upstream and debian tarballs, the
# .buildinfo and the .changes, whose path is printed last; the build's own
# output is in build.log there.
# Usage: build-deb.sh [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
rm -rf "$out"
mkdir -p "$out"
tarball=$(bash packaging/dist.sh "$out/dist" | tail -n 1)
name=$(basename "$tarball" .tar.gz)
version=${name#halvo-readers-}
mv "$tarball" "$out/halvo-readers_$version.orig.tar.gz"
rm -rf "$out/dist"
tar -xzf "$out/halvo-readers_$version.orig.tar.gz" -C "$out"
cp -r "$out/$name/packaging/debian" "$out/$name/debian"
if ! (cd "$out/$name" && dpkg-buildpackage -us -uc) > "$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log"
  echo "build-deb.sh: dpkg-buildpackage failed; the whole log is $out/build.log"
  exit 1
fi
rm -rf "${out:?}/$name"
ls "$out"/halvo-readers_*.changes
