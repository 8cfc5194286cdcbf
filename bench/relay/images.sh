#!/usr/bin/env bash
# What photos in the chat cost the relay in memory:
#
#   bench/relay/images.sh [--smoke] [--conversations N] [--build-dir DIR]
#
# Builds the Release tree (build/bench-release), starts bench/relay/stream_backend.cpp (it reads
# every request body whole by its Content-Length and prints its size) and velmora --headless
# against it, on loopback, with its own settings file. Then N conversations (default 8), one after
# another, each: POST /chat/clear, a prompt with 4 photos of 5 MiB (random bytes behind a PNG
# signature and header, new ones for each conversation) and a second prompt, which sends the
# photos again; every answer page is read whole. Prints the relay's peak resident memory (VmHWM)
# and its resident memory at the end, against one conversation's photos (20 MiB) and all photos
# sent (N x 20 MiB), as ratios, and stops everything it started.
#
# --smoke: 2 conversations with photos of 1 MiB; checks that everything builds, starts, carries
# the photos to the backend and stops (exit 0), not the figures.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../common.sh"

conversations=8
photo_mib=5
smoke=0
while [ $# -gt 0 ]; do
  case $1 in
    --smoke) smoke=1; conversations=2; photo_mib=1 ;;
    --conversations) conversations=$2; shift ;;
    --build-dir) build_dir=$(realpath -m "$2"); shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "bench/relay/images.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

echo "building the Release tree in $build_dir ..."
bench_build velmora bench-stream-backend

work="$build_dir/bench-relay-images"
rm -rf "$work"
mkdir -p "$work/photos"

trap 'bench_stop_all || true' EXIT
trap 'exit 130' INT TERM

bench_start backend_pid "$work/backend.log" "$build_dir/bench/bench-stream-backend" --pieces 20 --model bench-model
backend_port=$(bench_wait_for_line "$work/backend.log" '^listening on [0-9]+' "$backend_pid" | awk '{print $3}')
# Its own settings file: nothing of the user's is read or changed.
bench_start relay_pid "$work/relay.log" "$build_dir/desktop/velmora" --headless --settings "$work/settings.json" \
  --port 0 --backend "127.0.0.1:$backend_port" --model bench-model
relay_port=$(bench_wait_for_line "$work/relay.log" '^Open http://.*:[0-9]+/ in a browser' "$relay_pid" 30 |
  sed -E 's|.*:([0-9]+)/ in a browser.*|\1|')
chat="http://127.0.0.1:$relay_port/chat"

kib() { awk -v field="$2:" '$1 == field {print $2}' "/proc/$1/status"; }
echo
echo "relay with photos: $conversations conversation(s), each 4 photos of $photo_mib MiB sent with two prompts"
bench_machine_header
echo "fake backend pid $backend_pid port $backend_port; velmora --headless pid $relay_pid port $relay_port"
start_kib=$(kib "$relay_pid" VmRSS)

# A prompt (curl's -F fields) for conversation $c; its whole answer page must come back, the new
# answer with its 20 pieces. No Origin: a program, not a browser.
failed=0
ask() {
  local status pieces
  status=$(curl -sS -o "$work/page.html" -w '%{http_code}' "$@" "$chat") || true
  pieces=$(sed -n '/id="answer"/,$p' "$work/page.html" | tr -cd '~' | wc -c)
  if [ "$status" != 200 ] || [ "$pieces" != 20 ]; then
    echo "bench/relay/images.sh: conversation $c, $2: status $status, $pieces pieces" >&2
    failed=1
  fi
}
started_ms=$(($(date +%s%N) / 1000000))
for ((c = 1; c <= conversations; c++)); do
  python3 - "$work/photos" "$photo_mib" <<'PY'
import os, struct, sys, zlib
header = b"IHDR" + struct.pack(">IIBBBBB", 1024, 1024, 8, 2, 0, 0, 0)
for i in range(4):
    with open(os.path.join(sys.argv[1], f"{i}.png"), "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + header + struct.pack(">I", zlib.crc32(header)))
        out.write(os.urandom(int(sys.argv[2]) * 1048576 - 33))
PY
  status=$(curl -sS -o /dev/null -w '%{http_code}' -d '' "$chat/clear") || true
  [ "$status" = 303 ] || { echo "bench/relay/images.sh: /chat/clear answered $status" >&2; failed=1; }
  ask -F "prompt=What do these photos show?" -F "images=@$work/photos/0.png;type=image/png" \
    -F "images=@$work/photos/1.png;type=image/png" -F "images=@$work/photos/2.png;type=image/png" \
    -F "images=@$work/photos/3.png;type=image/png"
  ask -F "prompt=And the second one?"
done
milliseconds=$(($(date +%s%N) / 1000000 - started_ms))
peak_kib=$(kib "$relay_pid" VmHWM)
end_kib=$(kib "$relay_pid" VmRSS)

# Every prompt must have carried the four photos, as Base64 (4/3 of their size), to the backend.
least=$((4 * photo_mib * 1048576 * 4 / 3))
carried=$(awk -v least="$least" '/^chat request of/ && $4 >= least {n++} END {print n + 0}' "$work/backend.log")
if [ "$carried" != $((2 * conversations)) ]; then
  echo "bench/relay/images.sh: $carried of $((2 * conversations)) backend requests carried the photos" >&2
  failed=1
fi

python3 - "$conversations" "$photo_mib" "$start_kib" "$peak_kib" "$end_kib" "$milliseconds" \
  "$(awk '/^chat request of/ && !size {size = $4} END {print size + 0}' "$work/backend.log")" <<'PY'
import sys
conversations, photo_mib = int(sys.argv[1]), int(sys.argv[2])
start, peak, end = (int(v) / 1024 for v in sys.argv[3:6])
one, every = 4 * photo_mib, 4 * photo_mib * conversations
print(f"\nbackend request with the photos: {int(sys.argv[7]) / 1048576:.1f} MiB; "
      f"{int(sys.argv[6]) / 1000 / conversations:.2f} s per conversation")
print(f"\n{'relay memory':<26} {'MiB':>8} {'/ one conversation':>20} {'/ all photos sent':>18}")
print(f"{'':<26} {'':>8} {f'({one} MiB)':>20} {f'({every} MiB)':>18}")
print(f"{'resident at start':<26} {start:>8.1f}")
for title, value in [("peak resident (VmHWM)", peak), ("resident at the end", end)]:
    print(f"{title:<26} {value:>8.1f} {value / one:>19.2f}x {value / every:>17.2f}x")
PY

echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ! bench_stop_all; then failed=1; fi
trap - EXIT
if [ $failed != 0 ]; then
  echo "bench/relay/images.sh: some conversations did not run as they should" >&2
  exit 1
fi
[ $smoke = 1 ] && echo "smoke run: the photos reached the backend with both prompts, and everything stopped"
exit 0
