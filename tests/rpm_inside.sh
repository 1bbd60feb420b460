#!/usr/bin/env bash
# Inside the overlay: the RPM package's life with the real rpm.
set -eu
list=$1 rpm="rpm --dbpath /tmp/rpmdb" place=
. ./package_steps.sh
# Folder mode as on Fedora: the package built for it, and the machine's
# driver folder moved to Fedora's place, where pcscd's own folder leads.
if [ "$2" = folder ]; then
  place=fedora- list=$(cat fedora-list)
  drivers=${list%/ifd-ccid.bundle/*}
  mkdir -p "${drivers%/*}" && mv "${1%/ifd-ccid.bundle/*}" "$drivers" && ln -s "$drivers" "${1%/ifd-ccid.bundle/*}"
fi
stub_service_control
$rpm --initdb
run ccid-1.log $rpm -i "${place}ccid-1.rpm"
cmp -s "$list" v1.plist || fail "the stand-in did not install its list"
# Its dependencies are the system's own, which this database does not hold.
install_package() { $rpm -i --nodeps "${place}halvo-readers.rpm"; }
update_ccid() { $rpm -U "${place}ccid-2.rpm"; }
reinstall_ccid() { $rpm --reinstall "${place}ccid-2.rpm"; }
remove_package() { $rpm -e halvo-readers; }
if [ "$2" = folder ]; then
  add_driver() { $rpm -i fedora-ccid-other.rpm; }
  remove_driver() { $rpm -e pcsc-other; }
  verify() { $rpm -V --nodeps "${1:-pcsc-lite-ccid}"; }
  # In place with pcscd 1, then folder mode as a CCID update comes: no backup is left.
  run cross-in.log install_package
  cp /usr/sbin/pcscd pcscd1 && install pcscd2 /usr/sbin/pcscd && run cross-update.log update_ccid
  [ ! -e "$list.backup" ] && grep -q "their backup .* is removed" cross-update.log || fail "a crossing: $(cat cross-update.log)"
  run cross-out.log $rpm -e halvo-readers && run ccid-1.log $rpm -U --oldpackage fedora-ccid-1.rpm
  install pcscd1 /usr/sbin/pcscd && rm restarts.log
  keeps_readers_in_folder "$list"
else
  keeps_readers "$list" "$list.backup"
  [ "$(grep -c '^Installing$' install.log)" = 1 ] || fail "not added once: $(cat install.log)"
  run again.log $rpm -i --nodeps halvo-readers.rpm
  echo "<!-- edited -->" >> "$list" && cp "$list" edited.plist
  run erase-edited.log $rpm -e halvo-readers
  cmp -s "$list" edited.plist || fail "removal undid an edit: $(cat erase-edited.log)"
  # The signed repository as dnf checks it (this dnf cannot resolve Fedora's
  # dependencies), and the package's signature as rpm does.
  dnf_from() {
    printf '[halvo]\nname=halvo\nbaseurl=file://%s/rpm/el9\ngpgcheck=1\nrepo_gpgcheck=1\ngpgkey=file://%s\n' "$PWD/$1" "$PWD/repo/halvo-readers.asc" > "$1/halvo.repo"
    dnf -y --releasever=1 --setopt=skip_if_unavailable=False --setopt=reposdir="$PWD/$1" --setopt=cachedir="$PWD/dnf-$1" makecache
  }
  run dnf.out dnf_from repo && run keys.out rpmkeys --dbpath /tmp/rpmdb --import repo/halvo-readers.asc
  run keys.out rpmkeys --dbpath /tmp/rpmdb --checksig repo/rpm/el9/*.rpm
  ! rpmkeys --dbpath /tmp/rpmdb --checksig other/rpm/el9/*.rpm > refused.out && ! dnf_from other > refused.out 2>&1 &&
    echo >> repo/rpm/el9/repodata/repomd.xml && rm -rf dnf-repo && ! dnf_from repo > refused.out 2>&1 ||
    fail "a package or index of another key, or a tampered one, was taken"
fi
! grep -il "fail\|warning\|error" ./*.log || fail "a scriptlet reported a failure"
echo ok
