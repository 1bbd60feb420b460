#!/usr/bin/env bash
# Builds the binary and source RPMs with rpmbuild from the source release
# (packaging/dist.sh) into build-rpm/ (or the folder given), and prints their
# paths; the build's output is in build.log there. Where the build system's
# rpm database does not hold the build dependencies (rpm on Debian), they
# are not checked: the system's own packages provide them.
# Usage: build-rpm.sh [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-rpm}")
rm -rf "$out"
mkdir -p "$out"
bash packaging/dist.sh "$out/SOURCES" >/dev/null
nodeps=
rpm -q rpm >/dev/null 2>&1 || nodeps=--nodeps
if ! rpmbuild -ba $nodeps --define "_topdir $out/rpmbuild" \
     --define "_sourcedir $out/SOURCES" --define "_rpmdir $out" \
     --define "_srcrpmdir $out" --define "_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm" \
     packaging/rpm/halvo-readers.spec > "$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log"
  echo "build-rpm.sh: rpmbuild failed; the whole log is $out/build.log"
  exit 1
fi
rm -rf "$out/rpmbuild" "$out/SOURCES"
ls "$out"/*.rpm
