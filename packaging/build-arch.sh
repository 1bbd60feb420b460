#!/usr/bin/env bash
# Builds the Arch Linux package with makepkg from the source release
# (packaging/dist.sh) into build-arch/ (or the folder given), and prints its
# path; the build's output is in build.log there. makepkg refuses root, so
# root builds as nobody. Where pacman's database lacks the build
# dependencies (pacman on Debian), they are not checked: the system's own
# packages provide them.
# Usage: build-arch.sh [OUT]
. "$(dirname "$0")/build-common.sh"
out=$(fresh_folder "${1:-build-arch}")
# makepkg works in a folder of its own, which nobody may reach as well
# when root builds: the checkout may lie in a folder only root can enter.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash packaging/dist.sh "$work" >/dev/null
as=()
if [ "$(id -u)" = 0 ]; then
  chown -R nobody "$work"
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
nodeps=
pacman -T cmake pcsclite >/dev/null 2>&1 || nodeps=--nodeps
logged "$out/build.log" makepkg env -C "$work" HOME="$work" PKGEXT=.pkg.tar.zst "${as[@]}" makepkg --force $nodeps
cp "$work"/*.pkg.tar.zst "$out/"
ls "$out"/*.pkg.tar.zst
