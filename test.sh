#!/usr/bin/env bash
# Installs what is missing, builds Velmora three ways and runs every test: all tests in a Release
# build and under AddressSanitizer+UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer; then every fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
jobs=$(nproc)

build() {  # build DIR TYPE SANITIZE
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE="$2" -DVELMORA_SANITIZE="$3" >/dev/null
  cmake --build "$1" -j "$jobs"
}

echo "== Release: every test"
build build/test-release RelWithDebInfo none
ctest --test-dir build/test-release -j "$jobs" --output-on-failure

echo "== Benchmarks: a short smoke run of each (checks that they run, not their figures)"
bench/http/run.sh --smoke --build-dir build/test-release
bench/relay/run.sh --smoke --build-dir build/test-release

echo "== Fault and load: every scenario, with smaller counts"
stress/run.sh --quick --build-dir build/test-release

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
build build/test-asan Debug address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/test-asan -j "$jobs" --output-on-failure

echo "== ThreadSanitizer: concurrency tests"
build build/test-tsan Debug thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/test-tsan -j "$jobs" -L concurrency --output-on-failure

echo "== Fuzzing: every target for 15 s on its corpus and regression inputs"
fuzz/run.sh 15
