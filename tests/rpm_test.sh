#!/usr/bin/env bash
# The RPM package: built and passed by rpmlint, then installed with the real
# rpm (its own database) in a throwaway overlay of the root file system,
# beside a stand-in CCID package whose driver list is the machine's real one
# as a plain file: the readers are added with the original as the backup,
# a CCID update (its list one line different) and a CCID reinstall replace
# the list and the trigger adds the readers again, pcscd recognizes them on
# a simulated USB bus, removal gives back the CCID package's list, but
# leaves one edited since the readers were added; no scriptlet
# reports a failure (rpm's status does not tell).
# Usage: rpm_test.sh SANDBOX-SCRIPT WORK-FOLDER
set -euo pipefail
sandbox=$(realpath "$1")
work=$(realpath -m "$2")
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }

bash "$sandbox" need-root
real=$(bash "$sandbox" driver-list)
for tool in rpm rpmbuild rpmlint pkg-config git; do
  command -v "$tool" >/dev/null || bash "$sandbox" skip "$tool not found (Debian packages rpm, rpmlint)"
done

rm -rf "$work" && mkdir -p "$work/root"
bash "$top/packaging/build-rpm.sh" "$work/pkg" >/dev/null
lint=$(rpmlint -r "$top/packaging/rpm/halvo-readers.rpmlintrc" "$work"/pkg/*.rpm 2>&1) ||
  fail "rpmlint: $lint"
list=$(pkg-config --variable=usbdropdir libpcsclite)/ifd-ccid.bundle/Contents/Info.plist

# The stand-in CCID package, version 1 with the real list, version 2 with
# one line more.
cp "$real" "$work/root/v1.plist"
sed '0,/<dict>/s//<dict>\n\t<!-- version 2 -->/' "$real" > "$work/root/v2.plist"
cat > "$work/ccid.spec" <<'SPEC'
Name: pcsc-lite-ccid
Version: %{ccid_version}
Release: 1
Summary: Stand-in for the CCID driver package
License: LGPL-2.1-or-later
BuildArch: noarch
%description
The driver list alone.
%install
install -D -m 0644 %{source_list} %{buildroot}%{ccid_list}
%files
%{ccid_list}
SPEC
for v in 1 2; do
  rpmbuild -bb --define "_topdir $work/rpmbuild" --define "_rpmdir $work/root" \
    --define "_build_name_fmt ccid-$v.rpm" --define "ccid_version $v" \
    --define "source_list $work/root/v$v.plist" --define "ccid_list $list" \
    "$work/ccid.spec" > "$work/ccid-$v.log" 2>&1 || fail "stand-in: $(cat "$work/ccid-$v.log")"
done
cp "$work"/pkg/halvo-readers-*[0-9].[!s]*.rpm "$work/root/halvo-readers.rpm"
cp "$sandbox" "$(dirname "$sandbox")/usb_bus.py" "$(dirname "$sandbox")/package_steps.sh" "$work/root/"

cat > "$work/root/inside.sh" <<'INSIDE'
set -eu
list=$1 rpm="rpm --dbpath /tmp/rpmdb"
. ./package_steps.sh
stub_service_control /usr/bin/systemctl
$rpm --initdb
run ccid-1.log $rpm -i ccid-1.rpm
cmp -s "$list" v1.plist || fail "the stand-in did not install its list"
# Its dependencies are the system's own, which this database does not hold.
keeps_readers "$list" "$list.backup" "$rpm -i --nodeps halvo-readers.rpm" \
  "$rpm -U ccid-2.rpm" "$rpm --reinstall ccid-2.rpm" "$rpm -e halvo-readers"
[ "$(grep -c '^Installing$' install.log)" = 1 ] || fail "not added once: $(cat install.log)"
run again.log $rpm -i --nodeps halvo-readers.rpm
echo "<!-- edited -->" >> "$list" && cp "$list" edited.plist
run erase-edited.log $rpm -e halvo-readers
cmp -s "$list" edited.plist || fail "removal undid an edit: $(cat erase-edited.log)"
! grep -il "fail\|warning\|error" ./*.log || fail "a scriptlet reported a failure"
echo ok
INSIDE
cd "$work/root"
out=$(bash "$sandbox" overlay sh inside.sh "$list") || fail "$out"
[ "$out" = ok ] || fail "$out"
echo "rpm_package: 1 passed, 0 failed"
