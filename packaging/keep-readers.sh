#!/bin/sh
# Keeps the Halvo readers where pcscd reads them, for the packages, whose
# hooks and scriptlets call it.
#   keep-readers add      keeps the readers in the mode that decide picks
#   keep-readers remove [--no-restart]
#                         on the package's removal: takes away all it made,
#                         and gives the CCID package its list back
#   keep-readers mode     prints the mode, a colon, and why
#   keep-readers decide PCSCD CCID INIT FOLDER
#                         prints the mode for these, as decide below
# The package's systemd drop-in sets PCSCLITE_HP_DROPDIR to STATE/drivers,
# a link that always leads to the folder pcscd must read; systemd's own
# precedence lets an administrator's setting win, and this helper asks
# systemd which one pcscd gets, never reading unit files itself.
# Folder mode, only where systemd answered that pcscd gets the drop-in's
# value, and pcscd (2.0) and the CCID driver (1.5.1) read it: the readers
# are kept in a driver folder of this package's own, and no file of the
# CCID package is changed. In-place mode elsewhere, and wherever systemd
# cannot be asked: the CCID list in pcsc-lite's folder gets the readers
# (Debian: a copy of libccid's list, which its diverted link leads to),
# and STATE/drivers leads there, so pcscd reads them however it starts.
# Administrator mode: an administrator's own folder is left alone. On
# Debian the diverted link never leads into a folder an administrator
# names, which may lead back to it. Each try-restarts a running pcscd once
# when what it reads changed (remove --no-restart leaves that to its
# caller). It never fails, so that no package transaction stops here; one
# run at a time.
set -u
PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
tool=/usr/bin/halvo-readers
# Filled in by the family's build: this package's folder under the library
# folder, the CCID list in pcsc-lite's driver folder, and the CCID package's
# own list (the same file, but on Debian: libccid's, behind the diverted link).
state=@STATE@
list=@LIST@
source=@SOURCE@
# Debian's list, the one its link leads to.
live=$state/Info.plist
# Where earlier versions kept all this.
legacy=/var/lib/halvo-readers
bundle=${list%/Contents/Info.plist}
dropdir=${bundle%/*}

say() { echo "halvo-readers: $*"; }

# True when version $1 is $2 or later.
at_least() {
  [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | head -n 1)" = "$2" ]
}

# True when the folders $1 and $2 are one, however each is written.
same_folder() {
  [ "$(realpath -m "$1")" = "$(realpath -m "$2")" ]
}

# decide PCSCD CCID INIT FOLDER: the mode for these versions of pcscd and
# the CCID driver, as "MODE: why". INIT is systemd where systemd answered,
# then FOLDER is the PCSCLITE_HP_DROPDIR it gives pcscd (STATE/drivers
# where the drop-in's stands, pcsc-lite's folder where it is unset, empty
# where it is set empty); down where it does not run, silent where it did
# not answer. The versions come first: pcscd before 2.0 ignores the
# variable. Touches nothing.
decide() {
  folder=${4%/}
  if [ "$3" != systemd ]; then
    why="systemd is not running here (no systemd, or a container, a chroot or an image being built)"
    [ "$3" != silent ] || why="systemd did not answer over D-Bus"
    echo "in-place: $why, so it cannot be asked which driver folder pcscd gets; the Halvo readers go into the CCID list in pcsc-lite's driver folder, which pcscd reads when it is started on its own or by systemd with this package's drop-in."
  elif [ -z "$1" ] || ! at_least "$1" 2.0.0; then
    theirs=
    [ -z "$4" ] || [ "$folder" = "$state/drivers" ] || same_folder "$4" "$dropdir" ||
      theirs=" The CCID driver reads its list in $4, which PCSCLITE_HP_DROPDIR names: that list is its administrator's to keep."
    echo "in-place: pcscd ${1:-(not installed)} reads pcsc-lite's driver folder alone (before 2.0), so the Halvo readers go into the CCID list it reads there.$theirs"
  elif [ "$folder" = "$state/drivers" ] && { [ -z "$2" ] || ! at_least "$2" 1.5.1; }; then
    echo "in-place: the CCID driver ${2:-(of no stated version)} reads its list in pcsc-lite's driver folder alone (before 1.5.1), so the Halvo readers go into the CCID list there."
  elif [ "$folder" = "$state/drivers" ]; then
    echo "folder: pcscd $1 and the CCID driver $2 read the driver folder $state/drivers, which holds the Halvo readers; no file of the CCID package is changed."
  elif [ -z "$4" ]; then
    echo "administrator: PCSCLITE_HP_DROPDIR is set empty for pcscd.service, so pcscd reads no driver folder and finds no reader at all; the CCID package's list is left as it is."
  elif same_folder "$4" "$dropdir"; then
    echo "in-place: systemd gives pcscd pcsc-lite's own driver folder, so the Halvo readers go into the CCID list there."
  else
    echo "administrator: PCSCLITE_HP_DROPDIR is set for pcscd.service: pcscd reads $4, whose CCID list is its administrator's to keep; halvo-readers -c $folder/ifd-ccid.bundle/Contents/Info.plist checks it."
  fi
}

pcscd_version() {
  pcscd --version 2>/dev/null | sed -n 's/^pcsc-lite version \([0-9][0-9.]*[0-9]\).*/\1/p'
}

