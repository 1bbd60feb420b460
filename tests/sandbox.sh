#!/usr/bin/env bash
# The system tests' set-up: finds the machine's CCID driver list and runs the
# real smart-card service, or any command in a throwaway copy of the root
# file system, inside private mount namespaces, so that no file and no
# service of the machine itself is ever touched.
#
#   sandbox.sh driver-list      prints the system's CCID driver list file
#                               (its symbolic link followed)
#   sandbox.sh ccid-list        prints the CCID list's path in pcsc-lite's
#                               driver folder, as pkg-config reports it
#   sandbox.sh need-root        makes sure namespaces, pcscd and root are here
#   sandbox.sh pcscd PLIST LOG [BUS]
#                               starts pcscd for PCSCD_SECONDS (default 2,
#                               5 with a bus) with PLIST as the CCID bundle's
#                               Info.plist, its log in LOG, and with BUS, a
#                               umockdev description of USB devices
#                               (usb_bus.py), on that simulated bus; status
#                               0 when it came up and read the file without
#                               a parse error, 2 when it reported one
#   sandbox.sh sees WANT TOOL PLIST [STOCK...]
#                               plugs one simulated reader per built-in
#                               reader of TOOL, and the stock readers, into
#                               pcscd on PLIST (- for the driver folder
#                               pcscd finds itself) and checks that pcscd
#                               and the CCID driver found WANT: recognized
#                               (each under its built-in name) or
#                               unrecognized (none), and with STOCK, exactly
#                               those stock readers; see usb_bus.py
#   sandbox.sh pcscd2 DIR       prints a pcscd of 2.0 or later: the
#                               system's, or one built once in DIR from the
#                               pcsc-lite source tarball PCSCLITE_SOURCE
#                               names (with pcsc-lite's driver folder as its
#                               own), which then stands for the system's
#   sandbox.sh overlay CMD...   runs CMD chrooted in an overlay of / whose
#                               changes live in a tmpfs and vanish with it
#   sandbox.sh read-only DIR CMD...
#                               runs CMD with DIR mounted read-only
#   sandbox.sh bind PATH CMD... runs CMD with PATH bind-mounted over itself
#   sandbox.sh over DIR TARGET CMD...
#                               runs CMD with DIR bind-mounted over TARGET
#   sandbox.sh not-owner CMD... runs CMD as nobody, with hard links to
#                               others' files refused (fs.protected_hardlinks)
#   sandbox.sh skip REASON      skips the calling test, as below
#
# What cannot run here is skipped: the reason is printed and the status is
# 77 (CTest's SKIP_RETURN_CODE), or 1 when HALVO_REQUIRE_SYSTEM_TESTS=1, as
# in CI, where a skip would hide a test that never ran.
set -euo pipefail

SKIP=77

skip() {
  echo "SKIP: $*"
  if [ "${HALVO_REQUIRE_SYSTEM_TESTS:-}" = 1 ]; then
    echo "HALVO_REQUIRE_SYSTEM_TESTS=1: a skipped system test is a failure"
    exit 1
  fi
  exit "$SKIP"
}

drivers_folder() {
  pkg-config --variable=usbdropdir libpcsclite 2>/dev/null || echo /usr/lib/pcsc/drivers
}

ccid_list() {
  echo "$(drivers_folder)/ifd-ccid.bundle/Contents/Info.plist"
}

driver_list() {
  local list
  list=$(ccid_list)
  [ -e "$list" ] || skip "no CCID driver list at $list (Debian package libccid)"
  readlink -f "$list"
}

need_namespaces() {
  [ "$(id -u)" = 0 ] || skip "needs root for mount namespaces"
  command -v unshare >/dev/null || skip "unshare not found (util-linux)"
  unshare --mount true 2>/dev/null || skip "unshare --mount is not allowed here"
}

need_root() {
  need_namespaces
  command -v pcscd >/dev/null || skip "pcscd not found (Debian package pcscd)"
}

# SOURCE bind-mounted over TARGET, read-only when OPTIONS say so, seen by
# CMD alone.
run_bound() {
  unshare --mount sh -c '
    set -e
    mount --bind "$2" "$3"
    [ -z "$1" ] || mount -o "remount,bind,$1" "$3"
    shift 3
    exec "$@"' sh "$@"
}

run_not_owner() {
  command -v setpriv >/dev/null || skip "setpriv not found (util-linux)"
  [ "$(cat /proc/sys/fs/protected_hardlinks 2>/dev/null)" = 1 ] ||
    skip "fs.protected_hardlinks is not 1: links to others' files are allowed"
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
}

