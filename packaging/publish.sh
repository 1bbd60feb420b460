#!/usr/bin/env bash
# Makes signed repositories of the packages given, one per family, in OUT,
# a folder that any static web server can serve:
#   OUT/apt/   a flat apt repository: Packages, Release (Origin and Label
#              halvo-readers, and its Architectures), and Release signed
#              as InRelease and Release.gpg
#   OUT/rpm/   a dnf repository of packages signed with rpmsign, whose
#              repodata/repomd.xml is signed as repomd.xml.asc
#   OUT/arch/  a pacman repository "halvo-readers": signed packages and a
#              signed database
#   OUT/halvo-readers.asc   the public keys, armoured: the signing key's,
#              then each one PUBLISH_KEYS names (fingerprints, spaces
#              between), such as the key being retired while hosts move
#              to the new one
# Signs with the secret key KEY from GNUPGHOME (~/.gnupg unless set), a
# fingerprint or any name that matches that one secret key alone, which
# must need no passphrase or have one cached in gpg-agent. OUT is new,
# empty, or one that publish.sh made, which it makes afresh; it holds only
# what hosts fetch. Needs apt-ftparchive (apt-utils), rpmsign, createrepo_c
# and repo-add for the families given.
# Usage: [PUBLISH_KEYS="FINGERPRINT..."] publish.sh OUT KEY PACKAGE...
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: [PUBLISH_KEYS=\"FINGERPRINT...\"] publish.sh OUT KEY PACKAGE..."; exit 2; }
# The paths as given, before the build scripts' common part moves to the
# top of the tree.
out=$(realpath -m -- "$1") name=$2
shift 2
packages=()
for package; do
  resolved=$(realpath -e -- "$package") || exit 1
  packages+=("$resolved")
done
. "$(dirname "$0")/build-common.sh"
# The one secret key that KEY names, by its fingerprint.
key=$(gpg --batch --with-colons --list-secret-keys -- "$name" 2>/dev/null | awk -F: '/^sec/ {p = 1; next} /^fpr/ && p {print $10; p = 0}')
case $(wc -w <<<"$key") in
  1) ;;
  0) echo "publish.sh: no secret key $name in ${GNUPGHOME:-~/.gnupg}"; exit 1 ;;
  *) echo "publish.sh: $name names more than one secret key ($(echo $key)); name one by its fingerprint"; exit 1 ;;
esac
# A folder publish.sh made holds only these (and the mark of earlier versions).
shopt -s nullglob dotglob
for entry in "$out"/*; do
  case ${entry##*/} in
    apt | rpm | arch | halvo-readers.asc | "$BUILD_MARK") ;;
    *) echo "publish.sh: $out holds $entry, which publish.sh did not make; name a new folder"; exit 1 ;;
  esac
done
shopt -u nullglob dotglob
rm -rf "$out" && mkdir -p "$out"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
sign() { gpg --batch --yes --local-user "$key!" "$@"; }
for package in "${packages[@]}"; do
  case $package in
    *.deb) family=apt ;;
    *.rpm) family=rpm ;;
    *.pkg.tar.zst) family=arch ;;
    *) echo "publish.sh: not a package of a family this knows: $package"; exit 1 ;;
  esac
  mkdir -p "$out/$family" && cp "$package" "$out/$family/"
done
# shellcheck disable=SC2086 # one fingerprint a word
for fingerprint in $key ${PUBLISH_KEYS:-}; do
  exported=$(gpg --batch --armor --export -- "$fingerprint!") && [ -n "$exported" ] ||
    { echo "publish.sh: no public key $fingerprint in ${GNUPGHOME:-~/.gnupg}"; exit 1; }
  echo "$exported" >> "$out/halvo-readers.asc"
done
# Release is written beside the folder first, so that it never lists itself.
if [ -d "$out/apt" ]; then
  architectures=$(for deb in "$out"/apt/*.deb; do dpkg-deb -f "$deb" Architecture; done | sort -u | xargs)
  (cd "$out/apt" && apt-ftparchive packages . > Packages &&
    apt-ftparchive -o APT::FTPArchive::Release::Origin=halvo-readers \
      -o APT::FTPArchive::Release::Label=halvo-readers \
      -o APT::FTPArchive::Release::Architectures="$architectures" release . > "$out/Release" &&
    mv "$out/Release" Release &&
    sign --clearsign -o InRelease Release && sign --armor --detach-sign -o Release.gpg Release) ||
    { echo "publish.sh: the apt repository failed"; exit 1; }
fi
if [ -d "$out/rpm" ]; then
  logged "$logs/rpm.log" rpmsign rpmsign --addsign --define "_gpg_name $key" \
    --define "__gpg $(command -v gpg)" "$out"/rpm/*.rpm
  logged "$logs/rpm.log" createrepo_c createrepo_c "$out/rpm"
  sign --armor --detach-sign -o "$out/rpm/repodata/repomd.xml.asc" "$out/rpm/repodata/repomd.xml"
fi
if [ -d "$out/arch" ]; then
  for package in "$out"/arch/*.pkg.tar.zst; do sign --detach-sign -o "$package.sig" "$package"; done
  logged "$logs/arch.log" repo-add repo-add --sign --key "$key" "$out/arch/halvo-readers.db.tar.gz" "$out"/arch/*.pkg.tar.zst
fi
echo "$out"
