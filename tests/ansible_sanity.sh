#!/usr/bin/env bash
# ansible-test's sanity tests on the collection, built and installed as
# ansible-galaxy does. Those that need a virtual environment of packages
# from PyPI, which ansible-test fetches, cannot run here: they are named
# in SKIPPED.
# Usage: ansible_sanity.sh COLLECTION WORK-FOLDER
set -euo pipefail
SKIPPED="ansible-doc import pep8 pylint runtime-metadata validate-modules yamllint"
collection=$(realpath "$1") work=$(realpath -m "$2")
rm -rf "$work" && mkdir -p "$work"
export HOME=$work
ansible-galaxy collection build "$collection" --output-path "$work" > /dev/null
ansible-galaxy collection install -p "$work" "$work"/halvo-readers-*.tar.gz > /dev/null
cd "$work/ansible_collections/halvo/readers"
python=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# shellcheck disable=SC2046 # one --skip-test a name
ansible-test sanity --local --python "$python" --python-interpreter /usr/bin/python3 \
  $(printf -- '--skip-test %s ' $SKIPPED) < /dev/null
