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
bus_tool=$(dirname "$(realpath "$0")")/usb_bus.py
bash "$sandbox" need-root
list=$(bash "$sandbox" driver-list)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$bus_tool" bus "$binary" "$work/bus"

# pcscd on PLIST must come up without a parse error and log WANT.
recognize() {
  local plist=$1 want=$2
  bash "$sandbox" pcscd "$plist" "$work/pcscd.log" "$work/bus" ||
    { echo "FAILED: pcscd on $plist (status $?)"; exit 1; }
  python3 "$bus_tool" "$want" "$binary" "$work/pcscd.log"
}

recognize "$list" unrecognized
cp "$list" "$work/lf.plist"
sed 's/$/\r/' "$list" > "$work/crlf.plist"
for ends in lf crlf; do
  "$binary" -i "$work/$ends.plist" >/dev/null
  recognize "$work/$ends.plist" recognized
done
echo "pcscd_recognizes_readers: 3 passed, 0 failed"
