#!/usr/bin/env bash
# ansible-test's sanity tests on the collection, built and installed as
# ansible-galaxy does, every one of them. ansible-test runs some in a
# virtual environment of its own, which it would fill from PyPI; where it
# names one it has not made, that environment is made here from the
# system's own packages (Debian's pylint, pycodestyle, yamllint,
# python3-voluptuous), marked as made, and the run is tried again.
# The collection is installed outside any git checkout, where ansible-test
# would test only the files git tracks there, none, and skip every target.
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
