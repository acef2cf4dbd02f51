#!/usr/bin/env bash
# FindRecord and PutRecord against the fewest system calls by hand
# (bench/SharedCacheBench.cpp) on one directory, and the system calls each
# operation makes (strace -f -c, the difference between 200 and 100
# operations, so that start-up and set-up drop out).
#   bench/shared_cache_bench.sh DIR [SharedCacheBench binary] [runs=5] [operations=100]
# DIR: a directory on the file system to measure (ext4, a GlusterFS or
# CephFS mount: tests/distributed/glusterfs.sh --hold and cephfs.sh --hold
# mount them); the script works in a fresh directory below it and removes it.
set -euo pipefail
dir=$1
bench=$(realpath "${2:-build/release/bench/SharedCacheBench}")
runs=${3:-5}
operations=${4:-100}
work=$(mktemp -d "$dir/lumfs-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$bench" "$work/timed" "$runs" "$operations"
if ! command -v strace >/dev/null; then
  echo "(no strace: system calls not counted)"
  exit 0
fi
count() {  # which operations -> "syscall count" lines
  local out="$work/strace-$1-$2"
  strace -f -c -o "$out" "$bench" "$work/counted-$1-$2" 1 "$2" "$1"
  awk '$NF != "total" && $4 ~ /^[0-9]+$/ { print $NF, $4 }' "$out"
}
echo "system calls per operation:"
for which in find-lib find-hand put-lib put-hand; do
  join -a 2 -e 0 -o 0,1.2,2.2 <(count "$which" 100 | sort) <(count "$which" 200 | sort) |
    awk -v which="$which" '{ d = ($3 - $2) / 100; if (d >= 0.5) { total += d; line = line sprintf(" %s %.1f", $1, d) } }
      END { printf "  %-10s %5.1f:%s\n", which, total, line }'
done
