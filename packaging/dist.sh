#!/usr/bin/env bash
# Writes the source release, OUT/halvo-readers-VERSION.tar.gz (every tracked
# file under the one top folder halvo-readers-VERSION/), OUT/SHA256SUMS, and
# OUT/PKGBUILD, Arch's, with the tarball's checksum;
# OUT is build-dist/ unless given. VERSION is the CMake project version, the
# version's one home. The tarball is reproducible: files in byte order, owned
# by root, modes normalised, every time the last commit's (or
# SOURCE_DATE_EPOCH's), gzip without a name or time. Prints the tarball's
# path last. Needs a git checkout, to know which files are tracked, and
# refuses uncommitted changes to them, so that one name has one content.
# Usage: dist.sh [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-dist}")
version=$(sed -n 's/^project(halvo-readers VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "dist.sh: no project version in CMakeLists.txt"; exit 1; }
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  { echo "dist.sh: needs a git checkout, to know the tracked files"; exit 1; }
git diff --quiet HEAD -- ||
  { echo "dist.sh: tracked files have uncommitted changes; commit them first"; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
name=halvo-readers-$version
mkdir -p "$out"
git ls-files -z | LC_ALL=C sort -z |
  tar --create --format=gnu --owner=0 --group=0 --numeric-owner \
      --mode=u+rw,go+r,go-w --mtime="@$epoch" --transform="s,^,$name/,S" \
      --no-recursion --null --files-from=- |
  gzip -9n > "$out/$name.tar.gz.tmp"
mv "$out/$name.tar.gz.tmp" "$out/$name.tar.gz"
(cd "$out" && sha256sum "$name.tar.gz" > SHA256SUMS)
sum=$(cut -d' ' -f1 "$out/SHA256SUMS")
sed "s/^sha256sums=.*/sha256sums=('$sum')/" packaging/arch/PKGBUILD > "$out/PKGBUILD"
echo "$out/$name.tar.gz"
