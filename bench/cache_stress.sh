#!/usr/bin/env bash
# Runs bench/CacheStress for every variant: both caches, with the sources on
# the root's file system (puts move) and on another one (puts copy), and with
# the root on a FUSE pass-through (bindfs: no unnamed temporary files, so the
# copies are staged under hidden names). The FUSE variants need root (they
# mount in a private mount namespace) and are skipped otherwise.
#   bench/cache_stress.sh [CacheStress binary] [processes=4] [seconds=60]
set -euo pipefail
stress=$(realpath "${1:-build/release/bench/CacheStress}")
processes=${2:-4}
seconds=${3:-60}
work=$(mktemp -d "${TMPDIR:-/tmp}/lumfs-stress-XXXXXX")
other=$(mktemp -d /dev/shm/lumfs-stress-XXXXXX)
trap 'rm -rf "$work" "$other"' EXIT

run() {  # label cache root sources
  printf '%-44s ' "$1:"
  "$stress" "$2" "$3" "$4" "$processes" "$seconds" || status=1
  rm -rf "$3" "$4"
}
status=0
for cache in hashed flat; do
  run "$cache, same device" "$cache" "$work/root" "$work/sources"
  run "$cache, cross-device (tmpfs to ext4)" "$cache" "$work/root" "$other/sources"
done

if [ "$(id -u)" -ne 0 ] || ! command -v bindfs >/dev/null || [ ! -e /dev/fuse ]; then
  echo "FUSE variants skipped: they need root, bindfs and /dev/fuse"
  exit $status
fi
mkdir -p "$work/backing" "$work/mount"
export -f run
export stress processes seconds work
unshare -m --propagation private bash -c '
  set -euo pipefail
  bindfs -f "$work/backing" "$work/mount" & daemon=$!
  for _ in $(seq 100); do mountpoint -q "$work/mount" && break; sleep 0.1; done
  status=0
  for cache in hashed flat; do
    run "$cache, FUSE, same device" "$cache" "$work/mount/root" "$work/mount/sources"
    run "$cache, FUSE, cross-device (ext4 to FUSE)" "$cache" "$work/mount/root" "$work/sources"
  done
  umount -l "$work/mount"
  wait $daemon || true
  exit $status' || status=1
exit $status
