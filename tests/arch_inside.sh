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
  # From a signed repository, pacman requiring every signature; another
  # key's or a tampered database is refused.
  pacman_from() {
    printf '[options]\nArchitecture = auto\n[halvo-readers]\nSigLevel = Required\nServer = file://%s/arch\n' "$PWD/$1" > repo.conf
    timeout 120 ${pacman/pacman.conf/repo.conf} --gpgdir /tmp/pacman-keys -Syydd halvo-readers
  }
  keys="pacman-key --gpgdir /tmp/pacman-keys"
  run keys.out $keys --init && sed -i '/^keyserver/d' /tmp/pacman-keys/gpg.conf && run keys.out $keys --add repo/halvo-readers.asc
  run keys.out $keys --lsign-key repo@halvo-readers.invalid && run pacman.out pacman_from repo
  cp repo/arch/halvo-readers.db.tar.gz repo.db && ! pacman_from other > refused.out 2>&1 &&
    echo >> repo/arch/halvo-readers.db.tar.gz && ! pacman_from repo > refused.out 2>&1 ||
    fail "pacman took another key's repository or a tampered database"
  # A rotation to other's key, whose repository publishes the old key and the new: a host given that
  # file, each key locally signed, trusts both repositories, then, the old key retired, the new alone.
  fingerprints() { gpg --show-keys --with-colons "$1" 2>/dev/null | awk -F: '/^pub/ {p = 1; next} /^fpr/ && p {print $10; p = 0}'; }
  old=$(fingerprints repo/halvo-readers.asc) && run keys.out $keys --delete "$old" && run keys.out $keys --add other/halvo-readers.asc &&
    fingerprints other/halvo-readers.asc | xargs -n 1 $keys --lsign-key > keys.out 2>&1 &&
    cp repo.db repo/arch/halvo-readers.db.tar.gz && run pacman.out pacman_from repo && run pacman.out pacman_from other &&
    run keys.out $keys --delete "$old" && run pacman.out pacman_from other &&
    ! pacman_from repo > refused.out 2>&1 || fail "a rotation: $(cat keys.out refused.out)"
fi
! grep -il "error" ./*.log || fail "a hook reported an error"
echo ok
