#!/usr/bin/env bash
# Installs the build into a temporary prefix: the executable and a man page
# that renders without a warning, and that names the build's default path.
# Usage: install_test.sh BUILD-DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -type f | sort)
expected=$'./bin/halvo-readers\n./share/man/man1/halvo-readers.1'
if [ "$installed" != "$expected" ]; then
  printf 'installed files:\n%s\nexpected:\n%s\n' "$installed" "$expected"
  exit 1
fi
page="$prefix/share/man/man1/halvo-readers.1"
warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
if [ -n "$warnings" ]; then
  printf 'man page warnings:\n%s\n' "$warnings"
  exit 1
fi
rendered=$(groff -man -Tutf8 "$page" 2>/dev/null | col -b | tr -d '\n ')
default=$(sed -n 's/^HALVO_DEFAULT_PATH:STRING=//p' "$build/CMakeCache.txt")
case "$rendered" in
  *"${default// /}"*) ;;
  *) echo "the man page does not name the default path $default"; exit 1 ;;
esac
"$prefix/bin/halvo-readers" -x >/dev/null && exit 1
echo "install: 1 passed, 0 failed"
