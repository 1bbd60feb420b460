#!/usr/bin/env bash
# Builds the Debian package: build-deb/halvo-readers_VERSION_ARCH.deb (or in
# the folder given as the first argument). Its tool works by default on
# pcsc-lite's CCID driver list, found through pkg-config as pcsc-lite
# itself installs it, and is built with Debian's hardening flags and
# linked to the shared C++ runtime, as Debian policy asks.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
build="$out/build"
drivers=$(pkg-config --variable=usbdropdir libpcsclite 2>/dev/null || echo /usr/lib/pcsc/drivers)
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DHALVO_TESTS=OFF -DHALVO_DEB=ON -DHALVO_STATIC_RUNTIME=OFF \
  -DHALVO_DEFAULT_PATH="$drivers/ifd-ccid.bundle/Contents/Info.plist" >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/halvo-readers_*.deb
