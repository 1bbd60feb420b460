#!/bin/sh
# Keeps the Halvo readers in the CCID driver list for the packages, whose
# hooks and scriptlets call it:
#   keep-readers.sh add LIST      adds the missing readers to LIST and, when
#                                 the list changed, restarts a running pcscd
#   keep-readers.sh restore LIST  on removal: puts the backup beside LIST
#                                 back in place when LIST is still exactly
#                                 what the tool made of it, else says why not
# LIST may be a symbolic link: the tool rewrites and backs up its target.
# It never fails, so that no package transaction stops here.
set -u
tool=/usr/bin/halvo-readers
verb=$1 list=$2

say() { echo "halvo-readers: $*"; }

restart_pcscd() {
  if [ -d /run/systemd/system ]; then
    systemctl try-restart pcscd.service >/dev/null 2>&1 || :
  fi
}

add() {
  work=$(mktemp -d) || return 0
  cp -p "$real" "$work/before"
  status=0
  "$tool" -i "$list" || status=$?
  if [ "$status" -ne 0 ]; then
    say "warning: the Halvo readers could not be added to $list; see the lines above. Once the list is mended, run: halvo-readers -i $list"
  elif ! cmp -s "$work/before" "$real"; then
    restart_pcscd
  fi
  rm -rf "$work"
}

restore() {
  backup=$real.backup
  if [ ! -f "$backup" ]; then
    say "no backup at $backup; $list stays as it is."
    return 0
  fi
  work=$(mktemp -d) || return 0
  cp "$backup" "$work/Info.plist"
  "$tool" -i "$work/Info.plist" >/dev/null 2>&1
  if cmp -s "$work/Info.plist" "$real"; then
    mv -f "$backup" "$real" && say "$list is the CCID package's own list again." &&
      restart_pcscd
  else
    say "$list changed since the Halvo readers were added; it stays as it is (the list before them is $backup)."
  fi
  rm -rf "$work"
}

if [ ! -e "$list" ]; then
  say "no CCID driver list at $list (the CCID package is not installed); nothing to do."
  exit 0
fi
real=$(readlink -f "$list")
case "$verb" in
  add) add ;;
  restore) restore ;;
  *) say "usage: keep-readers.sh add|restore LIST" ;;
esac
exit 0