# Inside the namespace: a copy of the driver folder with PLIST as the CCID
# list bound over the real one (unless PLIST is -), a private socket
# folder, then pcscd.
run_pcscd() {
  local plist=$1 log=$2 bus=${3:-} drivers work bound status=0 seconds=2 run=
  if [ -n "$bus" ]; then
    command -v umockdev-run >/dev/null || skip "umockdev-run not found (Debian package umockdev)"
    seconds=5 run="umockdev-run --device $(realpath "$bus") --"
  fi
  drivers=$(drivers_folder) bound=$drivers
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  if [ "$plist" != - ]; then
    bound=$work/drivers
    cp -a "$drivers" "$bound"
    rm -f "$bound/ifd-ccid.bundle/Contents/Info.plist"
    cp "$plist" "$bound/ifd-ccid.bundle/Contents/Info.plist"
  fi
  unshare --mount sh -c '
    set -e
    [ "$1" = "$2" ] || mount --bind "$1" "$2"
    if [ -d /run/pcscd ]; then mount -t tmpfs tmpfs /run/pcscd
    else mount -t tmpfs tmpfs /run && mkdir /run/pcscd; fi
    exec timeout "$3" $4 pcscd --foreground --debug' \
    sh "$bound" "$drivers" "${PCSCD_SECONDS:-$seconds}" "$run" >"$log" 2>&1 || status=$?
  [ "$status" = 124 ] || { cat "$log"; echo "pcscd ended with status $status"; return 1; }
  grep -q "daemon ready" "$log" || { cat "$log"; echo "pcscd never came up"; return 1; }
  if grep -E "Error parsing|Could not open bundle|not defined for" "$log"; then return 2; fi
  return 0
}

pcscd_sees() {
  local want=$1 tool=$2 plist=$3 work bus_tool
  shift 3
  bus_tool=$(dirname "$(realpath "$0")")/usb_bus.py
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  python3 "$bus_tool" bus "$tool" "$work/bus"
  run_pcscd "$plist" "$work/pcscd.log" "$work/bus" || { echo "pcscd on $plist failed"; return 1; }
  python3 "$bus_tool" "$want" "$tool" "$work/pcscd.log" "$@"
}

# A pcscd of 2.0 or later: the system's, or one built once in DIR from the
# source PCSCLITE_SOURCE names, with the system's driver folder as its own.
pcscd2() {
  local dir=$1 version
  version=$(pcscd --version 2>/dev/null | sed -n 's/^pcsc-lite version \([0-9][0-9.]*[0-9]\).*/\1/p')
  if [ -n "$version" ] && [ "$(printf '%s\n2.0.0\n' "$version" | sort -V | head -n 1)" = 2.0.0 ]; then
    command -v pcscd
    return
  fi
  [ -n "${PCSCLITE_SOURCE:-}" ] ||
    skip "pcscd ${version:-(none)} is before 2.0, and PCSCLITE_SOURCE names no pcsc-lite source to build"
  for tool in meson ninja flex; do
    command -v "$tool" >/dev/null || skip "$tool not found (Debian packages meson ninja-build flex)"
  done
  mkdir -p "$dir"
  (
    flock 9
    [ -x "$dir/build/pcscd" ] && exit
    rm -rf "$dir/src" "$dir/build" && mkdir "$dir/src"
    tar -xJf "$PCSCLITE_SOURCE" -C "$dir/src" --strip-components=1
    { meson setup "$dir/build" "$dir/src" -Dpolkit=false -Dusbdropdir="$(drivers_folder)" &&
        ninja -C "$dir/build"; } > "$dir/build.log" 2>&1 || { tail -n 30 "$dir/build.log"; exit 1; }
  ) 9> "$dir.lock" >&2
  echo "$dir/build/pcscd"
}

# An overlay of / with a tmpfs upper layer, /proc, /dev and /sys bound and a
# tmpfs /run; CMD runs chrooted in it in the caller's working folder, which
# is bound in as it is, so that what CMD leaves there can be looked at.
run_overlay() {
  local top
  top=$(mktemp -d)
  trap 'rm -rf "$top"' RETURN
  unshare --mount sh -c '
    set -e
    top=$1; shift
    mount -t tmpfs tmpfs "$top"
    mkdir "$top/upper" "$top/work" "$top/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
    for fs in proc dev sys; do mount --rbind "/$fs" "$top/root/$fs"; done
    mount -t tmpfs tmpfs "$top/root/run"
    mkdir -p "$top/root$PWD" && mount --bind "$PWD" "$top/root$PWD"
    exec chroot "$top/root" sh -c "cd \"\$1\" && shift && exec \"\$@\"" sh "$PWD" "$@"' \
    sh "$top" "$@"
}

case "${1:-}" in
  driver-list) driver_list ;;
  ccid-list) ccid_list ;;
  need-root) need_root ;;
  pcscd) need_root; run_pcscd "$2" "$3" "${4:-}" ;;
  sees) need_root; pcscd_sees "${@:2}" ;;
  pcscd2) pcscd2 "$(realpath -m "$2")" ;;
  overlay) need_root; shift; run_overlay "$@" ;;
  read-only) need_namespaces; run_bound ro "$2" "$2" "${@:3}" ;;
  bind) need_namespaces; run_bound "" "$2" "$2" "${@:3}" ;;
  over) need_namespaces; run_bound "" "$2" "$3" "${@:4}" ;;
  not-owner) [ "$(id -u)" = 0 ] || skip "needs root to run as nobody"
             shift; run_not_owner "$@" ;;
  skip) shift; skip "$*" ;;
  *) echo "usage: sandbox.sh driver-list | ccid-list | need-root | pcscd PLIST LOG [BUS] | sees WANT TOOL PLIST |" \
          "pcscd2 DIR | overlay CMD... |" \
          "read-only DIR CMD... | bind PATH CMD... | over DIR TARGET CMD... | not-owner CMD... | skip REASON" >&2
     exit 2 ;;
esac
