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
