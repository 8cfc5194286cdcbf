#!/usr/bin/env bash
# fuzz/run.sh [SECONDS] [TARGET...]: builds the libFuzzer targets (clang, ASan+UBSan, tree
# build/fuzz) and runs each for SECONDS (default 60) on its seed corpus and regression inputs,
# new entries going to build/fuzz/corpus/TARGET. Stops at the first finding (exit 1) with the end
# of its log, which names the input kept in build/fuzz/findings/TARGET.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" --dev
build="$root/build/fuzz" seconds="${1:-60}"
shift || true
mkdir -p "$build" && { CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVELMORA_FUZZ=ON \
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_DESKTOP=OFF && cmake --build "$build" -t fuzzers; } \
  >"$build/build.log" 2>&1 || { tail -40 "$build/build.log" >&2; exit 2; }
[[ $# -gt 0 ]] || set -- $(cat "$build/fuzz/fuzzers.txt")
for target in "$@"; do
  inputs=("$build/corpus/$target" "$root/fuzz/corpus/$target")
  [[ -d "$root/fuzz/regressions/$target" ]] && inputs+=("$root/fuzz/regressions/$target")
  mkdir -p "${inputs[0]}" "$build/findings/$target"
  echo "fuzz: $target for ${seconds}s"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1 "$build/fuzz/fuzz_$target" \
    -max_total_time="$seconds" -timeout=25 -close_fd_mask=1 -artifact_prefix="$build/findings/$target/" \
    "${inputs[@]}" >"$build/$target.log" 2>&1 || { tail -30 "$build/$target.log" >&2; exit 1; }
done
echo "fuzz: $# target(s), no findings"
