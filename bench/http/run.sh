#!/usr/bin/env bash
# Velmora's HTTP server against nginx, cpp-httplib and a minimal blocking server, all run in the
# same go:
#
#   bench/http/run.sh [--smoke] [--runs N] [--seconds S] [--idle N] [--build-dir DIR]
#
# Builds a Release tree (build/bench-release), starts velmora-demo, nginx (its own config and
# prefix under the build tree, in the foreground, on a free loopback port) and a cpp-httplib
# hello server with TCP_NODELAY, and the least a blocking thread-per-connection server can do
# (bench/http/blocking_hello.cpp: the ceiling of Velmora's design on this machine), all serving
# the same 13-byte body at "/" and the same 1 MiB file below "/static/". Then runs the four wrk scenarios interleaved (N runs of S seconds each,
# default 3 and 8, the server order turning with each run), measures Velmora's resident memory
# per idle keep-alive connection, prints the medians, the ratios and PASS/MISS per goal, and
# stops everything it started.
#
# --smoke: one run of 1 second and a few idle connections. It checks that everything builds,
# starts, answers and stops (exit 0), not the figures. Without --smoke the exit status is 0 when
# every measurement ran, whatever the goals say. --build-dir: another (configured or new) tree,
# such as the tests' Release tree, of which only the programs needed here are built.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../common.sh"

runs=3
seconds=8
idle=1000
smoke=0
while [ $# -gt 0 ]; do
  case $1 in
    --smoke) smoke=1; runs=1; seconds=1; idle=50 ;;
    --runs) runs=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --idle) idle=$2; shift ;;
    --build-dir) build_dir=$(realpath -m "$2"); shift ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "bench/http/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

for tool in wrk nginx python3 curl; do
  command -v "$tool" >/dev/null || { echo "bench/http/run.sh: $tool is missing (scripts/setup.sh --dev installs it)" >&2; exit 1; }
done
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

echo "building the Release tree in $build_dir ..."
bench_build velmora-demo bench-httplib-hello bench-blocking-hello bench-idle-clients

work="$build_dir/bench-http"
rm -rf "$work"
mkdir -p "$work/www" "$work/nginx"
head -c 1048576 /dev/urandom >"$work/www/bench-1m.bin"
body_file=bench-1m.bin
results="$work/results.tsv"
: >"$results"

trap 'bench_stop_all || true' EXIT
trap 'exit 130' INT TERM

# --- the three servers -------------------------------------------------------------------------
declare -A port pid
bench_start pid[velmora] "$work/velmora.log" "$build_dir/examples/velmora-demo" --port 0 --root "$work/www"
port[velmora]=$(bench_wait_for_line "$work/velmora.log" '^listening on [0-9]+' "${pid[velmora]}" | awk '{print $3}')

bench_start pid[httplib] "$work/httplib.log" "$build_dir/bench/bench-httplib-hello" --port 0 --root "$work/www"
port[httplib]=$(bench_wait_for_line "$work/httplib.log" '^listening on [0-9]+' "${pid[httplib]}" | awk '{print $3}')

bench_start pid[blocking] "$work/blocking.log" "$build_dir/bench/bench-blocking-hello" --port 0 --root "$work/www"
port[blocking]=$(bench_wait_for_line "$work/blocking.log" '^listening on [0-9]+' "${pid[blocking]}" | awk '{print $3}')

port[nginx]=$(bench_free_port)
sed -e "s|@PORT@|${port[nginx]}|g" -e "s|@ROOT@|$work/www|g" -e "s|@PREFIX@|$work/nginx|g" \
  "$here/nginx.conf.in" >"$work/nginx/nginx.conf"
bench_start pid[nginx] "$work/nginx.log" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log"

