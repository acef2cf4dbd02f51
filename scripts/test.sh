#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite in the
# release (with the reference documentation and lintian on the Debian
# packages), AddressSanitizer+UBSan and ThreadSanitizer configurations, the
# Windows build under Wine, and fuzzes.
#   scripts/test.sh [PRESET...]   (default: release asan tsan mingw fuzz)
# mingw is the Windows build: cross-compiled with mingw-w64, its dependencies
# built by scripts/install-mingw-deps.sh, its tests run under Wine.
# fuzz runs scripts/fuzz.sh: the seeds, then each fuzzer for a bounded time.
# The release leg also runs the shared-cache test on GlusterFS (CTest label
# distributed: a server and two clients in network namespaces of its own).
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan mingw fuzz)

for preset in "${presets[@]}"; do
  echo "=== $preset"
  case "$preset" in
    fuzz)
      scripts/install-deps.sh
      scripts/fuzz.sh
      continue
      ;;
    mingw)
      scripts/install-mingw-deps.sh
      # A CTest fixture stops the tests' wineserver; this covers a failed or
      # interrupted run.
      trap 'build/mingw/wine-run.sh --stop-server 2>/dev/null || true' EXIT
      ;;
    *)
      scripts/install-deps.sh
      ;;
  esac
  extra=()
  # The release leg also builds the reference (any Doxygen warning fails it)
  # and packages it; its package test runs lintian on the Debian packages.
  [ "$preset" = release ] && extra=(-DLUMFILESYSTEM_BUILD_DOCS=ON)
  cmake --preset "$preset" -DLUMFILESYSTEM_BUILD_TESTS=ON "${extra[@]}" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
