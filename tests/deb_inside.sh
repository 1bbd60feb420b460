#!/usr/bin/env bash
# Inside the overlay: every change vanishes with it. dpkg runs without a
# terminal and without any --force-conf* option throughout.
set -eu
list=$1 etc=/etc/libccid_Info.plist live=/usr/lib/halvo-readers/Info.plist
. ./package_steps.sh
# pcscd reads the generated list, which holds the twelve and every reader of
# libccid's list, whose file is as libccid shipped it.
generated() {
  [ "$(readlink -f "$list")" = "$live" ] || fail "$list does not lead to the package's list"
  [ "$(stat -c %a "$live")" = 644 ] || fail "$live is not 0644"
  halvo-readers -c "$list" > check.log || fail "readers missing: $(cat check.log)"
  halvo-readers -l "$etc" | sort > etc.lst
  halvo-readers -l "$list" | sort | comm -23 etc.lst - > lost.lst
  [ ! -s lost.lst ] || fail "readers of $etc not in pcscd's list: $(cat lost.lst)"
  dpkg-query -W -f '${Conffiles}\n' libccid | grep -q " $etc $(md5sum < "$etc" | cut -d' ' -f1)" ||
    fail "$etc is not what libccid shipped"
}
stub_service_control
if [ "$2" = folder ]; then
  cp "$etc" v1.plist
  install_package() { dpkg -i halvo-readers.deb; }
  update_ccid() { dpkg --unpack libccid-up.deb && dpkg --configure libccid; }
  add_driver() { dpkg -i ifd-other.deb; }
  remove_driver() { dpkg -r ifd-other; }
  remove_package() { dpkg -r halvo-readers; }
  verify() { dpkg --verify "${1:-libccid}"; }
  keeps_readers_in_folder "$list" "$etc"
  # libccid removed: nothing of the package's leads pcscd to its folder.
  run again.log dpkg -i halvo-readers.deb
  restarts "try-restart pcscd.service"
  run no-libccid.log dpkg -r --force-depends libccid
  state=$(state_folder)
  [ "$(ls -A "$state")" = drivers ] && [ "$(readlink "$state/drivers")" = "${list%/ifd-ccid.bundle/*}" ] ||
    fail "left without libccid: $(ls -Al "$state")"
  restarts "try-restart pcscd.service"
  echo ok
  exit
fi
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
grep -q "^halvo-readers: warning: .* $etc; .* run: /usr/libexec/halvo-readers/keep-readers add" refused.log ||
  fail "no warning: $(cat refused.log)"
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
[ ! -e "${live%/*}" ] || fail "the purge left ${live%/*}: $(ls -A "${live%/*}")"
# From a signed repository, with apt checking it; another key's or a
# tampered index is refused.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
apt_from() {
  printf 'Types: deb\nURIs: file://%s/apt\nSuites: %s\nComponents: main\nSigned-By: %s\n' "$PWD/$1" "$codename" \
    "$PWD/repo/halvo-readers.asc" > repo.sources
  mkdir -p lists/partial && apt-get -o Dir::Etc::SourceList="$PWD/repo.sources" -o Dir::Etc::SourceParts=- -o Dir::State::Lists="$PWD/lists" "${@:2}"
}
run apt.log apt_from repo update && run after-purge.log apt_from repo install -y halvo-readers
[ "$(dpkg-query -W -f '${Version}' halvo-readers)" = "$(dpkg-deb -f halvo-readers.deb Version)" ] || fail "not this release's"
generated
! apt_from other update > apt.log 2>&1 && echo >> repo/apt/dists/"$codename"/main/binary-*/Packages && rm -r lists && ! apt_from repo update > apt.log 2>&1 ||
  fail "apt took another key's repository or a tampered index"
run purge.log dpkg --purge halvo-readers
run remove-libccid.log dpkg -r --force-depends libccid
run no-list.log dpkg -i halvo-readers.deb
grep -q "(the CCID package is not installed); nothing to do" no-list.log || fail "$(cat no-list.log)"
echo ok
