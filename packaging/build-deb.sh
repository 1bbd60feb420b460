#!/usr/bin/env bash
# Builds the Debian source and binary packages with dpkg-buildpackage from
# the source release (packaging/dist.sh) as the upstream tarball and
# packaging/debian/ as its debian/ folder. Everything lands in build-deb/ (or
# the folder given): the .deb, the .dsc, the upstream and debian tarballs, the
# .buildinfo and the .changes, whose path is printed last; the build's own
# output is in build.log there.
# Usage: build-deb.sh [OUT]
. "$(dirname "$0")/build-common.sh"
out=$(fresh_folder "${1:-build-deb}")
tarball=$(bash packaging/dist.sh "$out/dist" | tail -n 1)
name=$(basename "$tarball" .tar.gz)
version=${name#halvo-readers-}
mv "$tarball" "$out/halvo-readers_$version.orig.tar.gz"
rm -rf "$out/dist"
tar -xzf "$out/halvo-readers_$version.orig.tar.gz" -C "$out"
cp -r "$out/$name/packaging/debian" "$out/$name/debian"
# The package says the release it is built for, the Debian way: +debNN or
# +ubuntuYY.MM after its version, and the codename as its distribution, so
# that builds for two releases never share a name.
release=$(. /etc/os-release && case ${ID:-} in debian | ubuntu) echo "${ID%ian}${VERSION_ID:-}" ;; esac)
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -n "${release#deb}" ] && [ -n "${release#ubuntu}" ] && [ -n "$codename" ]; then
  sed -i "1s/^halvo-readers (\([^)]*\)) [^;]*;/halvo-readers (\1+$release) $codename;/" "$out/$name/debian/changelog"
fi
logged "$out/build.log" dpkg-buildpackage env -C "$out/$name" dpkg-buildpackage -us -uc
rm -rf "${out:?}/$name"
ls "$out"/halvo-readers_*.changes
