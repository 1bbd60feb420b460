# shellcheck shell=bash
# Steps shared by the package tests inside the throwaway overlay of /,
# sourced there from the working folder.

fail() { echo "FAILED inside: $*"; exit 1; }

# run LOG CMD...: runs CMD without a terminal, its output in LOG.
run() {
  local log=$1
  shift
  "$@" < /dev/null > "$log" 2>&1 || fail "$*: $(cat "$log")"
}

# Puts a stand-in for a systemd service control command at PATH, which
# notes each call, and makes the system look booted with systemd.
stub_service_control() {
  mkdir -p /run/systemd/system
  printf '#!/bin/sh\necho "$*" >> "%s/restarts.log"\n' "$PWD" > "$1"
  chmod +x "$1"
}

# restarts CALLS: the calls noted since the last look were CALLS.
restarts() {
  [ "$(cat restarts.log 2>/dev/null)" = "$1" ] || fail "pcscd restarts: '$(cat restarts.log 2>/dev/null)', not '$1'"
  rm -f restarts.log
}

# keeps_readers LIST BACKUP: the life every package test holds its package
# to, once the stand-in CCID package 1 (v1.plist) is in, through the steps
# the test defines: install_package adds the readers with the original as
# the backup, update_ccid (to v2.plist) and reinstall_ccid get them added
# again, pcscd recognizes them, and remove_package gives the CCID list back;
# pcscd is restarted each time the list changes.
keeps_readers() {
  local list=$1 backup=$2
  run install.log install_package
  halvo-readers -c > check.log || fail "readers missing after the install: $(cat check.log)"
  cmp -s "$backup" v1.plist || fail "the backup is not the original"
  restarts "try-restart pcscd.service"
  run update.log update_ccid
  grep -q "<!-- version 2 -->" "$list" || fail "the update did not bring its list"
  halvo-readers -c > check.log || fail "the readers were not added again: $(cat check.log)"
  restarts "try-restart pcscd.service"
  cp "$list" updated.plist
  run reinstall.log reinstall_ccid
  cmp -s "$list" updated.plist || fail "after a reinstall: $(diff updated.plist "$list")"
  restarts "try-restart pcscd.service"
  bash sandbox.sh sees recognized halvo-readers "$list" > sees.log || fail "pcscd: $(cat sees.log)"
  run remove.log remove_package
  cmp -s "$list" v2.plist || fail "removal did not give back the CCID list: $(cat remove.log)"
  restarts "try-restart pcscd.service"
}
