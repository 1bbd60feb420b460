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
# shellcheck disable=SC2154 # sandbox, work and top come from package_test.sh
. "$(dirname "$0")/package_test.sh"
open_test dpkg-buildpackage dh lintian apt-get pkg-config git gpg apt-ftparchive
changes=$(bash "$top/packaging/build-deb.sh" "$work/pkg" | tail -n 1)
deb=$(ls "$work"/pkg/halvo-readers_*.deb)
list=$(bash "$sandbox" ccid-list)
drivers=${list%/ifd-ccid.bundle/*}

# What the package holds and says of itself.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6, $7, $8}')
[ "$files" = ".$(pkg-config --variable=systemdsystemunitdir systemd)/pcscd.service.d/halvo-readers.conf  
./usr/bin/halvo-readers  
./usr/libexec/halvo-readers/keep-readers  
./usr/share/doc/halvo-readers/README.Debian  
./usr/share/doc/halvo-readers/README.md.gz  
./usr/share/doc/halvo-readers/changelog.Debian.gz  
./usr/share/doc/halvo-readers/copyright  
./usr/share/lintian/overrides/halvo-readers  
./usr/share/man/man1/halvo-readers.1.gz  
.$list -> ../../../../halvo-readers/Info.plist" ] || fail "package files: $files"
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
cd "$work" || exit
stock=$(compgen -G "libccid_*.deb" | sort | sed -n 1p || true)
if [ -z "$stock" ]; then
  apt-get download libccid >/dev/null 2>&1 ||
    bash "$sandbox" skip "apt-get download libccid failed (no package source?)"
  stock=$(compgen -G "libccid_*.deb" | sort | sed -n 1p)
fi
rm -rf up && dpkg-deb -R "$stock" up
version=$(dpkg-deb -f "$stock" Version)
sed -i "s/^Version: .*/Version: $version+halvotest1/" up/DEBIAN/control
add_later_reader up/etc/libccid_Info.plist
(cd up && find etc usr -type f -exec md5sum {} + > DEBIAN/md5sums)
dpkg-deb -b up root/libccid-up.deb >/dev/null
cp up/etc/libccid_Info.plist root/v2.plist
# Another driver, as any package may bring one.
rm -rf other && mkdir -p "other/DEBIAN" "other$drivers/ifd-other.bundle/Contents"
printf 'Package: ifd-other\nVersion: 1\nArchitecture: all\nMaintainer: tests <tests@halvo-readers.invalid>\nDescription: another driver\n' > other/DEBIAN/control
cp root/v2.plist "other$drivers/ifd-other.bundle/Contents/Info.plist"
dpkg-deb -b other root/ifd-other.deb >/dev/null
pcscd_2 "$work/root"
selinux_policy "$work/root"
cp "$deb" root/halvo-readers.deb
# The same package as built for the next Debian release, kept to that release's suite.
rm -rf next && dpkg-deb -R "$deb" next && version=$(dpkg-deb -f "$deb" Version)
sed -i "s/^Version: .*/Version: ${version%+deb*}+deb$((${version##*+deb} + 1))/" next/DEBIAN/control
dpkg-deb -b next root/next-halvo-readers.deb >/dev/null
run_inside "$sandbox" "$work/root" deb
