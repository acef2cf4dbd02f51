#!/usr/bin/env bash
# A short tour of LumFilesystem through the installed lumfs program, on data
# made in a scratch directory that is removed afterwards.
#   scripts/demo.sh [PREFIX]   (default: build/release/install)
set -euo pipefail
prefix=${1:-"$(dirname "$0")/../build/release/install"}
lumfs="$(cd "$prefix" && pwd)/bin/lumfs"
work=$(mktemp -d "${TMPDIR:-/tmp}/lumfs-demo-XXXXXX")
watcher=
detailed=
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" "$detailed" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }
run() { printf '$ lumfs %s\n' "${*/#$work/\$DEMO}"; "$lumfs" "$@"; }
# Waits up to ten seconds for a file to contain a pattern.
wait_for() {
  for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "demo: timed out waiting for '$2' in $1" >&2
  return 1
}

say "Copying 256 MiB with a progress bar (Ctrl-C would cancel and remove the partial file)"
head -c 256M /dev/zero > "$work/video.raw"
run copy "$work/video.raw" "$work/video-copy.raw"

say "A file cache: derive a key, move a file in, find it, clean the cache with a zero budget"
key=$("$lumfs" cache key "scene 42, frame 7, 1920x1080")
echo "key: $key"
echo "rendered pixels" > "$work/frame.png"
run cache put "$work/cache" "$key" "$work/frame.png" --time 1700000000
run cache find "$work/cache" "$key"
run cache clean "$work/cache" 0

say "Two watchers on one tree: the detailed one names each change, the plain one only counts renames"
mkdir -p "$work/watched/deep/er"
echo draft > "$work/watched/deep/er/notes.txt"
"$lumfs" watch "$work/watched" > "$work/detailed.out" 2> "$work/detailed.err" &
detailed=$!
"$lumfs" watch "$work/watched" --kind renamed > "$work/watch.out" 2> "$work/watch.err" &
watcher=$!
wait_for "$work/detailed.err" watching
wait_for "$work/watch.err" watching
echo '$ lumfs watch watched &                  # the detailed watcher'
echo '$ lumfs watch watched --kind renamed &   # the plain watcher, renames only'
echo '$ mkdir watched/new; echo hi > watched/new/a; mv watched/deep/er/notes.txt watched/deep/er/final.txt'
mkdir "$work/watched/new"
echo hi > "$work/watched/new/a"
mv "$work/watched/deep/er/notes.txt" "$work/watched/deep/er/final.txt"
wait_for "$work/detailed.out" "renamed deep/er/final.txt"
wait_for "$work/watch.out" renamed
kill -INT "$watcher" "$detailed"
wait "$watcher" "$detailed"
watcher=
echo "-- the detailed watcher:"
cat "$work/detailed.out"
echo "-- the plain watcher:"
cat "$work/watch.out"

say "Copying and removing a tree, with a summary (and progress on a terminal)"
run copydir "$work/watched" "$work/watched-copy"
run rmdir "$work/watched-copy"

say "A free name for new output next to existing files"
touch "$work/clip.mp4" "$work/clip (1).mp4"
run freename "$work/clip" mp4
