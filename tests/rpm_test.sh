#!/usr/bin/env bash
# The RPM package: built and passed by rpmlint, then installed with the real
# rpm (its own database) in a throwaway overlay of the root file system,
# beside a stand-in CCID package whose driver list is the machine's real one
# as a plain file: the readers are added with the original as the backup,
# a CCID update (its list one line different) and a CCID reinstall replace
# the list and the trigger adds the readers again, pcscd recognizes them on
# a simulated USB bus, removal gives back the CCID package's list, but
# leaves one edited since the readers were added; no scriptlet
# reports a failure (rpm's status does not tell). The folder-mode life takes
# a package built as for Fedora (its pcsc-lite's driver folder and library
# folder), beside stand-ins at Fedora's place.
# Usage: rpm_test.sh SANDBOX-SCRIPT WORK-FOLDER
# shellcheck disable=SC2154 # sandbox, work and top come from package_test.sh
. "$(dirname "$0")/package_test.sh"
open_test rpm rpmbuild rpmlint pkg-config git gpg rpmsign createrepo_c dnf
list=$(bash "$sandbox" ccid-list)
fedora=/usr/lib64/pcsc/drivers
mkdir -p "$work/fedora-pc"
sed "s|^usbdropdir=.*|usbdropdir=$fedora|" "$(pkg-config --variable=pcfiledir libpcsclite)/libpcsclite.pc" \
  > "$work/fedora-pc/libpcsclite.pc"
PKG_CONFIG_LIBDIR=/nonexistent rpmspec -q --srpm "$top/packaging/rpm/halvo-readers.spec" >/dev/null ||
  fail "the spec does not parse without pcsc-lite's pkg-config file"
# %check skips what needs root or packages, as a build service would.
env -u HALVO_REQUIRE_SYSTEM_TESTS bash "$top/packaging/build-rpm.sh" "$work/pkg" --define "dist .el9" >/dev/null
PKG_CONFIG_PATH=$work/fedora-pc env -u HALVO_REQUIRE_SYSTEM_TESTS bash "$top/packaging/build-rpm.sh" "$work/fedora" \
  --define "_libdir /usr/lib64" --define "dist .fc43" >/dev/null
lint=$(rpmlint -r "$top/packaging/rpm/halvo-readers.rpmlintrc" "$work"/pkg/*.rpm \
  "$work"/fedora/halvo-readers-[0-9]*."$(uname -m)".rpm 2>&1) && grep -q " 0 errors, 0 warnings," <<<"$lint" ||
  fail "rpmlint: $lint"
stand_in_lists "$sandbox" "$work/root"
cat > "$work/ccid.spec" <<'SPEC'
Name: %{ccid_name}
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
%dir %{ccid_bundle}
%dir %{ccid_bundle}/Contents
SPEC
# The CCID package, twice, and another driver, at each place.
for place in "" fedora-; do
  at=$list
  [ -z "$place" ] || at=$fedora/ifd-ccid.bundle/Contents/Info.plist
  for v in 1 2 other; do
    name=pcsc-lite-ccid to=$at
    [ "$v" != other ] || name=pcsc-other to=${at%/ifd-ccid.bundle/*}/ifd-other.bundle/Contents/Info.plist
    rpmbuild -bb --define "_topdir $work/rpmbuild" --define "_rpmdir $work/root" \
      --define "_build_name_fmt ${place}ccid-$v.rpm" --define "ccid_version ${v/other/1}" \
      --define "ccid_name $name" --define "source_list $work/root/v${v/other/1}.plist" \
      --define "ccid_list $to" --define "ccid_bundle ${to%/Contents/*}" "$work/ccid.spec" > "$work/ccid-$v.log" 2>&1 ||
      fail "stand-in: $(cat "$work/ccid-$v.log")"
  done
done
cp "$work"/pkg/halvo-readers-[0-9]*."$(uname -m)".rpm "$work/root/halvo-readers.rpm"
cp "$work"/fedora/halvo-readers-[0-9]*."$(uname -m)".rpm "$work/root/fedora-halvo-readers.rpm"
echo "$fedora/ifd-ccid.bundle/Contents/Info.plist" > "$work/root/fedora-list"
pcscd_2 "$work/root"
selinux_policy "$work/root"
run_inside "$sandbox" "$work/root" rpm
