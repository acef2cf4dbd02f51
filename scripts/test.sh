#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite in the
# release, AddressSanitizer+UBSan and ThreadSanitizer configurations.
#   scripts/test.sh [PRESET...]   e.g. scripts/test.sh debug
# The mingw preset is the Windows build: cross-compiled with mingw-w64, its
# dependencies built by scripts/install-mingw-deps.sh, its tests run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan)

for preset in "${presets[@]}"; do
  echo "=== $preset"
  if [ "$preset" = mingw ]; then
    scripts/install-mingw-deps.sh
    # A CTest fixture stops the tests' wineserver; this covers a failed or
    # interrupted run.
    trap 'build/mingw/wine-run.sh --stop-server 2>/dev/null || true' EXIT
  else
    scripts/install-deps.sh
  fi
  cmake --preset "$preset" -DLUMFILESYSTEM_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
