#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite in the
# release, AddressSanitizer+UBSan and ThreadSanitizer configurations.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan)

for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" -DLUMFILESYSTEM_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
