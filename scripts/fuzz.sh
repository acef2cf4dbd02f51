#!/usr/bin/env bash
# Builds the fuzz preset, replays the seed corpora (ctest), then runs each
# libFuzzer target for a bounded time. Fails on a crash, a broken invariant,
# a leak or an input that runs longer than the time-out.
#   scripts/fuzz.sh [SECONDS per target, default 60]
# What the runs find stays in build/fuzz/: the grown corpora (corpus/<target>,
# reused by the next run) and the failing inputs (artifacts/<target>/). Add a
# failing input to fuzz/corpus/<target>/ once it is fixed, as a regression seed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz

build=$PWD/build/fuzz
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Scratch directories of the targets; a crashed run leaves its own here.
export TMPDIR=$build/tmp
rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
for fuzzer in "$build"/fuzz/*Fuzzer; do
  name=$(basename "$fuzzer")
  mkdir -p "$build/corpus/$name" "$build/artifacts/$name"
  log=$build/$name.log
  echo "=== $name: ${seconds}s (log: $log)"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -detect_leaks=1 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$name/" "$build/corpus/$name" "$PWD/fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz: $name failed; the input is in $build/artifacts/$name/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
