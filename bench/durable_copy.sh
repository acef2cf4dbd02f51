#!/bin/bash
# Durable copies against cp(1) in the same run, in one directory:
#
#   bench/durable_copy.sh <lumfs> [directory=$TMPDIR] [rounds=5] [cases="large many tree"]
#
#   large  one file of 1 GiB:               lumfs copy    vs  cp a b && sync b
#   many   2,000 files of 256 KiB into a    lumfs copy    vs  cp ... && sync (the copied files),
#          directory:                                         and plain cp
#   tree   10,000 small files in 100        lumfs copydir vs  cp -r && sync -f, and plain cp -r
#          directories:
#
# lumfs's copies are durable when it exits; so are the synced cp runs; plain
# cp promises nothing at a power cut. Every run starts with the file system
# synced and its destination gone; the runs of a case alternate, and the
# medians and their ratios are printed.
set -euo pipefail

lumfs=${1:?usage: $0 <lumfs> [directory] [rounds] [cases]}
base=${2:-${TMPDIR:-/tmp}}
rounds=${3:-5}
cases=${4:-large many tree}
work=$(mktemp -d "$base/lumfs-durable-XXXXXX")
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Times "$@" once, in milliseconds, after settling the file system and clearing the destination.
timed() {
  rm -rf "$work/dst"
  sync -f "$work"
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

run_case() {  # name, then the commands as strings: the first is lumfs's
  local name=$1; shift
  local -a results=()
  local i j
  for ((j = 0; j < $#; j++)); do results[j]=""; done
  for ((i = 0; i < rounds; i++)); do
    j=0
    for command in "$@"; do
      results[j]+="$(timed bash -c "$command") "
      j=$((j + 1))
    done
  done
  local first
  first=$(tr ' ' '\n' <<<"${results[0]}" | grep . | median)
  echo "$name: lumfs $first ms"
  j=0
  for command in "$@"; do
    if [ "$j" -gt 0 ]; then
      local m
      m=$(tr ' ' '\n' <<<"${results[j]}" | grep . | median)
      echo "  vs [$command]: $m ms, ratio $(ratio "$first" "$m")"
    fi
    j=$((j + 1))
  done
}

for c in $cases; do
  case $c in
    large)
      head -c $((1 << 30)) /dev/urandom >"$work/large"
      run_case "1 GiB file" \
        "'$lumfs' copy '$work/large' '$work/dst'" \
        "cp '$work/large' '$work/dst' && sync '$work/dst'"
      rm -f "$work/large"
      ;;
    many)
      mkdir -p "$work/many"
      head -c $((256 << 10)) /dev/urandom >"$work/block"
      for i in $(seq 1 2000); do cp "$work/block" "$work/many/f$i"; done
      run_case "2,000 files of 256 KiB" \
        "mkdir '$work/dst' && '$lumfs' copy '$work'/many/* '$work/dst'" \
        "mkdir '$work/dst' && cp '$work'/many/* '$work/dst' && sync '$work'/dst/*" \
        "mkdir '$work/dst' && cp '$work'/many/* '$work/dst'"
      rm -rf "$work/many"
      ;;
    tree)
      for d in $(seq 1 100); do
        mkdir -p "$work/tree/d$d"
        for f in $(seq 1 100); do printf '%*s' $((f * 40)) "$d$f" >"$work/tree/d$d/f$f"; done
      done
      run_case "10,000 small files in 100 directories" \
        "'$lumfs' copydir '$work/tree' '$work/dst'" \
        "cp -r '$work/tree' '$work/dst' && sync -f '$work/dst'" \
        "cp -r '$work/tree' '$work/dst'"
      rm -rf "$work/tree"
      ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done
