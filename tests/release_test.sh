#!/usr/bin/env bash
# The source release: the CMake project version, the version's one home,
# names the tarball, and every other copy of it agrees;
# every file in it is root's, at the last commit's time; no build script
# empties a folder it did not make, nor packs uncommitted changes; unpacked outside
# git, it builds and runs with the README's command and, built whole,
# passes the tests that need neither root nor packages.
# Usage: release_test.sh SANDBOX-SCRIPT WORK-FOLDER PROJECT-VERSION
set -euo pipefail
sandbox=$(realpath "$1")
work=$(realpath -m "$2")
version=$3  # CMake's own reading of its project version
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }
git -C "$top" rev-parse --git-dir >/dev/null 2>&1 ||
  bash "$sandbox" skip "not a git checkout: a release is made from one"

rm -rf "$work" && mkdir -p "$work"
tarball=$(bash "$top/packaging/dist.sh" "$work" | tail -n 1)
[ "$tarball" = "$work/halvo-readers-$version.tar.gz" ] || fail "CMake $version, tarball $tarball"
# Every copy that its file's format keeps apart from CMake: each newest entry.
pkg=$top/packaging
for copy in "Debian changelog:$(sed -n '1s/^halvo-readers (\(.*\)-[^-]*).*/\1/p' "$pkg/debian/changelog")" \
    "RPM spec:$(sed -n 's/^Version: *//p' "$pkg/rpm/halvo-readers.spec")" \
    "RPM changelog:$(sed -n '/^%changelog/{n;s/.* - \(.*\)-[^-]*$/\1/p}' "$pkg/rpm/halvo-readers.spec")" \
    "PKGBUILD:$(sed -n 's/^pkgver=//p' "$pkg/arch/PKGBUILD")" \
    "galaxy.yml:$(sed -n 's/^version: *//p' "$pkg/ansible/galaxy.yml")" \
    "collection changelog:$(sed -n 's/^  \([0-9.]*\):$/\1/p' "$pkg/ansible/changelogs/changelog.yaml" | sort -V | tail -n 1)"; do
  [ "${copy#*:}" = "$version" ] || fail "versions disagree: CMake $version, ${copy%%:*} ${copy#*:}"
done
(cd "$work" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS"
# No build empties a folder it did not make; uncommitted changes make no release.
mkdir "$work/kept" && touch "$work/kept/file"
! bash "$top/packaging/build-rpm.sh" "$work/kept" >/dev/null 2>&1 && [ -e "$work/kept/file" ] || fail "a build emptied $work/kept"
git clone -q "$top" "$work/clone" && echo >> "$work/clone/README.md"
! bash "$work/clone/packaging/dist.sh" "$work/dirty" >/dev/null 2>&1 || fail "uncommitted changes made a release"
when=$(date -u -d "@$(git -C "$top" log -1 --format=%ct)" '+%Y-%m-%d %H:%M')
odd=$(tar -tvzf "$tarball" --numeric-owner --utc | grep -v -E "^(-rw[-x]r-[-x]r-[-x]|l[-rwx]{9}) 0/0 .* $when " || true)
[ -z "$odd" ] || fail "not root's or not at the last commit's time: $odd"

tar -xzf "$tarball" -C "$work"
cd "$work/halvo-readers-$version"
command=$(sed -n 's/^    \(cmake -S \. -B build && .*\)/\1/p' README.md)
bash -c "$command" > run.log 2>&1 || fail "the README's command: $(tail run.log)"
grep -q "^Missing Reader" run.log || fail "the README's command added no reader: $(tail run.log)"
cmake --build build -j2 > build.log 2>&1 || fail "the tests' build: $(tail build.log)"
ctest --test-dir build -LE system -j2 > ctest.log 2>&1 ||
  fail "tests from the tarball: $(grep -A20 'tests failed' ctest.log)"
echo "release: 1 passed, 0 failed"
