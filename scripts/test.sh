#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the plain build,
# the build under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded
# tests under ThreadSanitizer, and every fuzz target for a bounded time.
# The test tools (The Sleuth Kit, PhotoRec, qemu, file-system tools, clang)
# are installed here, not by scripts/run.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh --tests

jobs=$(nproc)
fuzz_seconds=${ZV_FUZZ_SECONDS:-30}

build() { # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build"
mkdir -p build
# scripts/run.sh builds the program alone in the same folder: the tests and
# benchmarks are asked for by name.
build build -DZV_TESTS=ON -DZV_BENCH=ON
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
mkdir -p build-asan
build build-asan -DZV_SANITIZE=address,undefined -DZV_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (every test that starts a thread: label threads)"
mkdir -p build-tsan
build build-tsan -DZV_SANITIZE=thread -DZV_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads

echo "== fuzz targets, ${fuzz_seconds}s each"
mkdir -p build-fuzz
CC=clang CXX=clang++ build build-fuzz -DZV_FUZZ=ON -DZV_TESTS=OFF -DZV_BENCH=OFF
bash scripts/fuzz.sh build-fuzz "$fuzz_seconds"
echo "all test stages passed"
