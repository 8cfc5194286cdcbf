#!/usr/bin/env bash
# Velmora's fault-and-load suite in one command: builds what it needs and runs every scenario,
# one line per scenario with its figures. Exit status non-zero when a scenario failed.
#
#   stress/run.sh [--quick] [--asan|--tsan] [--only TEXT] [--build-dir DIR]
#
# --quick  smaller counts (about 2-3 minutes in all); the default is the full run
# --asan   builds with AddressSanitizer+UndefinedBehaviorSanitizer (tree build/stress-asan)
# --tsan   builds with ThreadSanitizer (tree build/stress-tsan)
# --only   runs the scenarios whose name contains TEXT (e.g. client/, backend/hang, load/)
# --build-dir  an already configured tree (such as the tests' Release tree) of which only the
#          suite's programs are built
set -euo pipefail
cd "$(dirname "$0")/.."

tree=build/stress
type=RelWithDebInfo
sanitize=none
args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) args+=(--quick) ;;
    --asan) tree=build/stress-asan; type=Debug; sanitize=address ;;
    --tsan) tree=build/stress-tsan; type=Debug; sanitize=thread ;;
    --only) args+=(--only "$2"); shift ;;
    --build-dir) tree=$2; configured=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "stress/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

scripts/setup.sh
if [[ -z "${configured:-}" ]]; then
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DVELMORA_SANITIZE="$sanitize" \
    -DVELMORA_BUILD_DESKTOP=OFF >/dev/null
fi
cmake --build "$tree" --target velmora-stress velmora-demo velmora -j "$(nproc)" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
logs="$tree/stress-logs"
rm -rf "$logs"
exec "$tree/stress/velmora-stress" --log-dir "$logs" "${args[@]}"
