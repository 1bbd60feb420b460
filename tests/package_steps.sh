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

# Puts systemd_stand_in.sh in place of systemctl, busctl and
# deb-systemd-invoke, and makes the system look booted with systemd.
stub_service_control() {
  local path
  mkdir -p /run/systemd/system
  for path in /usr/bin/systemctl /usr/bin/busctl /usr/bin/deb-systemd-invoke; do
    sed "s|@HERE@|$PWD|" systemd_stand_in.sh > "$path" && chmod +x "$path"
  done
  systemctl daemon-reload && rm restarts.log
}

# restarts CALLS: the calls noted since the last look (reloads too if named).
restarts() {
  local calls
  calls=$(cat restarts.log 2>/dev/null || :)
  [[ $1 == *daemon-reload* ]] || calls=$(grep -v daemon-reload <<<"$calls" || :)
  [ "$calls" = "$1" ] || fail "pcscd restarts (line ${BASH_LINENO[0]}): '$calls', not '$1'"
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

# keeps_readers_in_folder LIST [CCID-LIST]: the life every package test holds its
# package to where pcscd is 2.0 or later (pcscd2, put in place of the
# system's), through the steps above and add_driver, remove_driver and
# verify [PACKAGE] (the family's own check, of the CCID package by
# default): the readers kept in the package's own driver folder, the CCID
# package as it shipped at every step (untouched, with the bytes its list,
# CCID-LIST or LIST, should have), the package's own check clean too, pcscd,
# started with the drop-in's environment, recognizing the Halvo and stock
# readers there while the package is in, and every edge (pcscd_may_read,
# folder_edges).
keeps_readers_in_folder() {
  local list=$1 state
  ccid_list=${2:-$1}
  cp /usr/sbin/pcscd pcscd1
  install pcscd2 /usr/sbin/pcscd
  run install.log install_package
  state=$(state_folder)
  grep -q "read the driver folder $state/drivers" install.log || fail "not in folder mode: $(cat install.log)"
  untouched v1.plist
  [ "$(as_started env | grep PCSCLITE_HP_DROPDIR)" = "PCSCLITE_HP_DROPDIR=$state/drivers" ] ||
    fail "the drop-in does not point pcscd at $state/drivers"
  halvo-readers -c > check.log || fail "the default path is not the list pcscd reads: $(cat check.log)"
  cp /usr/bin/halvo-readers tool  # for after the removal
  as_started bash sandbox.sh sees recognized ./tool - stock > sees.log || fail "pcscd: $(cat sees.log)"
  restarts $'daemon-reload\ntry-restart pcscd.service'
  pcscd_may_read "$state"
  folder_edges "$state"
  run update.log update_ccid
  untouched v2.plist
  as_started bash sandbox.sh sees recognized ./tool - stock later > sees.log || fail "pcscd: $(cat sees.log)"
  restarts "try-restart pcscd.service"
  run driver.log add_driver
  [ -e "$state/drivers/ifd-other.bundle/Contents/Info.plist" ] || fail "a driver added later is not in the folder"
  restarts "try-restart pcscd.service"
  run no-driver.log remove_driver
  [ ! -e "$state/drivers/ifd-other.bundle" ] || fail "a driver removed is still in the folder"
  restarts "try-restart pcscd.service"
  run remove.log remove_package
  untouched v2.plist
  [ ! -e "$state" ] || fail "removal left $state: $(ls -A "$state")"
  as_started bash sandbox.sh sees unrecognized ./tool - stock later > sees.log || fail "pcscd: $(cat sees.log)"
  restarts "try-restart pcscd.service"
}

# pcscd_may_read STATE: each path pcscd walks through STATE/drivers to the
# drivers' files, labelled as refpolicy labels it (./file_contexts), may be
# searched and read by pcscd_t, and the environment file read by init_t, as
# refpolicy (./policy) allows.
pcscd_may_read() {
  local dir=$1 domain class perms path perm label
  {
    while [ -n "$dir" ]; do echo "pcscd_t dir search $dir"; dir=${dir%/*}; done
    echo "pcscd_t lnk_file read $1/drivers"
    find "$1/drivers/" -printf 'pcscd_t %Y %p\n' | sed 's/ l / lnk_file read /; s/ d / dir search,read /; s/ f / file read /'
  } | while read -r domain class perms path; do
    label=$(matchpathcon -f file_contexts -n "${path:-/}" | cut -d: -f3)
    for perm in ${perms//,/ }; do
      [ -n "$(sesearch -A -s "$domain" -t "$label" -c "$class" -p "$perm" policy)" ] ||
        fail "$domain may not $perm $class ${path:-/} ($label)"
    done
  done
}

# folder_edges STATE: with the package in, in folder mode with STATE as
# its folder: the decision; runs at once, or one that waited through a
# removal, never leave the folder dangling; the administrator's setting is
# what systemd gives; an unwritable STATE is said so; without systemd the
# mode is in-place; a
# crossing to in-place mode and back restarts pcscd once each; a list the
# tool refuses is never written, and the command the warning names mends it.
folder_edges() {
  local state=$1 keep file text want round pcscd ccid setting dropdir=${list%/ifd-ccid.bundle/*}
  keep=$(ls /usr/libexec/halvo-readers/keep-readers /usr/share/libalpm/scripts/halvo-readers 2>/dev/null || :)
  while IFS='|' read -r pcscd ccid setting want; do
    "$keep" decide "$pcscd" "$ccid" systemd "$setting" | grep -q "^$want" || fail "decide $pcscd $ccid '$setting'"
  done <<ROWS
2.0.0|1.5.1|$state/drivers|folder:
1.9.9|1.5.1|$state/drivers|in-place: pcscd 1.9.9
2.0.0|1.5.0|$state/drivers|in-place: the CCID driver 1.5.0
2.0.0|1.5.1|/opt/drv|administrator: .* reads /opt/drv,
1.9.9|1.5.2|/opt/drv|in-place: .* reads its list in /opt/drv, .* to keep.$
ROWS
  for round in 1 2 3 4 5 6 7 8; do
    "$keep" add > /dev/null & "$keep" add > /dev/null & "$keep" remove > /dev/null & wait
    [ ! -L "$state/drivers" ] || [ -e "$state/drivers" ] || fail "runs at once, round $round: drivers dangles"
    "$keep" add > /dev/null
    halvo-readers -c "$state/drivers/ifd-ccid.bundle/Contents/Info.plist" > check.log ||
      fail "runs at once, round $round: $(cat check.log)"
  done
  # A removal held in the stand-in, holding the lock, and a run waiting on it.
  mkfifo hold && "$keep" remove > /dev/null & until grep -q ":$(stat -c %i "$state") " /proc/locks; do sleep 0.1; done
  "$keep" add > waited.log & until grep -q -- "->.*:$(stat -c %i "$state") " /proc/locks; do sleep 0.1; done
  echo > hold && wait && [ ! -s waited.log ] && [ ! -e "$state/drivers" ] || fail "a run that waited: $(cat waited.log)"
  "$keep" add > /dev/null
  printf "PCSCLITE_HP_DROPDIR='/opt/drv'\n" > /etc/pcscd.local
  # A drop-in in /run that one of the same name in /etc masks never counts.
  mkdir -p /opt/drv /run/systemd/system/pcscd.service.d /etc/systemd/system/pcscd.service.d && ln -s "$dropdir"/* /opt/drv
  printf '[Service]\nEnvironment=PCSCLITE_HP_DROPDIR=/opt/drv\n' > /run/systemd/system/pcscd.service.d/masked.conf
  printf '[Service]\n' > /etc/systemd/system/pcscd.service.d/masked.conf
  while IFS='|' read -r file text want; do
    mkdir -p "${file%/*}" && printf '%b' "$text" > "$file" && systemctl daemon-reload
    "$keep" mode | grep -q "^$want" || fail "$file with $text: $("$keep" mode)"
    "$keep" add > /dev/null && [ -e "$state/drivers/ifd-ccid.bundle/Contents/Info.plist" ] || fail "$file with $text: no list"
    rm "$file"
  done <<ROWS
/etc/default/pcscd|# PCSCLITE_HP_DROPDIR=/opt/drv\n|folder:
/etc/default/pcscd|export PCSCLITE_HP_DROPDIR="/opt/drv"\n|folder:
/etc/default/pcscd|PCSCLITE_HP_DROPDIR=\n|administrator: PCSCLITE_HP_DROPDIR is set empty
/etc/default/pcscd|PCSCLITE_HP_DROPDIR=$dropdir/\n|in-place: systemd gives pcscd pcsc-lite's own
/etc/systemd/system/pcscd.service.d/local.conf|[Service]\nUnsetEnvironment=PCSCLITE_HP_DROPDIR\n|in-place: systemd gives pcscd pcsc-lite's own
/etc/systemd/system/pcscd.service.d/local.conf|[Service]\nEnvironment="PCSCLITE_HP_DROPDIR=/opt/drv"\n|administrator: .* reads /opt/drv,
/etc/systemd/system/pcscd.service.d/local.conf|[Service]\nEnvironmentFile=-/etc/pcscd.local\n|administrator: .* reads /opt/drv,
ROWS
  rm /{run,etc}/systemd/system/pcscd.service.d/masked.conf && systemctl daemon-reload && "$keep" add > /dev/null && rm -f restarts.log
  [ "$(bash sandbox.sh read-only "$state" "$keep" add)" = "halvo-readers: warning: $state cannot be written; nothing was changed." ] ||
    fail "a state folder that cannot be written: $(bash sandbox.sh read-only "$state" "$keep" add)"
  # systemd not running, or not answering: pcscd reads the twelve however it starts.
  printf 'PCSCLITE_HP_DROPDIR=%s\n' "$dropdir" > /etc/default/pcscd
  for file in /run/systemd/system /usr/bin/busctl; do
    mv "$file" "$file.away" && "$keep" add > down.log && mv "$file.away" "$file" && halvo-readers -c "$list" > check.log &&
      grep -q "^halvo-readers: systemd .*, so it cannot be asked" down.log || fail "$file away: $(cat down.log check.log)"
  done
  rm /etc/default/pcscd && "$keep" add > /dev/null && restarts "try-restart pcscd.service"
  install pcscd1 /usr/sbin/pcscd
  run cross.log "$keep" add
  restarts "try-restart pcscd.service"
  install pcscd2 /usr/sbin/pcscd
  run back.log "$keep" add
  restarts "try-restart pcscd.service"
  untouched v1.plist
  cp -p "$ccid_list" mended.plist
  echo "<key>ifdVendorID</key>" >> "$ccid_list"
  cp "$ccid_list" refused.plist
  run refused.txt "$keep" add
  cmp -s "$ccid_list" refused.plist || fail "a refused list was written"
  restarts "try-restart pcscd.service"
  cp -p mended.plist "$ccid_list"
  [ "$(sed -n "s|^halvo-readers: warning: .* to $(readlink -f "$ccid_list"); .* run: ||p" refused.txt)" = "$keep add" ] ||
    fail "the warning names no file to mend and command to run: $(cat refused.txt)"
  run mended.log "$keep" add
  halvo-readers -c > check.log || fail "the warning's command did not mend it: $(cat refused.txt check.log)"
  untouched v1.plist
  restarts "try-restart pcscd.service"
  verify halvo-readers > verify.log 2>&1 || fail "the package is not as it shipped: $(cat verify.log)"
}

# untouched BYTES: the CCID package's own check is clean, and its list holds
# BYTES (a file).
untouched() {
  verify > verify.log 2>&1 || fail "the CCID package is not as it shipped: $(cat verify.log)"
  cmp -s "$ccid_list" "$1" || fail "the CCID list is not the package's"
}

# The package's folder, whose drivers link the package's drop-in names.
state_folder() {
  sed -n 's|^Environment=PCSCLITE_HP_DROPDIR=\(.*\)/drivers$|\1|p' /usr/lib/systemd/system/pcscd.service.d/halvo-readers.conf
}

# as_started CMD...: runs CMD with the environment systemd gives pcscd.
as_started() {
  local setting
  for setting in $(busctl get-property - - - Environment | xargs -n 1 | tail -n +3); do set -- env "$setting" "$@"; done
  "$@"
}
