#!/usr/bin/env bash
# Installs what the tests need (scripts/setup.sh --dev), builds Velmora and runs every test once:
# all of them under AddressSanitizer+UndefinedBehaviorSanitizer (the unit and wire tests, the
# program runs, the fuzz targets' seed corpora and regression inputs, the browser test, the Debian
# package and its files' validators), the concurrency tests again under ThreadSanitizer, then the
# short fault-and-load run. Warnings are errors in these builds.
# Long fuzzing (fuzz/run.sh), the full fault-and-load suite (stress/run.sh) and the benchmarks
# (bench/*/run.sh) are commands of their own.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh --dev
jobs=$(nproc)
started=$SECONDS
passed=0

build() {  # build DIR SANITIZE TARGET [CMAKE OPTIONS...]
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE="$2" -DVELMORA_WERROR=ON \
    "${@:4}" >/dev/null
  cmake --build "$1" -j "$jobs" --target "$3"
}

run_ctest() {  # run_ctest DIR [CTEST OPTIONS...]: counts what passed
  local log
  log=$(mktemp)
  ctest --test-dir "$@" -j "$jobs" --output-on-failure | tee "$log"
  passed=$((passed + $(grep -c ' Passed ' "$log" || true)))
  rm -f "$log"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
build build/test-asan address all
run_ctest build/test-asan

echo "== ThreadSanitizer: the concurrency tests"
build build/test-tsan thread velmora_concurrency_tests -DVELMORA_BUILD_DESKTOP=OFF
run_ctest build/test-tsan -L concurrency

echo "== Fault and load: the short run"
stress/run.sh --quick --build-dir build/test-asan
passed=$((passed + 1))

echo "test.sh: every test passed in $((SECONDS - started)) s"
echo "test.sh: $passed passed, 0 failed"
