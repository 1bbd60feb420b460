#!/bin/sh
# Keeps the Halvo readers where pcscd reads them, for the packages, whose
# hooks and scriptlets call it. LIST is the CCID list in pcsc-lite's driver
# folder. Where pcscd is 2.0 or later and the CCID driver 1.5.1 or later,
# both take their driver folder from PCSCLITE_HP_DROPDIR: the readers are
# then kept in a driver folder of this package's own, and no file of the
# CCID package is changed (folder mode). Elsewhere the CCID list itself is
# rewritten, its old bytes kept beside it (in-place mode). Either way
# STATE/drivers links to the folder pcscd reads, so the tool's default path,
# STATE/drivers/ifd-ccid.bundle/Contents/Info.plist, is the list pcscd
# reads.
#   keep-readers.sh add LIST     keeps the readers in the mode this system
#                                allows, leaving the other mode's files
#   keep-readers.sh restore LIST on removal: points pcscd at pcsc-lite's
#                                folder again, and puts the backup beside
#                                LIST back when LIST is still exactly what
#                                the tool made of it, else says why not
#   keep-readers.sh mode LIST    prints "folder", or the line naming the
#                                in-place mode and why
#   keep-readers.sh folder LIST SOURCE
#                                folder mode, its list made from SOURCE
#                                (Debian: libccid's own list)
#   keep-readers.sh unfold LIST [FOLDER]
#                                leaves folder mode: STATE/drivers links to
#                                FOLDER, or is removed without one
# Each restarts a running pcscd when what it reads changed (unfold leaves
# that to its caller). It never fails, so that no package transaction stops
# here.
set -u
PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
tool=/usr/bin/halvo-readers
state=/var/lib/halvo-readers
# Named in the systemd drop-in the packages install: it sets
# PCSCLITE_HP_DROPDIR, and stands exactly while the folder does.
environment=$state/pcscd.env
verb=$1 list=$2
bundle=${list%/Contents/Info.plist}
dropdir=${bundle%/*}

say() { echo "halvo-readers: $*"; }

# Only a running pcscd, only under systemd, and from dpkg's maintainer
# scripts as policy-rc.d allows.
restart_pcscd() {
  if [ -d /run/systemd/system ] && [ -n "${DPKG_MAINTSCRIPT_PACKAGE:-}" ]; then
    deb-systemd-invoke try-restart pcscd.service >/dev/null 2>&1 || :
  elif [ -d /run/systemd/system ]; then
    systemctl try-restart pcscd.service >/dev/null 2>&1 || :
  fi
}

# True when version $1 is $2 or later.
at_least() {
  [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | head -n 1)" = "$2" ]
}

# The administrator's own PCSCLITE_HP_DROPDIR, where they set one: the file
# that sets it, then the folder.
administrators_folder() {
  for file in /etc/default/pcscd /etc/sysconfig/pcscd \
      /etc/systemd/system/pcscd.service.d/*.conf /run/systemd/system/pcscd.service.d/*.conf; do
    value=$(sed -n 's/.*PCSCLITE_HP_DROPDIR=\([^" ]*\).*/\1/p' "$file" 2>/dev/null | tail -n 1)
    if [ -n "$value" ]; then
      echo "$file $value"
      return
    fi
  done
}

# Prints the mode this system allows for LIST ($1): "folder", "in-place"
# or "administrator", a colon, and why.
mode() {
  pcscd=$(pcscd --version 2>/dev/null | sed -n 's/^pcsc-lite version \([0-9][0-9.]*[0-9]\).*/\1/p')
  ccid=$(sed -n '/<key>CFBundleShortVersionString<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;}' "$1" 2>/dev/null)
  admin=$(administrators_folder)
  if [ -n "$admin" ]; then
    echo "administrator: PCSCLITE_HP_DROPDIR is set in ${admin% *}: pcscd reads ${admin#* }, which this package leaves to its administrator."
  elif [ -z "$pcscd" ] || ! at_least "$pcscd" 2.0.0; then
    echo "in-place: pcscd ${pcscd:-(not installed)} reads pcsc-lite's driver folder alone (before 2.0), so the Halvo readers go into the CCID list it reads there."
  elif [ -z "$ccid" ] || ! at_least "$ccid" 1.5.1; then
    echo "in-place: the CCID driver ${ccid:-(of no stated version)} reads its list in pcsc-lite's driver folder alone (before 1.5.1), so the Halvo readers go into the CCID list there."
  else
    echo "folder: pcscd $pcscd and the CCID driver $ccid read the driver folder $state/drivers, which holds the Halvo readers; no file of the CCID package is changed."
  fi
}

# Links $state/drivers to $1, replacing what it linked to in one rename.
point_at() {
  ln -sfn "$1" "$state/drivers.link" && mv -T "$state/drivers.link" "$state/drivers"
}

# What a driver folder holds: each entry with what it links to, and the
# CCID list's bytes.
describe() {
  (cd "$1" 2>/dev/null && find . -printf '%p %l\n' | sort && cat ifd-ccid.bundle/Contents/Info.plist)
}

