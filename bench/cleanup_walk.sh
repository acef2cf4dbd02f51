#!/bin/bash
# The clean-up walk of FileCache against `du -sb` on the same tree, in one run.
#
#   bench/cleanup_walk.sh <FileCacheBench> [files=50000] [rounds=7]
#
# Builds a tree of <files> records in the hashed layout under $TMPDIR (/tmp,
# ext4 here), warms it, then alternates one walk of each <rounds> times and
# reports the medians, their ratio and the system calls per file of each.
# Without du (or strace) that comparison is skipped with a note.
set -euo pipefail

bench=${1:?usage: $0 <FileCacheBench> [files] [rounds]}
files=${2:-50000}
rounds=${3:-7}
root=$(mktemp -d "${TMPDIR:-/tmp}/lumfs-walk-XXXXXX")
trap 'rm -rf "$root"' EXIT

have_du=true
command -v du >/dev/null || { have_du=false; echo "cleanup_walk: du not found (coreutils): measuring the library alone"; }

"$bench" --make-tree "$root" "$files"
if $have_du; then du -sb "$root" >/dev/null; else "$bench" --walk "$root" >/dev/null; fi  # warm both runs alike

elapsed_ms() {  # runs "$@" once and prints its wall time in milliseconds
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

library=() du_runs=()
for ((i = 0; i < rounds; i++)); do
  library+=("$(elapsed_ms "$bench" --walk "$root")")
  if $have_du; then du_runs+=("$(elapsed_ms du -sb "$root")"); fi
done
lib_ms=$(printf '%s\n' "${library[@]}" | median)

syscalls_per_file() {  # counts every system call of "$@", startup included
  local log
  log=$(mktemp)
  strace -f -c -o "$log" "$@" >/dev/null
  # strace -c rows: % time, seconds, usecs/call, calls, [errors,] syscall
  local total top
  total=$(awk -v n="$files" '$NF == "total" { printf "%.2f", $4 / n }' "$log")
  top=$(awk -v n="$files" '$1 ~ /^[0-9.]+$/ && $NF != "total" { printf "%.2f %s\n", $4 / n, $NF }' "$log" |
        sort -rn | head -6 | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }')
  echo "$total ($top)"
  rm -f "$log"
}

echo "files: $files, rounds: $rounds"
echo "library walk: ${library[*]} ms (median $lib_ms ms, $(( files * 1000 / (lib_ms > 0 ? lib_ms : 1) )) files/s)"
if $have_du; then
  du_ms=$(printf '%s\n' "${du_runs[@]}" | median)
  echo "du -sb:       ${du_runs[*]} ms (median $du_ms ms, $(( files * 1000 / (du_ms > 0 ? du_ms : 1) )) files/s)"
  awk -v a="$lib_ms" -v b="$du_ms" 'BEGIN { printf "ratio library/du: %.2f\n", a / (b > 0 ? b : 1) }'
fi
if command -v strace >/dev/null; then
  echo "system calls per file (a record directory per file in this layout):"
  echo "  library: $(syscalls_per_file "$bench" --walk "$root")"
  if $have_du; then echo "  du -sb:  $(syscalls_per_file du -sb "$root")"; fi
else
  echo "cleanup_walk: strace not found: no system-call counts"
fi
