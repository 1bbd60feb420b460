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
  rm -rf "$work/root" "$work/pkg" "$work/fedora" "$work/rebuild" && mkdir -p "$work/root"
}

# add_later_reader FILE: a stock list as a later CCID version has it, one
# reader more (usb_bus.py's "later"), after each array's opening line.
add_later_reader() {
  local element
  for element in "VendorID 0x1d5c" "ProductID 0x0fed" "FriendlyName Later Reader"; do
    sed -i "/<key>ifd${element%% *}<\/key>/{n;s|\$|\n\t\t<string>${element#* }</string>|}" "$1"
  done
  grep -q "Later Reader" "$1" || fail "could not change the stock list $1"
}

# stand_in_lists SANDBOX DIR: the stand-in CCID package's lists in DIR,
# v1.plist the machine's real one, v2.plist a later one, marked as such.
stand_in_lists() {
  local real
  real=$(bash "$1" driver-list)
  cp "$real" "$2/v1.plist"
  sed '0,/<dict>/s//<dict>\n\t<!-- version 2 -->/' "$real" > "$2/v2.plist"
  add_later_reader "$2/v2.plist"
}

# pcscd_2 ROOT: a pcscd of 2.0 or later as ROOT/pcscd2, built once for
# every package test of this build; where none can be had, the folder-mode
# life is to be skipped, its reason in folder_skip.
folder_skip=
pcscd_2() {
  local pcscd status=0
  pcscd=$(bash "$sandbox" pcscd2 "$work/../pcsc-lite") || status=$?
  if [ "$status" = 77 ]; then folder_skip=$pcscd; return; fi
  [ "$status" = 0 ] || fail "$pcscd"
  cp "$pcscd" "$1/pcscd2"
}

# selinux_policy ROOT: refpolicy as Debian builds it (selinux-policy-default
# unpacked in the build folder, so that nothing under /etc changes), its
# binary policy and default file contexts as ROOT/policy and
# ROOT/file_contexts, built once for every package test of this build.
selinux_policy() {
  local dir=$work/../selinux tool
  for tool in sesearch matchpathcon semodule; do
    command -v "$tool" >/dev/null ||
      bash "$sandbox" skip "$tool not found (Debian packages setools, selinux-utils, policycoreutils)"
  done
  mkdir -p "$dir"
  (
    flock 9
    [ ! -s "$dir/root/policy.33" ] || exit 0
    cd "$dir" && rm -rf root && mkdir -p root/var/lib/selinux
    apt-get download selinux-policy-default >/dev/null 2>&1 && dpkg-deb -x selinux-policy-default_*.deb root &&
      cd root/usr/share/selinux/default &&
      semodule -p "$dir/root" -s default -N -X 100 -i ./*.pp.bz2 > "$dir/build.log" 2>&1 &&
      ln -s etc/selinux/default/policy/policy.33 "$dir/root/policy.33"
  ) 9> "$dir.lock" || fail "refpolicy could not be built: $(tail -n 5 "$dir/build.log" 2>/dev/null)"
  cp "$dir/root/policy.33" "$1/policy"
  cp "$dir/root/etc/selinux/default/contexts/files/file_contexts" "$1/file_contexts"
}

# signed_repositories ROOT PACKAGE...: the packages in the repositories
# publish.sh makes, ROOT/repo signed by a key of the test's own, ROOT/other
# by another; two different packages of one name are refused.
signed_repositories() {
  local name old=
  export GNUPGHOME=$work/gnupg
  rm -rf "$GNUPGHOME" && mkdir -m 0700 "$GNUPGHOME"
  for name in repo other; do  # other's key is the one a rotation moves to, published with repo's
    gpg --batch --passphrase '' --quick-gen-key "$name@halvo-readers.invalid" rsa3072 sign never 2>/dev/null
    PUBLISH_KEYS=$old bash "$top/packaging/publish.sh" "$1/$name" "$name@halvo-readers.invalid" "${@:2}" >/dev/null || fail "publish.sh"
    old=$(gpg --with-colons --list-keys "$name@halvo-readers.invalid" | awk -F: '/^fpr/ {print $10; exit}')
  done
  mkdir -p "$work/clash" && cp "$2" "$work/clash/" && echo >> "$work/clash/${2##*/}"
  ! clash=$(bash "$top/packaging/publish.sh" "$work/clashed" repo@halvo-readers.invalid "$2" "$work/clash/${2##*/}") &&
    grep -q "two different packages named" <<<"$clash" || fail "publish.sh took two packages of one name: $clash"
  gpgconf --kill gpg-agent
}

# run_inside SANDBOX ROOT NAME: runs tests/NAME_inside.sh in an overlay,
# in ROOT with the inside helpers beside it, once as the system is and once
# with pcscd 2 (ROOT/pcscd2) in folder mode, and passes when each says ok;
# without pcscd 2, the second is skipped once the first passed.
run_inside() {
  local sandbox=$1 root=$2 name=$3 here out how lives=(in-place)
  [ -n "$folder_skip" ] || lives+=(folder)
  here=$(dirname "$sandbox")
  signed_repositories "$root" "$root"/*halvo-readers.*
  cp "$sandbox" "$here/usb_bus.py" "$here/package_steps.sh" "$here/systemd_stand_in.sh" "$here/${name}_inside.sh" "$root/"
  for how in "${lives[@]}"; do
    rm -f "$root"/*.log
    out=$(cd "$root" && bash "$sandbox" overlay bash "${name}_inside.sh" "$(bash "$sandbox" ccid-list)" "$how") ||
      fail "$how: $out"
    [ "$out" = ok ] || fail "$how: $out"
  done
  if [ -n "$folder_skip" ]; then
    echo "${name}_package: 1 passed, 0 failed, 1 skipped"
    echo "$folder_skip"
    exit 77
  fi
  echo "${name}_package: 2 passed, 0 failed"
}
