#!/usr/bin/env bash
# The Arch Linux package: built with makepkg, then installed with the real
# pacman (its own database) in a throwaway overlay of the root file system,
# beside stand-in ccid packages in Arch's layout (the list under /etc, a
# link to it in the driver folder; version 1 the machine's real list,
# version 2 one line more): the hooks add the readers on install, upgrade
# and reinstall, pcscd recognizes them on a simulated USB bus, and removal
# gives back ccid's own list; no hook reports an error.
# Usage: arch_test.sh SANDBOX-SCRIPT WORK-FOLDER
set -euo pipefail
sandbox=$(realpath "$1")
work=$(realpath -m "$2")
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }

bash "$sandbox" need-root
real=$(bash "$sandbox" driver-list)
for tool in pacman makepkg bsdtar pkg-config git; do
  command -v "$tool" >/dev/null ||
    bash "$sandbox" skip "$tool not found (Debian packages pacman-package-manager, makepkg, libarchive-tools)"
done
rm -rf "$work" && mkdir -p "$work/root"
bash "$top/packaging/build-arch.sh" "$work/pkg" > "$work/build-arch.log" ||
  fail "build-arch.sh: $(cat "$work/build-arch.log")"
# makepkg runs as nobody, in a folder nobody may reach.
ccid=$(mktemp -d)
trap 'rm -rf "$ccid"' EXIT
cp "$work"/pkg/halvo-readers-*.pkg.tar.zst "$work/root/halvo-readers.pkg.tar.zst"
list=$(pkg-config --variable=usbdropdir libpcsclite)/ifd-ccid.bundle/Contents/Info.plist

cp "$real" "$ccid/v1.plist"
sed '0,/<dict>/s//<dict>\n\t<!-- version 2 -->/' "$real" > "$ccid/v2.plist"
cat > "$ccid/PKGBUILD" <<PKGBUILD
pkgname=ccid pkgver=\$CCID_VERSION pkgrel=1 arch=(any) license=(LGPL-2.1-or-later)
pkgdesc='Stand-in for the CCID driver package: the driver list alone'
source=(v\$CCID_VERSION.plist) sha256sums=(SKIP)
package() {
  install -Dm644 v\$CCID_VERSION.plist "\$pkgdir/etc/libccid_Info.plist"
  install -d "\$pkgdir$(dirname "$list")"
  ln -s /etc/libccid_Info.plist "\$pkgdir$list"
}
PKGBUILD
chown -R nobody "$ccid"
for v in 1 2; do
  (cd "$ccid" && CCID_VERSION=$v HOME=$ccid PKGEXT=.pkg.tar.zst \
     setpriv --reuid=nobody --regid=nogroup --clear-groups -- makepkg --force) \
    > "$work/ccid-$v.log" 2>&1 || fail "stand-in: $(cat "$work/ccid-$v.log")"
  cp "$ccid/ccid-$v-1-any.pkg.tar.zst" "$work/root/ccid-$v.pkg.tar.zst"
done
cp "$ccid"/v*.plist "$sandbox" "$(dirname "$sandbox")/usb_bus.py" \
  "$(dirname "$sandbox")/package_steps.sh" "$work/root/"

cat > "$work/root/inside.sh" <<'INSIDE'
set -eu
list=$1
. ./package_steps.sh
printf '[options]\nArchitecture = auto\nSigLevel = Never\n' > pacman.conf
mkdir -p /tmp/pacdb
pacman="pacman --root / --dbpath /tmp/pacdb --config pacman.conf --cachedir /tmp --logfile /tmp/pacman.log --noconfirm"
stub_service_control /usr/bin/systemctl
# The machine's own CCID package holds the same files.
rm -f /etc/libccid_Info.plist "$list"
run ccid-1.log $pacman -U ccid-1.pkg.tar.zst
cmp -s "$list" v1.plist || fail "the stand-in did not install its list"
# Its dependencies are the system's own, which this database does not hold.
keeps_readers "$list" /etc/libccid_Info.plist.backup \
  "$pacman -U --nodeps --nodeps halvo-readers.pkg.tar.zst" \
  "$pacman -U ccid-2.pkg.tar.zst" "$pacman -U ccid-2.pkg.tar.zst" "$pacman -R halvo-readers"
! grep -il "error" ./*.log || fail "a hook reported an error"
echo ok
INSIDE
cd "$work/root"
out=$(bash "$sandbox" overlay sh inside.sh "$list") || fail "$out"
[ "$out" = ok ] || fail "$out"
echo "arch_package: 1 passed, 0 failed"
