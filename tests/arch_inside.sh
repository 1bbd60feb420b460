#!/usr/bin/env bash
# Inside the overlay: the Arch package's life with the real pacman.
set -eu
list=$1
. ./package_steps.sh
printf '[options]\nArchitecture = auto\nSigLevel = Never\n' > pacman.conf
mkdir -p /tmp/pacdb
pacman="pacman --root / --dbpath /tmp/pacdb --config pacman.conf --cachedir /tmp --logfile /tmp/pacman.log --noconfirm"
stub_service_control
# As Arch's systemd package does once a transaction changed unit files.
mkdir -p /usr/share/libalpm/hooks && printf '[Trigger]\nType = Path\nOperation = Install\nOperation = Upgrade\nOperation = Remove\nTarget = usr/lib/systemd/system/*\n[Action]\nDescription = Reloading system manager configuration...\nWhen = PostTransaction\nExec = /usr/bin/systemctl daemon-reload\n' \
  > /usr/share/libalpm/hooks/30-systemd-daemon-reload.hook
# The machine's own CCID package holds the same files.
rm -f /etc/libccid_Info.plist "$list"
run ccid-1.log $pacman -U ccid-1.pkg.tar.zst
cmp -s "$list" v1.plist || fail "the stand-in did not install its list"
# Its dependencies are the system's own, which this database does not hold.
install_package() { $pacman -U --nodeps --nodeps halvo-readers.pkg.tar.zst; }
update_ccid() { $pacman -U ccid-2.pkg.tar.zst; }
reinstall_ccid() { $pacman -U ccid-2.pkg.tar.zst; }
remove_package() { $pacman -R halvo-readers; }
if [ "$2" = folder ]; then
  add_driver() { $pacman -U ccid-other.pkg.tar.zst; }
  remove_driver() { $pacman -R ccid-other; }
  verify() { $pacman -Qkk "${1:-ccid}"; }
  keeps_readers_in_folder "$list"
else
  keeps_readers "$list" "$list.backup"
fi
! grep -il "error" ./*.log || fail "a hook reported an error"
echo ok
