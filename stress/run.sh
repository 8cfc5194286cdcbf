#!/usr/bin/env bash
# stress/run.sh [--quick] [--only TEXT] [--build-dir DIR]: the fault-and-load suite of stress.cpp,
# built in that configured tree only, or else in a RelWithDebInfo tree build/stress.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --dev
tree="" args=()
while [[ $# -gt 0 ]]; do
  if [[ "$1" == --build-dir ]]; then tree=$2 && shift; else args+=("$1"); fi
  shift
done
[[ -n "$tree" ]] || { tree=build/stress && cmake -S . -B "$tree" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_DESKTOP=OFF -DVELMORA_WERROR=ON >/dev/null; }
cmake --build "$tree" -t velmora-stress >"$tree/stress-build.log" 2>&1 ||
  { tail -40 "$tree/stress-build.log" >&2; exit 2; }
# The report is on standard error; standard output has the console lines of the in-process servers.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  exec "$tree/stress/velmora-stress" "${args[@]}" >/dev/null
