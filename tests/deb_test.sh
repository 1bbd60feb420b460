#!/usr/bin/env bash
# The Debian package: built and inspected (files, control fields, trigger,
# lintian), then installed for real with dpkg in a throwaway overlay of the
# root file system: the readers are added and the original kept as the
# backup, a reinstall changes nothing, an upgrade of libccid that brings a
# new stock list gets the readers back through the trigger, pcscd and the
# CCID driver recognize the twelve readers on a simulated USB bus; a faulty
# list never fails dpkg, a purge leaves the list as it
# is, and without libccid the package says there is nothing to do.
# Usage: deb_test.sh SANDBOX-SCRIPT WORK-FOLDER
set -euo pipefail
sandbox=$(realpath "$1")
work=$(realpath -m "$2")
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }

bash "$sandbox" need-root
bash "$sandbox" driver-list >/dev/null
for tool in dpkg-deb lintian apt-get cpack pkg-config; do
  command -v "$tool" >/dev/null || bash "$sandbox" skip "$tool not found"
done

rm -rf "$work/pkg" "$work/root"
mkdir -p "$work/pkg" "$work/root"
deb=$(bash "$top/packaging/build-deb.sh" "$work/pkg" | tail -n 1)

# What the package holds and says of itself.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
[ "$files" = "./usr/bin/halvo-readers
./usr/share/doc/halvo-readers/changelog.gz
./usr/share/doc/halvo-readers/copyright
./usr/share/man/man1/halvo-readers.1.gz" ] || fail "package files: $files"
# Read once into a variable: under pipefail, grep -q quitting early would
# fail the pipeline through dpkg-deb's SIGPIPE.
control=$(dpkg-deb -I "$deb")
for field in "Section: admin" "Priority: optional" "Enhances: libccid" \
             "Suggests: pcscd" "Depends: libc6"; do
  grep -q "^ $field" <<<"$control" || fail "control lacks '$field'"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers)" = \
  "interest-noawait /usr/lib/pcsc/drivers" ] || fail "trigger"
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"

# A later libccid whose stock list differs by one comment line.
cd "$work"
stock=$(compgen -G "libccid_*.deb" | sort | sed -n 1p || true)
if [ -z "$stock" ]; then
  apt-get download libccid >/dev/null 2>&1 ||
    bash "$sandbox" skip "apt-get download libccid failed (no package source?)"
  stock=$(compgen -G "libccid_*.deb" | sort | sed -n 1p)
fi
rm -rf up && dpkg-deb -R "$stock" up
version=$(dpkg-deb -f "$stock" Version)
sed -i "s/^Version: .*/Version: $version+halvotest1/" up/DEBIAN/control
sed -i 's|^<dict>$|<dict>\n\t<!-- a later stock list -->|' up/etc/libccid_Info.plist
grep -q "a later stock list" up/etc/libccid_Info.plist || fail "could not change the stock list"
(cd up && find etc usr -type f -exec md5sum {} + > DEBIAN/md5sums)
dpkg-deb -b up root/libccid-up.deb >/dev/null
cp "$deb" root/halvo-readers.deb
cp "$sandbox" root/sandbox.sh
cp "$(dirname "$sandbox")/usb_bus.py" root/usb_bus.py

# Inside the overlay: every change vanishes with it.
cat > root/inside.sh <<'INSIDE'
set -eu
fail() { echo "FAILED inside: $*"; exit 1; }
list=/etc/libccid_Info.plist
cp "$list" original.plist
dpkg -i halvo-readers.deb > dpkg-install.log 2>&1 || fail "dpkg -i: $(cat dpkg-install.log)"
grep -q "Missing Reader" dpkg-install.log || fail "no readers added: $(cat dpkg-install.log)"
halvo-readers -c > /dev/null || fail "the default list lacks readers after the install"
cmp -s "$list.backup" original.plist || fail "the backup is not the original"
cp "$list" installed.plist
dpkg -i halvo-readers.deb > dpkg-again.log 2>&1 || fail "second dpkg -i"
cmp -s "$list" installed.plist || fail "a reinstall changed the list"
dpkg -i --force-confnew libccid-up.deb > dpkg-libccid.log 2>&1 || fail "libccid upgrade: $(cat dpkg-libccid.log)"
grep -q "a later stock list" "$list" || fail "the upgrade did not bring the new stock list"
halvo-readers -c > /dev/null || fail "the trigger did not add the readers again"
grep -q "a later stock list" "$list.backup" || fail "the backup is not the new stock list"
python3 usb_bus.py bus halvo-readers bus.umockdev
bash sandbox.sh pcscd "$list" pcscd.log bus.umockdev || fail "pcscd refused the final list: $(cat pcscd.log)"
python3 usb_bus.py recognized halvo-readers pcscd.log > recognized.log ||
  fail "pcscd did not recognize the readers: $(cat recognized.log)"
cp "$list" final.plist
printf '<key>ifdVendorID</key>\n' >> "$list"
dpkg-reconfigure halvo-readers > faulty.log 2>&1 || fail "a faulty list failed dpkg"
grep -q "^halvo-readers: warning: " faulty.log || fail "no warning: $(cat faulty.log)"
cp final.plist "$list"
dpkg --purge halvo-readers > purge.log 2>&1 || fail "purge"
cmp -s "$list" final.plist || fail "the purge changed the list"
dpkg -r --force-depends libccid > remove.log 2>&1 || fail "removing libccid"
dpkg -i halvo-readers.deb > no-list.log 2>&1 || fail "install without libccid"
grep -q "libccid not installed); nothing to do" no-list.log || fail "$(cat no-list.log)"
echo ok
INSIDE
cd root
out=$(bash "$sandbox" overlay sh inside.sh) || fail "$out"
[ "$out" = ok ] || fail "$out"
echo "deb_package: 1 passed, 0 failed"
