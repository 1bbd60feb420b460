# shellcheck shell=bash
# What the build-*.sh scripts share; each sources it first, and works from
# the top of the tree, with errors stopping it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# A build script's own folders carry this file, so that a later build may
# empty them; any other folder is never emptied.
BUILD_MARK=.halvo-readers-build

# Makes FOLDER ready for a build and prints its full path: new, empty, or
# one an earlier build made (emptied first). Stops on any other folder.
fresh_folder() {
  local folder
  folder=$(realpath -m "$1")
  if [ -e "$folder/$BUILD_MARK" ]; then
    rm -rf "$folder"
  elif [ -e "$folder" ] && [ -n "$(ls -A "$folder" 2>/dev/null || echo x)" ]; then
    echo "$(basename "$0"): $folder is not empty and was not made by a build; name a new folder" >&2
    exit 1
  fi
  mkdir -p "$folder" && touch "$folder/$BUILD_MARK"
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
