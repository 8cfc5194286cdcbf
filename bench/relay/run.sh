#!/usr/bin/env bash
# What the relay adds to a streamed answer:
#
#   bench/relay/run.sh [--smoke] [--runs N] [--pieces N] [--rounds N] [--build-dir DIR]
#
# Builds a Release tree (build/bench-release), starts a fast fake model server (bench/relay/
# stream_backend.cpp: raw sockets, 2 000 pieces sent as fast as it can, one send() each) and
# velmora --headless against it, on loopback. Then, interleaved over N runs (default 3): the time
# to the first piece and the pieces per second that a client receives directly from the backend,
# through "/api/chat" and through "/submit", one stream at a time (median of R rounds, default
# 20), and 32 streams at once, directly and as 32 answer pages. Pieces per second: all pieces of a
# round over the time from connecting to the last piece, the first piece's delay included (counted
# from the first piece, an answer this short would give ratios of scheduling luck). Prints the
# ratios and PASS/MISS per goal, and stops everything it started.
#
# --smoke: one run with 200 pieces and 2 rounds; checks that everything builds, starts, streams
# whole answers and stops (exit 0), not the figures. --build-dir: another (configured or new)
# tree, such as the tests' Release tree, of which only the programs needed here are built.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../common.sh"

runs=3
pieces=2000
rounds=20
smoke=0
while [ $# -gt 0 ]; do
  case $1 in
    --smoke) smoke=1; runs=1; pieces=200; rounds=2 ;;
    --runs) runs=$2; shift ;;
    --pieces) pieces=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --build-dir) build_dir=$(realpath -m "$2"); shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "bench/relay/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
concurrent_rounds=$(( rounds / 4 > 0 ? rounds / 4 : 1 ))

echo "building the Release tree in $build_dir ..."
bench_build velmora bench-stream-backend bench-stream-client

work="$build_dir/bench-relay"
rm -rf "$work"
mkdir -p "$work"
results="$work/results.txt"
: >"$results"

trap 'bench_stop_all || true' EXIT
trap 'exit 130' INT TERM

bench_start backend_pid "$work/backend.log" "$build_dir/bench/bench-stream-backend" --pieces "$pieces" --model bench-model
backend_port=$(bench_wait_for_line "$work/backend.log" '^listening on [0-9]+' "$backend_pid" | awk '{print $3}')

# Its own settings file: nothing of the user's is read or changed.
bench_start relay_pid "$work/relay.log" "$build_dir/desktop/velmora" --headless --settings "$work/settings.json" \
  --port 0 --backend "127.0.0.1:$backend_port" --model bench-model
relay_port=$(bench_wait_for_line "$work/relay.log" '^Open http://.*:[0-9]+/ in a browser' "$relay_pid" 30 |
  sed -E 's|.*:([0-9]+)/ in a browser.*|\1|')

echo
echo "relay: $pieces pieces per answer, $runs run(s) interleaved; one stream: median of $rounds rounds; 32 at once: median of $concurrent_rounds rounds"
bench_machine_header
echo "fake backend pid $backend_pid port $backend_port; velmora --headless pid $relay_pid port $relay_port"
echo

client="$build_dir/bench/bench-stream-client"
failed=0
measure() {  # label port mode streams rounds
  local label=$1 port=$2 mode=$3 streams=$4 count=$5 line
  if line=$("$client" --port "$port" --mode "$mode" --streams "$streams" --rounds "$count" --expect "$pieces" 2>>"$work/client.log"); then
    :
  else
    echo "bench/relay/run.sh: $label failed: $line" >&2
    tail -5 "$work/client.log" >&2
    failed=1
  fi
  line=$(grep '^RESULT ' <<<"$line" || true)
  [ -n "$line" ] && printf '%s %s\n' "$label" "${line#RESULT }" >>"$results"
  printf '  run %d %-9s %s\n' "$run" "$label" "${line#RESULT }"
}

for ((run = 1; run <= runs; run++)); do
  measure direct "$backend_port" direct 1 "$rounds"
  measure api "$relay_port" api 1 "$rounds"
  measure submit "$relay_port" submit 1 "$rounds"
  measure direct32 "$backend_port" direct 32 "$concurrent_rounds"
  measure submit32 "$relay_port" submit 32 "$concurrent_rounds"
done

python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    label, *fields = line.split()
    values = dict(field.split("=") for field in fields)
    rows.setdefault(label, []).append(values)
def med(label, key):
    runs = rows.get(label, [])
    return statistics.median(float(r[key]) for r in runs) if runs else None

print()
print(f"{'path':<34} {'first piece':>12} {'worst first':>12} {'pieces/s':>11}")
titles = {"direct": "backend directly, 1 stream", "api": "/api/chat, 1 stream", "submit": "/submit, 1 stream",
          "direct32": "backend directly, 32 streams", "submit32": "/submit, 32 answer pages"}
for label, title in titles.items():
    first, worst, rate = med(label, "first_piece_ms"), med(label, "worst_first_piece_ms"), med(label, "pieces_per_s")
    if rate is None:
        print(f"{title:<34} {'(no run)':>12}")
        continue
    print(f"{title:<34} {first:>9.3f} ms {worst:>9.3f} ms {rate:>11.0f}")

goals = []
for label, base, text in [("api", "direct", "/api/chat"), ("submit", "direct", "/submit"),
                          ("submit32", "direct32", "32 answer pages")]:
    first, base_first = med(label, "first_piece_ms"), med(base, "first_piece_ms")
    rate, base_rate = med(label, "pieces_per_s"), med(base, "pieces_per_s")
    if None in (first, base_first, rate, base_rate):
        goals.append((f"{text}: first piece added", None, "<= 2 ms", False))
        goals.append((f"{text}: pieces/s vs direct", None, ">= 0.9x", False))
        continue
    added = first - base_first
    goals.append((f"{text}: first piece added", f"{added:.2f} ms", "<= 2 ms", added <= 2))
    goals.append((f"{text}: pieces/s vs direct", f"{rate / base_rate:.2f}x", ">= 0.9x", rate / base_rate >= 0.9))
print()
print(f"{'goal':<40} {'measured':>10}  {'target':<9} result")
for text, measured, target, passed in goals:
    print(f"{text:<40} {measured or 'n/a':>10}  {target:<9} {'PASS' if passed else 'MISS'}")
PY

echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ! bench_stop_all; then failed=1; fi
trap - EXIT
if [ $failed != 0 ]; then
  echo "bench/relay/run.sh: some measurements did not run" >&2
  exit 1
fi
[ $smoke = 1 ] && echo "smoke run: the backend and the relay started, streamed whole answers and stopped"
exit 0
