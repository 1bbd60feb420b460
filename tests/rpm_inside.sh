#!/usr/bin/env bash
# Inside the overlay: the RPM package's life with the real rpm.
set -eu
list=$1 rpm="rpm --dbpath /tmp/rpmdb"
. ./package_steps.sh
stub_service_control /usr/bin/systemctl
$rpm --initdb
run ccid-1.log $rpm -i ccid-1.rpm
cmp -s "$list" v1.plist || fail "the stand-in did not install its list"
# Its dependencies are the system's own, which this database does not hold.
install_package() { $rpm -i --nodeps halvo-readers.rpm; }
update_ccid() { $rpm -U ccid-2.rpm; }
reinstall_ccid() { $rpm --reinstall ccid-2.rpm; }
remove_package() { $rpm -e halvo-readers; }
if [ "$2" = folder ]; then
  add_driver() { $rpm -i ccid-other.rpm; }
  remove_driver() { $rpm -e pcsc-other; }
  verify_ccid() { $rpm -V pcsc-lite-ccid; }
  keeps_readers_in_folder "$list"
else
  keeps_readers "$list" "$list.backup"
  [ "$(grep -c '^Installing$' install.log)" = 1 ] || fail "not added once: $(cat install.log)"
  run again.log $rpm -i --nodeps halvo-readers.rpm
  echo "<!-- edited -->" >> "$list" && cp "$list" edited.plist
  run erase-edited.log $rpm -e halvo-readers
  cmp -s "$list" edited.plist || fail "removal undid an edit: $(cat erase-edited.log)"
fi
! grep -il "fail\|warning\|error" ./*.log || fail "a scriptlet reported a failure"
echo ok
