#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite in the
# release, AddressSanitizer+UBSan and ThreadSanitizer configurations, and
# fuzzes (scripts/fuzz.sh: the seeds, then each target for a bounded time).
#   scripts/test.sh [PRESET...]   (default: release asan tsan fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan fuzz)

for preset in "${presets[@]}"; do
  echo "=== $preset"
  if [ "$preset" = fuzz ]; then
    scripts/fuzz.sh
    continue
  fi
  cmake --preset "$preset" -DLUMFILESYSTEM_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