ccid_version() {
  sed -n '/<key>CFBundleShortVersionString<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;}' "$1" 2>/dev/null
}

# "=VALUE" for the PCSCLITE_HP_DROPDIR that the environment file $1 (one
# that systemd names) sets, as systemd reads it: comments skipped, quotes
# and a CR taken off, a line with "export" ignored, the last one winning.
file_setting() {
  sed -n -e 's/\r$//' -e 's/^[[:space:]]*PCSCLITE_HP_DROPDIR=/=/' -e T \
    -e 's/[[:space:]]*$//' -e 's/^="\(.*\)"$/=\1/' -e "s/^='\\(.*\\)'\$/=\\1/" -e p "$1" 2>/dev/null |
    tail -n 1
}

# pcscd.service's property $1 as systemd holds it, asked over D-Bus (which
# keeps a value with a space whole): its type, then each word a line, the
# quotes taken off. Fails where systemd cannot be asked.
unit_property() {
  answer=$(busctl get-property org.freedesktop.systemd1 \
    /org/freedesktop/systemd1/unit/pcscd_2eservice org.freedesktop.systemd1.Service "$1" 2>/dev/null) ||
    return 1
  printf '%s\n' "$answer" | xargs -n 1 printf '%s\n' 2>/dev/null
}

# How systemd answers for pcscd.service, as "INIT FOLDER" for decide:
# "systemd" and the folder its PCSCLITE_HP_DROPDIR names, from its
# environment as systemd merged its unit and drop-ins, then the environment
# files systemd names, each over what came before, unless its
# UnsetEnvironment takes the variable away; "down " or "silent " where
# systemd cannot be asked.
systemd_setting() {
  if [ ! -d /run/systemd/system ]; then echo "down "; return; fi
  if ! assigned=$(unit_property Environment) || ! files=$(unit_property EnvironmentFiles) ||
     ! unset=$(unit_property UnsetEnvironment); then
    echo "silent "
    return
  fi
  value=$(printf '%s\n' "$assigned" | sed -n 's/^PCSCLITE_HP_DROPDIR=/=/p' | tail -n 1)
  while IFS= read -r file; do
    from_file=$(file_setting "$file")
    [ -z "$from_file" ] || value=$from_file
  done <<FILES
$(printf '%s\n' "$files" | grep '^/')
FILES
  ! printf '%s\n' "$unset" | grep -qxF -e PCSCLITE_HP_DROPDIR -e "PCSCLITE_HP_DROPDIR$value" || value=
  value=${value:-=$dropdir}
  echo "systemd ${value#=}"
}

# The mode this system allows, with why, given systemd's answer $1.
mode() {
  decide "$(pcscd_version)" "$(ccid_version "$source")" "${1%% *}" "${1#* }"
}

# True on Debian, where the list pcscd reads is a copy of the CCID
# package's, reached through its diverted link.
copies() {
  [ "$source" != "$list" ]
}

# Has systemd read its unit files again where it says pcscd's changed, so
# that what it answers, and what it starts pcscd with, is what they say.
reload_systemd() {
  [ -d /run/systemd/system ] || return 0
  [ "$(systemctl show pcscd.service -p NeedDaemonReload --value 2>/dev/null)" != yes ] ||
    systemctl daemon-reload >/dev/null 2>&1 || :
}

