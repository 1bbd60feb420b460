#!/usr/bin/env bash
# The Arch Linux package: built with makepkg, then installed with the real
# pacman (its own database) in a throwaway overlay of the root file system,
# beside stand-in ccid packages in Arch's layout of today (ccid 1.7: the
# list a plain file in the bundle; version 1 the machine's real list,
# version 2 one line more): the hooks add the readers on install, upgrade
# and reinstall, pcscd recognizes them on a simulated USB bus, and removal
# gives back ccid's own list; no hook reports an error.
# Usage: arch_test.sh SANDBOX-SCRIPT WORK-FOLDER
# shellcheck disable=SC2154 # sandbox, work and top come from package_test.sh
. "$(dirname "$0")/package_test.sh"
open_test pacman makepkg bsdtar pkg-config git gpg repo-add pacman-key
# check() skips what needs root or packages, as a build service would.
env -u HALVO_REQUIRE_SYSTEM_TESTS bash "$top/packaging/build-arch.sh" "$work/pkg" > "$work/build-arch.log" ||
  fail "build-arch.sh: $(cat "$work/build-arch.log")"
# makepkg runs as nobody, in a folder nobody may reach.
ccid=$(mktemp -d)
trap 'rm -rf "$ccid"' EXIT
cp "$work"/pkg/halvo-readers-*.pkg.tar.zst "$work/root/halvo-readers.pkg.tar.zst"
list=$(bash "$sandbox" ccid-list)
stand_in_lists "$sandbox" "$ccid"
cat > "$ccid/PKGBUILD" <<PKGBUILD
pkgname=\$CCID_NAME pkgver=\$CCID_VERSION pkgrel=1 arch=(any) license=(LGPL-2.1-or-later)
pkgdesc='Stand-in for a driver package: the driver list alone'
source=(v\$CCID_VERSION.plist) sha256sums=(SKIP)
package() { install -Dm644 v\$CCID_VERSION.plist "\$pkgdir\$CCID_LIST"; }
PKGBUILD
chown -R nobody "$ccid"
# The CCID package, twice, and another driver.
for v in 1 2 other; do
  name=ccid to=$list
  [ "$v" != other ] || name=ccid-other to=${list%/ifd-ccid.bundle/*}/ifd-other.bundle/Contents/Info.plist
  (cd "$ccid" && CCID_NAME=$name CCID_VERSION=${v/other/1} CCID_LIST=$to HOME=$ccid \
     PKGEXT=.pkg.tar.zst setpriv --reuid=nobody --regid=nogroup --clear-groups -- makepkg --force) \
    > "$work/ccid-$v.log" 2>&1 || fail "stand-in: $(cat "$work/ccid-$v.log")"
  cp "$ccid/$name-${v/other/1}-1-any.pkg.tar.zst" "$work/root/ccid-$v.pkg.tar.zst"
done
cp "$ccid"/v*.plist "$work/root/"
pcscd_2 "$work/root"
selinux_policy "$work/root"
run_inside "$sandbox" "$work/root" arch
