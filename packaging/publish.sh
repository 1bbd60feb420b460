#!/usr/bin/env bash
# Makes signed repositories of the packages given, one per family, in OUT,
# a folder that any static web server can serve:
#   OUT/apt/   a flat apt repository: Packages, Release, and Release signed
#              as InRelease and Release.gpg
#   OUT/rpm/   a dnf repository of packages signed with rpmsign, whose
#              repodata/repomd.xml is signed as repomd.xml.asc
#   OUT/arch/  a pacman repository "halvo-readers": signed packages and a
#              signed database
#   OUT/halvo-readers.asc   the public key, armoured
# Signs with the secret key KEY-ID from GNUPGHOME (~/.gnupg unless set),
# which must need no passphrase or have one cached in gpg-agent. Needs
# apt-ftparchive (apt-utils), rpmsign, createrepo_c and repo-add for the
# families given.
# Usage: publish.sh OUT KEY-ID PACKAGE...
. "$(dirname "$0")/build-common.sh"
[ $# -ge 3 ] || { echo "usage: publish.sh OUT KEY-ID PACKAGE..."; exit 2; }
out=$(fresh_folder "$1")
key=$2
shift 2
sign() { gpg --batch --yes --local-user "$key" "$@"; }
for package; do
  case $package in
    *.deb) family=apt ;;
    *.rpm) family=rpm ;;
    *.pkg.tar.zst) family=arch ;;
    *) echo "publish.sh: not a package of a family this knows: $package"; exit 1 ;;
  esac
  mkdir -p "$out/$family" && cp "$package" "$out/$family/"
done
gpg --batch --armor --export "$key" > "$out/halvo-readers.asc"
[ -s "$out/halvo-readers.asc" ] || { echo "publish.sh: no public key $key in ${GNUPGHOME:-~/.gnupg}"; exit 1; }
if [ -d "$out/apt" ]; then
  (cd "$out/apt" && apt-ftparchive packages . > Packages && apt-ftparchive release . > Release &&
    sign --clearsign -o InRelease Release && sign --armor --detach-sign -o Release.gpg Release) ||
    { echo "publish.sh: the apt repository failed"; exit 1; }
fi
if [ -d "$out/rpm" ]; then
  logged "$out/rpm.log" rpmsign rpmsign --addsign --define "_gpg_name $key" \
    --define "__gpg $(command -v gpg)" "$out"/rpm/*.rpm
  logged "$out/rpm.log" createrepo_c createrepo_c "$out/rpm"
  sign --armor --detach-sign -o "$out/rpm/repodata/repomd.xml.asc" "$out/rpm/repodata/repomd.xml"
fi
if [ -d "$out/arch" ]; then
  for package in "$out"/arch/*.pkg.tar.zst; do sign --detach-sign -o "$package.sig" "$package"; done
  logged "$out/arch.log" repo-add repo-add --sign --key "$key" "$out/arch/halvo-readers.db.tar.gz" "$out"/arch/*.pkg.tar.zst
fi
rm -f "$out"/*.log
echo "$out"
