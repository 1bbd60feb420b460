# shellcheck shell=bash
# The package tests' frame outside the throwaway overlay, sourced first by
# each, whose arguments are SANDBOX-SCRIPT WORK-FOLDER; package_steps.sh is
# its side inside. Sets sandbox, work and top (the source tree).
set -euo pipefail
# shellcheck disable=SC2034 # for the scripts that source this
sandbox=$(realpath "$1") work=$(realpath -m "$2") top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

fail() { echo "FAILED: $*"; exit 1; }

# open_test TOOL...: needs root, the machine's CCID list and each TOOL
# (else the test is skipped), and makes WORK/root afresh; the rest of WORK
# may keep downloads between runs.
open_test() {
  local tool
  bash "$sandbox" need-root
  bash "$sandbox" driver-list >/dev/null
  for tool; do
    command -v "$tool" >/dev/null || bash "$sandbox" skip "$tool not found"
  done
  rm -rf "$work/root" "$work/pkg" "$work/rebuild" && mkdir -p "$work/root"
}

# stand_in_lists SANDBOX DIR: the stand-in CCID package's lists in DIR,
# v1.plist the machine's real one, v2.plist one line more.
stand_in_lists() {
  local real
  real=$(bash "$1" driver-list)
  cp "$real" "$2/v1.plist"
  sed '0,/<dict>/s//<dict>\n\t<!-- version 2 -->/' "$real" > "$2/v2.plist"
}

# run_inside SANDBOX ROOT NAME: runs tests/NAME_inside.sh in an overlay,
# in ROOT with the inside helpers beside it, and passes when it says ok.
run_inside() {
  local sandbox=$1 root=$2 name=$3 here out
  here=$(dirname "$sandbox")
  cp "$sandbox" "$here/usb_bus.py" "$here/package_steps.sh" "$here/${name}_inside.sh" "$root/"
  out=$(cd "$root" && bash "$sandbox" overlay bash "${name}_inside.sh" "$(bash "$sandbox" ccid-list)") ||
    fail "$out"
  [ "$out" = ok ] || fail "$out"
  echo "${name}_package: 1 passed, 0 failed"
}