# Only a running pcscd, only under systemd, once systemd has read its unit
# files, and from dpkg's maintainer scripts as policy-rc.d allows.
restart_pcscd() {
  [ -d /run/systemd/system ] || return 0
  if [ -n "${DPKG_MAINTSCRIPT_PACKAGE:-}" ]; then
    deb-systemd-invoke try-restart pcscd.service >/dev/null 2>&1 || :
  else
    systemctl try-restart pcscd.service >/dev/null 2>&1 || :
  fi
}

# What a driver folder holds: each entry with what it links to, and the
# CCID list's bytes.
describe() {
  (cd "$1" 2>/dev/null && find . -printf '%p %l\n' | sort && cat ifd-ccid.bundle/Contents/Info.plist 2>/dev/null)
}

# What pcscd reads when it starts: the folder STATE/drivers leads to, which
# the drop-in names, and pcsc-lite's own.
pcscd_reads() {
  readlink "$state/drivers" 2>/dev/null
  describe "$state/drivers"
  describe "$dropdir"
}

# Links STATE/drivers to $1, replacing what it linked to in one rename.
point_at() {
  ln -sfn "$1" "$state/drivers.link" && mv -T "$state/drivers.link" "$state/drivers"
}

# Says what to mend in the list $1 that the tool refused, and what to run
# then, the same in every family and mode.
refused() {
  say "warning: the Halvo readers could not be added to $1; see the lines above. Once it is mended, run: $0 add"
}

# Adds the readers to the file $1, a copy of $2, whose name the tool's
# lines then carry; returns 1, having said what to do, when it is refused.
# An install the tool ended half-way has its new list in place, and says so.
add_readers() {
  status=0
  report=$("$tool" -i "$1") || status=$?
  printf '%s\n' "$report" | sed "s|$1|$2|g"
  case $report in *"The new file is in place at "*) return 0 ;; esac
  [ "$status" -eq 0 ] || refused "$(readlink -f "$2")"
  return "$status"
}

# Fills $1, a new driver folder: a link to each of pcsc-lite's drivers but
# the CCID bundle, and a CCID bundle whose list is $2 with the readers
# added (or as it is, where the tool refuses it), and whose other entries
# link to the packaged bundle's. Prints the tool's lines; returns 1 at the
# first step that fails.
fill_folder() {
  contents=$1/ifd-ccid.bundle/Contents
  mkdir -p "$contents" && chmod 0755 "$1" "$1/ifd-ccid.bundle" "$contents" || return 1
  for entry in "$dropdir"/* "$bundle"/Contents/*; do
    case $entry in
      "$bundle" | "$bundle"/Contents/Info.plist*) ;;
      "$bundle"/Contents/*) ln -s "$entry" "$contents/${entry##*/}" || return 1 ;;
      *) [ ! -e "$entry" ] || ln -s "$entry" "$1/${entry##*/}" || return 1 ;;
    esac
  done
  cp "$2" "$contents/Info.plist" && chmod 0644 "$contents/Info.plist" || return 1
  add_readers "$contents/Info.plist" "$2" || ln -sf "$(readlink -f "$2")" "$contents/Info.plist" || return 1
  rm -f "$contents/Info.plist.backup"
}

# Takes away the driver folders but $1, and what earlier versions made (the
# file that pointed pcscd at the folder, and the lock).
clear_folders() {
  rm -f "$state/pcscd.env" "$state/lock"
  for folder in drivers.a drivers.b; do
    [ "$folder" = "${1:-}" ] || rm -rf "${state:?}/$folder"
  done
}

# Folder mode: a new driver folder made from $1 beside the one pcscd reads
# (the other of drivers.a and drivers.b, whatever an earlier run left
# there), and put in its place by one rename of the link.
to_folder() {
  current=$(readlink "$state/drivers" 2>/dev/null)
  new=drivers.a
  [ "$current" != drivers.a ] || new=drivers.b
  rm -rf "${state:?}/$new"
  if ! report=$(fill_folder "$state/$new" "$1"); then
    rm -rf "${state:?}/$new"
    say "warning: could not make a driver folder in $state; pcscd reads what it read before."
    return
  fi
  if [ "$current" != "${current#drivers.}" ] && [ "$(describe "$state/$new")" = "$(describe "$state/drivers")" ]; then
    rm -rf "${state:?}/$new"
    clear_folders "$current"
    return
  fi
  [ -z "$report" ] || printf '%s\n' "$report"
  if ! point_at "$new"; then
    rm -rf "${state:?}/$new"
    return
  fi
  clear_folders "$new"
}

