#!/usr/bin/env bash
# A Halvo reader plugged in is recognized: on a simulated USB bus with one
# CCID reader per built-in Halvo reader, the real pcscd matches each by hot
# plug and the CCID driver finds it, under its built-in name, in the list
# -i wrote from the system's list (LF, and CR LF). The control: with the
# system's list as it ships, none of them is.
# Usage: recognize_test.sh PATH-TO-halvo-readers PATH-TO-sandbox.sh
set -euo pipefail
binary=$(realpath "$1")
sandbox=$(realpath "$2")
bash "$sandbox" need-root
list=$(bash "$sandbox" driver-list)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

recognize() {
  bash "$sandbox" sees "$2" "$binary" "$1" || { echo "FAILED: pcscd on $1"; exit 1; }
}

recognize "$list" unrecognized
cp "$list" "$work/lf.plist"
sed 's/$/\r/' "$list" > "$work/crlf.plist"
for ends in lf crlf; do
  "$binary" -i "$work/$ends.plist" >/dev/null
  recognize "$work/$ends.plist" recognized
done
echo "pcscd_recognizes_readers: 3 passed, 0 failed"
