#!/usr/bin/env bash
# Every ansible-test sanity test on the collection as ansible-galaxy builds
# and installs it, outside any git checkout (inside one, ansible-test tests
# only what git tracks there: nothing). Each virtual environment it would
# fill from PyPI is made from the system's packages, and the run tried again.
# Usage: ansible_sanity.sh COLLECTION WORK-FOLDER
set -euo pipefail
collection=$(realpath "$1") work=$(mktemp -d) log=$(realpath -m "$2")
trap 'rm -rf "$work"' EXIT
export HOME=$work
ansible-galaxy collection build "$collection" --output-path "$work" > /dev/null
ansible-galaxy collection install -p "$work" "$work"/halvo-readers-*.tar.gz > /dev/null
cd "$work/ansible_collections/halvo/readers"
python=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
sanity() {
  ansible-test sanity --local --python "$python" --python-interpreter /usr/bin/python3 < /dev/null > "$work/sanity.log" 2>&1
}
until sanity; do
  made=
  for venv in "$HOME"/.ansible/test/venv/*/*/*/; do
    [ ! -e "$venv/marker.txt" ] || continue
    rm -rf "$venv" && /usr/bin/python3 -m venv --system-site-packages --without-pip "$venv" &&
      /usr/bin/python3 -c 'import json, yaml; print(json.dumps(hasattr(yaml, "CLoader")))' > "$venv/meta.yaml.json" &&
      touch "$venv/marker.txt" && made=$venv
  done
  [ -n "$made" ] || { cat "$work/sanity.log"; exit 1; }
done
mkdir -p "$log" && cp "$work/sanity.log" "$log/"
cat "$work/sanity.log"
! grep -q "All targets skipped" "$work/sanity.log" || exit 1