# In-place mode on Debian: the list libccid's link leads to is a copy of
# libccid's own with the readers added; on a refusal pcscd keeps the one it
# has, or reads libccid's own.
in_copy() {
  cp "$source" "$live.new" && chmod 0644 "$live.new" || return
  if ! add_readers "$live.new" "$source" && [ -f "$live" ] && [ ! -L "$live" ]; then
    rm -f "$live.new"
  elif cmp -s "$live.new" "$live"; then
    rm -f "$live.new"
  else
    mv -f "$live.new" "$live"
  fi
  rm -f "$live.new.backup"
}

# Puts the backup beside the CCID list back when the list is still what the
# tool made of it, or removes it when the CCID package has since replaced
# the list (it lacks the readers again); returns 1 when there is none.
give_back() {
  real=$(readlink -f "$list")
  [ -f "$real.backup" ] || return 1
  copy=$(mktemp) || return 0
  cp "$real.backup" "$copy"
  "$tool" -i "$copy" >/dev/null 2>&1
  if cmp -s "$copy" "$real"; then
    mv -f "$real.backup" "$real" && say "$list is the CCID package's own list again."
  elif ! "$tool" -c "$real" >/dev/null 2>&1; then
    rm -f "$real.backup" && say "$list was replaced since the Halvo readers were added; their backup $real.backup is removed."
  else
    say "$list changed since the Halvo readers were added; it stays as it is (the list before them is $real.backup)."
  fi
  rm -f "$copy" "$copy.backup"
}

keep() {
  answer=$(systemd_setting)
  how=$(mode "$answer")
  say "${how#*: }"
  case ${how%%:*} in
    folder)
      copies || give_back
      to_folder "$source"
      link=drivers/ifd-ccid.bundle/Contents/Info.plist ;;
    administrator)
      copies || give_back
      setting=${answer#* }
      point_at "${setting:-$dropdir}"
      clear_folders
      link=$source ;;
    *)
      point_at "$dropdir"
      clear_folders
      if copies; then in_copy; else add_readers "$list" "$list" || :; fi
      return ;;
  esac
  # On Debian libccid's diverted link leads on to the folder's list, or to
  # libccid's own: never into a folder an administrator names.
  ! copies || { ln -sfn "$link" "$live.link" && mv -T "$live.link" "$live"; }
}

# Nothing of this package's leads pcscd anywhere but pcsc-lite's folder.
clear_away() {
  point_at "$dropdir"
  clear_folders
  ! copies || rm -f "$live"
}

take_away() {
  clear_away
  copies || give_back || :
}

# Runs $1 holding the lock (on STATE itself), so that runs take turns, and
# restarts pcscd once if what it reads changed, unless $2 says the caller
# will. A removal puts a new, empty STATE in place once the link the
# drop-in names goes (after the restart, or before it on Debian, whose
# postrm restarts): a run that waited for it then holds a folder no longer
# there, and does nothing.
run_locked() {
  if ! mkdir -p "$state" 2>/dev/null || ! chmod 0755 "$state" 2>/dev/null; then
    say "warning: $state cannot be written; nothing was changed."
    return
  fi
  { flock 9 2>/dev/null
    [ "$(stat -L -c %d:%i /dev/fd/9)" = "$(stat -c %d:%i "$state" 2>/dev/null)" ] && locked "$@"; } 9< "$state"
}

locked() {
  reload_systemd
  before=$(pcscd_reads)
  "$1"
  [ "$legacy" = "$state" ] || rm -rf "$legacy"
  [ "$(pcscd_reads)" = "$before" ] || [ "${2:-}" = --no-restart ] || restart_pcscd
  [ "$1" != take_away ] || { rm -f "$state/drivers"; mv -T "$state" "$state.gone" &&
    mkdir -m 0755 "$state" && rmdir "$state.gone"; }
}

case ${1:-} in
  add)
    if [ -e "$source" ]; then
      run_locked keep
    else
      say "no CCID driver list at $source (the CCID package is not installed); nothing to do."
      # A folder of this package's own would lead to a driver that is gone.
      run_locked clear_away
    fi ;;
  remove) run_locked take_away "${2:-}" ;;
  mode) mode "$(systemd_setting)" ;;
  decide) decide "${2:-}" "${3:-}" "${4:-}" "${5:-}" ;;
  *) say "usage: keep-readers add | remove [--no-restart] | mode | decide PCSCD CCID INIT FOLDER" ;;
esac
exit 0