servers=(velmora nginx httplib blocking)
for server in "${servers[@]}"; do
  ok=0
  for _ in $(seq 50); do
    if [ "$(curl -s --max-time 2 "http://127.0.0.1:${port[$server]}/")" = "Hello, World!" ]; then ok=1; break; fi
    kill -0 "${pid[$server]}" 2>/dev/null || break
    sleep 0.1
  done
  if [ $ok = 0 ]; then
    echo "bench/http/run.sh: $server does not answer \"Hello, World!\" on port ${port[$server]}" >&2
    tail -20 "$work/$server.log" "$work/nginx/error.log" 2>/dev/null >&2 || true
    exit 1
  fi
  if ! curl -s --max-time 5 "http://127.0.0.1:${port[$server]}/static/$body_file" | cmp -s - "$work/www/$body_file"; then
    echo "bench/http/run.sh: $server does not serve the 1 MiB file" >&2
    exit 1
  fi
done

echo
echo "HTTP servers, $runs run(s) of ${seconds}s per scenario and server, interleaved"
bench_machine_header
echo "velmora-demo pid ${pid[velmora]} port ${port[velmora]}; nginx $(nginx -v 2>&1 | sed 's/.*\///') pid ${pid[nginx]} port ${port[nginx]}; cpp-httplib $(pkg-config --modversion cpp-httplib 2>/dev/null || echo '?') pid ${pid[httplib]} port ${port[httplib]}; minimal blocking server pid ${pid[blocking]} port ${port[blocking]}"
echo

# --- wrk scenarios -----------------------------------------------------------------------------
# name, connections, path, connection header
scenarios=(
  "keepalive64 64 / keep-alive"
  "close64 64 / close"
  "file1m8 8 /static/$body_file keep-alive"
  "keepalive256 256 / keep-alive"
)

failed=0
for ((run = 1; run <= runs; run++)); do
  # The server order turns with each run, so no server always goes first or last.
  order=()
  for ((i = 0; i < ${#servers[@]}; i++)); do order+=("${servers[$(((i + run - 1) % ${#servers[@]}))]}"); done
  for scenario in "${scenarios[@]}"; do
    read -r name conns path connection <<<"$scenario"
    for server in "${order[@]}"; do
      out=$(wrk -t2 -c"$conns" -d"${seconds}s" --timeout 5s -H "Connection: $connection" \
        -s "$here/report.lua" "http://127.0.0.1:${port[$server]}$path" 2>&1) || true
      line=$(grep -m1 '^RESULT ' <<<"$out" || true)
      if [ -z "$line" ]; then
        echo "bench/http/run.sh: wrk failed against $server ($name):" >&2
        echo "$out" >&2
        failed=1
        continue
      fi
      printf '%s\t%s\t%s\t%s\n' "$server" "$name" "$run" "${line#RESULT }" >>"$results"
      printf '  run %d %-13s %-8s %s\n' "$run" "$name" "$server" "${line#RESULT }"
    done
  done
done

# --- resident memory per idle keep-alive connection ----------------------------------------------
# A fresh velmora-demo, so that nothing the scenarios left behind counts.
bench_start pid[memory] "$work/velmora-memory.log" "$build_dir/examples/velmora-demo" --port 0 --root "$work/www"
port[memory]=$(bench_wait_for_line "$work/velmora-memory.log" '^listening on [0-9]+' "${pid[memory]}" | awk '{print $3}')
curl -s -o /dev/null -H 'Connection: keep-alive' "http://127.0.0.1:${port[memory]}/"
sleep 0.5
rss_before=$(bench_rss_kib "${pid[memory]}")
mkfifo "$work/idle.in"
bench_start pid[idle] "$work/idle.log" bash -c "exec '$build_dir/bench/bench-idle-clients' --port ${port[memory]} --count $idle <'$work/idle.in'"
exec 9>"$work/idle.in"
memory_line=""
if bench_wait_for_line "$work/idle.log" '^ready ' "${pid[idle]}" 60 >/dev/null; then
  sleep 1
  rss_after=$(bench_rss_kib "${pid[memory]}")
  exec 9>&-
  wait "${pid[idle]}" && idle_ok=1 || idle_ok=0
  open=$(awk '/^open/ {print $2}' "$work/idle.log")
  if [ "$idle_ok" = 1 ]; then
    memory_line="$idle $rss_before $rss_after"
  else
    echo "bench/http/run.sh: velmora-demo kept only ${open:-?} of $idle idle connections" >&2
    failed=1
  fi
else
  exec 9>&-
  failed=1
fi
bench_stop "${pid[memory]}"

python3 "$here/summary.py" "$results" "$runs" "$memory_line" || failed=1

echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ! bench_stop_all; then failed=1; fi
trap - EXIT
pgrep -f "$work/nginx/nginx.conf" >/dev/null && { echo "bench/http/run.sh: nginx is still running" >&2; failed=1; }
if [ $failed != 0 ]; then
  echo "bench/http/run.sh: some measurements did not run" >&2
  exit 1
fi
[ $smoke = 1 ] && echo "smoke run: every server started, answered and stopped"
exit 0
