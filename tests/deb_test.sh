#!/usr/bin/env bash
# The Debian package: the source and binary packages are built, inspected
# (files, control fields, trigger), passed by lintian and built again from
# the .dsc; then the .deb is installed for real with dpkg in a throwaway
# overlay of the root file system, where libccid's configuration file must
# stay as libccid shipped it while pcscd's list, the diverted path, holds
# the twelve Halvo readers through libccid upgrades and reinstalls run
# without a terminal, pcscd recognizes them on a simulated USB bus, a list
# the tool refuses never fails dpkg, and removal and purge give libccid its
# own link back and leave nothing behind.
# Usage: deb_test.sh SANDBOX-SCRIPT WORK-FOLDER
set -euo pipefail
sandbox=$(realpath "$1")
work=$(realpath -m "$2")
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }

bash "$sandbox" need-root
bash "$sandbox" driver-list >/dev/null
for tool in dpkg-buildpackage dh lintian apt-get pkg-config git; do
  command -v "$tool" >/dev/null || bash "$sandbox" skip "$tool not found"
done

rm -rf "$work/pkg" "$work/root" "$work/rebuild"
mkdir -p "$work/root"
changes=$(bash "$top/packaging/build-deb.sh" "$work/pkg" | tail -n 1)
deb=$(ls "$work"/pkg/halvo-readers_*.deb)
drivers=$(pkg-config --variable=usbdropdir libpcsclite)
list=$drivers/ifd-ccid.bundle/Contents/Info.plist

# What the package holds and says of itself.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6, $7, $8}')
[ "$files" = "./usr/bin/halvo-readers  
./usr/share/doc/halvo-readers/README.Debian  
./usr/share/doc/halvo-readers/README.md.gz  
./usr/share/doc/halvo-readers/changelog.Debian.gz  
./usr/share/doc/halvo-readers/copyright  
./usr/share/lintian/overrides/halvo-readers  
./usr/share/man/man1/halvo-readers.1.gz  
.$list -> /var/lib/halvo-readers/Info.plist" ] || fail "package files: $files"
# Read once into a variable: under pipefail, grep -q quitting early would
# fail the pipeline through dpkg-deb's SIGPIPE.
control=$(dpkg-deb -I "$deb")
for field in "Section: admin" "Priority: optional" "Enhances: libccid" \
             "Suggests: pcscd" "Depends: libc6"; do
  grep -q "^ $field" <<<"$control" || fail "control lacks '$field'"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers)" = \
  "interest-noawait $drivers
