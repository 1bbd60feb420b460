# shellcheck shell=bash
# What the build-*.sh scripts share; each sources it first, and works from
# the top of the tree, with errors stopping it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Makes the folder FOLDER afresh and prints its full path.
fresh_folder() {
  local folder
  folder=$(realpath -m "$1")
  rm -rf "$folder"
  mkdir -p "$folder"
  echo "$folder"
}

# Runs CMD... with its output in LOG; when it fails, shows the log's tail
# and stops, naming STEP.
logged() {
  local log=$1 step=$2
  shift 2
  if ! "$@" > "$log" 2>&1; then
    tail -n 40 "$log"
    echo "$(basename "$0"): $step failed; the whole log is $log"
    exit 1
  fi
}
