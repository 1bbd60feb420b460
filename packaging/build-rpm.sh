#!/usr/bin/env bash
# Builds the binary and source RPMs with rpmbuild from the source release
# (packaging/dist.sh) into build-rpm/ (or the folder given), and prints their
# paths; the build's output is in build.log there. Where the build system's
# rpm database does not hold the build dependencies (rpm on Debian), they
# are not checked: the system's own packages provide them. RPMBUILD-OPTIONs
# go to rpmbuild, such as another system's --define "_libdir /usr/lib64".
# Usage: build-rpm.sh [OUT [RPMBUILD-OPTION...]]
. "$(dirname "$0")/build-common.sh"
out=$(fresh_folder "${1:-build-rpm}")
shift $(($# > 0))
bash packaging/dist.sh "$out/SOURCES" >/dev/null
nodeps=
rpm -q rpm >/dev/null 2>&1 || nodeps=--nodeps
logged "$out/build.log" rpmbuild rpmbuild -ba $nodeps --define "_topdir $out/rpmbuild" \
  --define "_sourcedir $out/SOURCES" --define "_rpmdir $out" \
  --define "_srcrpmdir $out" --define "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm" \
  "$@" packaging/rpm/halvo-readers.spec
rm -rf "$out/rpmbuild" "$out/SOURCES"
ls "$out"/*.rpm