interest-noawait /etc/libccid_Info.plist" ] || fail "triggers"
lintian --fail-on error,warning "$changes" 2>/dev/null || fail "lintian: $(lintian "$changes" 2>&1)"
mkdir "$work/rebuild"
dpkg-source -x "$work"/pkg/*.dsc "$work/rebuild/src" >/dev/null 2>&1
(cd "$work/rebuild/src" && dpkg-buildpackage -b -us -uc >../build.log 2>&1) ||
  fail "no binary package from the .dsc: $(tail "$work/rebuild/build.log")"

# A later libccid whose stock list knows one more reader.
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
python3 - up/etc/libccid_Info.plist <<'ADD'
import re, sys
text = open(sys.argv[1]).read()
for key, value in (("VendorID", "0x1d5c"), ("ProductID", "0x0fed"), ("FriendlyName", "Later Reader")):
    text = re.sub(rf"(<key>ifd{key}</key>\s*<array>\n)", rf"\g<1>\t\t<string>{value}</string>\n", text, count=1)
open(sys.argv[1], "w").write(text)
ADD
grep -q "Later Reader" up/etc/libccid_Info.plist || fail "could not change the stock list"
(cd up && find etc usr -type f -exec md5sum {} + > DEBIAN/md5sums)
dpkg-deb -b up root/libccid-up.deb >/dev/null
cp "$deb" root/halvo-readers.deb
cp "$sandbox" root/sandbox.sh
cp "$(dirname "$sandbox")/usb_bus.py" "$(dirname "$sandbox")/package_steps.sh" root/
# Inside the overlay: every change vanishes with it. dpkg runs without a
# terminal and without any --force-conf* option throughout.
cat > root/inside.sh <<'INSIDE'
set -eu
list=$1 etc=/etc/libccid_Info.plist live=/var/lib/halvo-readers/Info.plist
. ./package_steps.sh
# pcscd reads the generated list, which holds the twelve and every reader of
# libccid's list, whose file is as libccid shipped it.
generated() {
  [ "$(readlink "$list")" = "$live" ] || fail "$list is not the package's link"
  [ "$(stat -c %a "$live")" = 644 ] || fail "$live is not 0644"
  halvo-readers -c "$list" > check.log || fail "readers missing: $(cat check.log)"
  halvo-readers -l "$etc" | sort > etc.lst
  halvo-readers -l "$list" | sort | comm -23 etc.lst - > lost.lst
  [ ! -s lost.lst ] || fail "readers of $etc not in pcscd's list: $(cat lost.lst)"
  dpkg-query -W -f '${Conffiles}\n' libccid | grep -q " $etc $(md5sum < "$etc" | cut -d' ' -f1)" ||
    fail "$etc is not what libccid shipped"
}
stub_service_control /usr/bin/deb-systemd-invoke
run install.log dpkg -i halvo-readers.deb
dpkg-divert --list "$list" | grep -q "by halvo-readers" || fail "no diversion"
generated; restarts "try-restart pcscd.service"
grep -q "Missing Reader" install.log || fail "no readers reported: $(cat install.log)"
cp "$live" installed.plist
cp /usr/bin/halvo-readers tool
run again.log dpkg -i halvo-readers.deb
cmp -s "$live" installed.plist || fail "a reinstall changed the list"
restarts ""
# As apt upgrades: the new list, a conffile, is put in place only by
# the configure step, after the trigger the unpack step set off.
run upgrade.log dpkg --unpack libccid-up.deb
run configure.log dpkg --configure libccid
grep -q "Later Reader" "$etc" || fail "the upgrade did not bring its stock list"
generated; restarts "try-restart pcscd.service"
cp "$live" upgraded.plist && rm "$live"
run reinstall.log dpkg -i libccid-up.deb
cmp -s "$live" upgraded.plist || fail "a libccid reinstall did not make the list again"
generated; restarts "try-restart pcscd.service"
bash sandbox.sh sees recognized halvo-readers "$live" > sees.log || fail "pcscd: $(cat sees.log)"
cp "$etc" stock.plist
printf '<key>ifdVendorID</key>\n' >> "$etc"
run refused.log dpkg-reconfigure halvo-readers
grep -q "^halvo-readers: warning: .* dpkg-reconfigure halvo-readers" refused.log || fail "no warning: $(cat refused.log)"
cmp -s "$live" upgraded.plist || fail "a refused list changed pcscd's list"
restarts ""
bash sandbox.sh pcscd "$list" pcscd.log || fail "pcscd cannot parse its list after a refusal"
cp stock.plist "$etc"
run remove.log dpkg -r halvo-readers
[ "$(readlink "$list")" = "$etc" ] || fail "libccid's link is not back: $(ls -l "$list")"
dpkg -S "$list" | grep -q "^libccid: " || fail "$list is not libccid's"
[ "$(./tool -c "$list" | grep -c "^Missing Reader")" = 12 ] || fail "Halvo readers left after removal"
[ -z "$(find /etc -name '*halvo*' -o -name '*.backup')" ] || fail "left in /etc: $(find /etc -name '*halvo*' -o -name '*.backup')"
restarts "try-restart pcscd.service"
run purge.log dpkg --purge halvo-readers
[ ! -e /var/lib/halvo-readers ] || fail "the purge left /var/lib/halvo-readers"
run after-purge.log dpkg -i halvo-readers.deb
generated
run purge.log dpkg --purge halvo-readers
run remove-libccid.log dpkg -r --force-depends libccid
run no-list.log dpkg -i halvo-readers.deb
grep -q "libccid not installed); nothing to do" no-list.log || fail "$(cat no-list.log)"
echo ok
INSIDE
cd root
out=$(bash "$sandbox" overlay sh inside.sh "$list") || fail "$out"
[ "$out" = ok ] || fail "$out"
echo "deb_package: 1 passed, 0 failed"
