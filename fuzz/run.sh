#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan+UBSan, tree build/fuzz) and runs each one in turn for a
# bounded time on its seed corpus and its regression inputs.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     SECONDS per target, default 60; default every target
#
# New corpus entries go to build/fuzz/corpus/TARGET (kept between runs, never in git); logs to
# build/fuzz/logs. Stops at the first finding: prints the crashing input's path and exits 1.
# Exits 2 when the fuzz tree does not build.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
case "$seconds" in
  '' | *[!0-9]*) echo "usage: fuzz/run.sh [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac
build="${VELMORA_FUZZ_BUILD_DIR:-$root/build/fuzz}"

echo "fuzz: building in $build"
mkdir -p "$build/logs"
if ! CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVELMORA_FUZZ=ON \
      -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_DESKTOP=OFF >"$build/logs/configure.log" 2>&1; then
  cat "$build/logs/configure.log" >&2
  echo "fuzz: configuring failed" >&2
  exit 2
fi
if ! cmake --build "$build" --target fuzzers -j2 >"$build/logs/build.log" 2>&1; then
  grep -v '^\[' "$build/logs/build.log" | head -60 >&2
  echo "fuzz: building failed (whole log: $build/logs/build.log)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets <"$build/fuzz/fuzzers.txt"
fi

# Halt at the first UBSan report with its stack; libFuzzer itself catches ASan's and leaks.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"

for target in "${targets[@]}"; do
  [ -n "$target" ] || continue
  binary="$build/fuzz/fuzz_$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: no target $target (known: $(tr '\n' ' ' <"$build/fuzz/fuzzers.txt"))" >&2
    exit 2
  fi
  scratch="$build/corpus/$target"
  findings="$build/findings/$target"
  log="$build/logs/$target.log"
  mkdir -p "$scratch" "$findings"
  inputs=("$scratch" "$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] && inputs+=("$root/fuzz/regressions/$target")

  echo "fuzz: $target for ${seconds}s"
  # Standard output is closed in the target (-close_fd_mask=1): the code under test prints its
  # diagnostics there, and reports come on standard error.
  if ! "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -close_fd_mask=1 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${inputs[@]}" >"$log" 2>&1; then
    echo "fuzz: FINDING in $target" >&2
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|.*check failed|ALARM|.*deadly signal)' "$log" \
      | cut -c1-300 | head -8 >&2 || true
    artifact="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)"
    if [ -n "$artifact" ]; then
      echo "fuzz: crashing input: $artifact" >&2
      echo "fuzz: replay with: $binary $artifact" >&2
    fi
    echo "fuzz: log: $log" >&2
    exit 1
  fi
  sed -n 's/^stat::number_of_executed_units: *\(.*\)/  runs: \1/p;
          s/^stat::peak_rss_mb: *\(.*\)/  peak rss: \1 MB/p' "$log"
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed 's/^/  /' || true
done
echo "fuzz: ${#targets[@]} target(s), no findings"
