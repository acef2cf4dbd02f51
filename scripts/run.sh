#!/usr/bin/env bash
# The main job: install what is missing, build and install the library and
# lumfs, build the example consumer against the installed package and run it,
# then show the library at work through lumfs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release -DLUMFILESYSTEM_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release
cmake --install build/release >/dev/null

prefix="$PWD/build/release/install"
consumer="$PWD/build/release/example-consumer"
cmake -S examples/consumer -B "$consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$consumer"
"$consumer/consumer"
scripts/demo.sh "$prefix"
