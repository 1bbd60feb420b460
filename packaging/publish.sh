#!/usr/bin/env bash
# Makes signed repositories of the packages given, one per release, in OUT,
# a folder that any static web server can serve:
#   OUT/apt/   an apt repository, a suite for each codename: the packages in
#              pool/CODENAME/, and dists/CODENAME/ with main's Packages
#              and Release (Origin and Label halvo-readers, Suite and
#              Codename, Architectures), signed as InRelease and Release.gpg
#   OUT/rpm/DIST/  a dnf repository for each dist tag (fc43, el9) of
#              packages signed with rpmsign, whose repodata/repomd.xml is
#              signed as repomd.xml.asc
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
# what hosts fetch. Each package says its release: a .deb by +debNN or
# +ubuntuYY.MM at the end of its version, an .rpm by the dist tag of its
# Release; two different packages of one name for one repository are
# refused. Needs distro-info-data, and apt-ftparchive (apt-utils), rpmsign,
# createrepo_c and repo-add for the families given.
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
shopt -u dotglob
rm -rf "$out" && mkdir -p "$out"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
sign() { gpg --batch --yes --local-user "$key!" "$@"; }
# The repository a package goes to, by its family and the release it says
# it is for: apt/pool/CODENAME, the codename that distro-info-data gives
# the +debNN or +ubuntuYY.MM its version ends in; rpm/DIST, for the 1.DIST
# of its Release; arch, a rolling release's one. Empty where it says none.
repository() {
  local version release=
  case $1 in
    *.deb)
      version=$(dpkg-deb -f "$1" Version) || return 1
      case $version in
        *+deb[0-9]*) release=$(awk -F, -v v="${version##*+deb}" '$1 == v {print $3}' /usr/share/distro-info/debian.csv) ;;
        *+ubuntu[0-9]*) release=$(awk -F, -v v="${version##*+ubuntu}" '$1 == v || $1 == v " LTS" {print $3}' /usr/share/distro-info/ubuntu.csv) ;;
      esac
      [ -z "$release" ] || echo "apt/pool/$release" ;;
    *.rpm)
      release=$(rpm -qp --qf '%{RELEASE}' "$1" 2>/dev/null) || return 1
      [ "$release" = "${release#*.}" ] || echo "rpm/${release#*.}" ;;
    *.pkg.tar.zst) echo arch ;;
    *) echo "publish.sh: not a package of a family this knows: $1" >&2; return 1 ;;
  esac
}
for package in "${packages[@]}"; do
  repository=$(repository "$package") || exit 1
  [ -n "$repository" ] || { echo "publish.sh: $package says no release it is for (a .deb's version ends in +debNN or +ubuntuYY.MM, an .rpm's Release in .DIST)"; exit 1; }
  if [ -e "$out/$repository/${package##*/}" ] && ! cmp -s "$package" "$out/$repository/${package##*/}"; then
    echo "publish.sh: two different packages named ${package##*/} for $repository"
    exit 1
  fi
  mkdir -p "$out/$repository" && cp "$package" "$out/$repository/"
done
# shellcheck disable=SC2086 # one fingerprint a word
for fingerprint in $key ${PUBLISH_KEYS:-}; do
  exported=$(gpg --batch --armor --export -- "$fingerprint!") && [ -n "$exported" ] ||
    { echo "publish.sh: no public key $fingerprint in ${GNUPGHOME:-~/.gnupg}"; exit 1; }
  echo "$exported" >> "$out/halvo-readers.asc"
done
# apt: one suite a codename, component main. Release is written beside the
# folder first, so that it never lists itself.
for pool in "$out"/apt/pool/*/; do
  codename=$(basename "$pool") suite=$out/apt/dists/$(basename "$pool")
  architectures=$(for deb in "$pool"*.deb; do dpkg-deb -f "$deb" Architecture; done | sort -u | xargs)
  (cd "$out/apt" && for architecture in $architectures; do
      mkdir -p "$suite/main/binary-$architecture" &&
        apt-ftparchive packages "pool/$codename" > "$suite/main/binary-$architecture/Packages" ||
        exit 1
    done &&
    apt-ftparchive -o APT::FTPArchive::Release::Origin=halvo-readers -o APT::FTPArchive::Release::Label=halvo-readers \
      -o APT::FTPArchive::Release::Suite="$codename" -o APT::FTPArchive::Release::Codename="$codename" \
      -o APT::FTPArchive::Release::Components=main -o APT::FTPArchive::Release::Architectures="$architectures" \
      release "dists/$codename" > "$out/Release" && mv "$out/Release" "$suite/Release" && cd "$suite" &&
    sign --clearsign -o InRelease Release && sign --armor --detach-sign -o Release.gpg Release) ||
    { echo "publish.sh: the apt repository for $codename failed"; exit 1; }
done
for folder in "$out"/rpm/*/; do
  logged "$logs/rpm.log" rpmsign rpmsign --addsign --define "_gpg_name $key" \
    --define "__gpg $(command -v gpg)" "$folder"*.rpm
  logged "$logs/rpm.log" createrepo_c createrepo_c "$folder"
  sign --armor --detach-sign -o "${folder}repodata/repomd.xml.asc" "${folder}repodata/repomd.xml"
done
if [ -d "$out/arch" ]; then
  for package in "$out"/arch/*.pkg.tar.zst; do sign --detach-sign -o "$package.sig" "$package"; done
  logged "$logs/arch.log" repo-add repo-add --sign --key "$key" "$out/arch/halvo-readers.db.tar.gz" "$out"/arch/*.pkg.tar.zst
fi
echo "$out"