# Fills the new folder: links to pcsc-lite's drivers and to the CCID
# bundle's Contents but its list, and a copy of SOURCE ($1) as that list.
# Returns 1 at the first step that fails.
fill_folder() {
  mkdir -p "$contents" && chmod 0755 "$new" "$new/ifd-ccid.bundle" "$contents" || return 1
  for entry in "$dropdir"/* "$bundle"/Contents/*; do
    case $entry in
      "$bundle" | "$bundle"/Contents/Info.plist*) ;;
      "$bundle"/Contents/*) ln -s "$entry" "$contents/${entry##*/}" || return 1 ;;
      *) [ ! -e "$entry" ] || ln -s "$entry" "$new/${entry##*/}" || return 1 ;;
    esac
  done
  cp "$1" "$contents/Info.plist" && chmod 0644 "$contents/Info.plist"
}

# Makes a driver folder, $new, beside the current one, from SOURCE ($1),
# with the readers added to its list. Returns 1, having said so and left
# nothing behind, when it cannot be made.
make_folder() {
  new=$(mktemp -d "$state/drivers.XXXXXX") || return 1
  contents=$new/ifd-ccid.bundle/Contents
  if ! fill_folder "$1"; then
    rm -rf "$new"
    say "warning: could not make a driver folder in $state; pcscd reads what it read before."
    return 1
  fi
  if ! report=$("$tool" -i "$contents/Info.plist"); then
    # pcscd then works as it would without this package.
    printf '%s\n' "$report" | sed "s|$contents/Info.plist|$1|g"
    say "warning: the Halvo readers could not be added to $1; see the lines above. pcscd reads it as it is. Once the list is mended, run: $0 add $list"
    ln -sf "$(readlink -f "$1")" "$contents/Info.plist"
    report=
  fi
  rm -f "$contents/Info.plist.backup"
}

# Folder mode: the readers in a driver folder of this package's own, made
# whole beside the one pcscd reads and put in its place by one rename.
folder() {
  mkdir -p "$state" && chmod 0755 "$state"
  make_folder "$1" || return 0
  if [ -e "$environment" ] && [ "$(describe "$new")" = "$(describe "$state/drivers")" ]; then
    rm -rf "$new"
    return 0
  fi
  [ -z "$report" ] || printf '%s\n' "$report"
  # The old folder goes only once the link has left it.
  if ! point_at "${new##*/}"; then
    rm -rf "$new"
    return 0
  fi
  printf 'PCSCLITE_HP_DROPDIR=%s\n' "$state/drivers" > "$environment.new" &&
    chmod 0644 "$environment.new" && mv -f "$environment.new" "$environment"
  for old in "$state"/drivers.??????; do
    [ "$old" = "$new" ] || rm -rf "$old"
  done
  restart_pcscd
}

# Leaves folder mode: pcscd reads pcsc-lite's folder again.
unfold() {
  rm -f "$environment"
  if [ -n "${1:-}" ]; then point_at "$1"; else rm -f "$state/drivers"; fi
  rm -rf "$state"/drivers.??????
}

add() {
  work=$(mktemp -d) || return 0
  cp -p "$real" "$work/before"
  status=0
  "$tool" -i "$list" || status=$?
  [ "$status" -eq 0 ] ||
    say "warning: the Halvo readers could not be added to $list; see the lines above. Once the list is mended, run: halvo-readers -i $list"
  # An install that ended half-way changed the list all the same.
  cmp -s "$work/before" "$real" || restart_pcscd
  rm -rf "$work"
}

# Puts the backup beside LIST back when LIST is still what the tool made of
# it; returns 1 when there was none.
give_back() {
  backup=$real.backup
  [ -f "$backup" ] || return 1
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

keep() {
  how=$(mode "$list") admin=$(administrators_folder)
  say "${how#*: }"
  was_folder=$([ -e "$environment" ] && echo 1)
  case ${how%%:*} in
    folder) give_back; folder "$list"; return ;;
    administrator) give_back; unfold "${admin#* }" ;;
    *) mkdir -p "$state" && unfold "$dropdir" && add ;;
  esac
  [ -z "$was_folder" ] || restart_pcscd
}

restore() {
  was_folder=$([ -e "$environment" ] && echo 1)
  unfold
  if [ -n "$was_folder" ]; then
    restart_pcscd
  elif [ -e "$list" ] && ! give_back; then
    say "no backup at $real.backup; $list stays as it is."
  fi
}

real=$(readlink -f "$list")
if [ ! -e "${3:-$list}" ] && [ "$verb" != restore ] && [ "$verb" != unfold ]; then
  say "no CCID driver list at ${3:-$list} (the CCID package is not installed); nothing to do."
  # A folder of this package's own would link a driver that is gone.
  if [ -e "$environment" ]; then unfold "$dropdir"; restart_pcscd; fi
  exit 0
fi
case "$verb" in
  add) keep ;;
  restore) restore ;;
  mode) mode "$list" ;;
  folder) folder "$3" ;;
  unfold) unfold "${3:-}" ;;
  *) say "usage: keep-readers.sh add|restore|mode|folder|unfold LIST" ;;
esac
exit 0
