# Shared by bench/http/run.sh and bench/relay/run.sh: the Release build, the processes a run
# starts (each stopped by its own id when the run ends, however it ends), the machine header.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$repo/build/bench-release"  # --build-dir changes it

# Configures the Release tree when needed and builds the named targets, quietly. A tree that is
# already configured is used as it is.
bench_build() {
  mkdir -p "$(dirname "$build_dir")"
  if [ ! -f "$build_dir/build.ninja" ]; then
    cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_DESKTOP=OFF \
      >"$build_dir.configure.log" 2>&1 || { cat "$build_dir.configure.log"; return 1; }
  fi
  cmake --build "$build_dir" --target "$@" -j2 >"$build_dir.build.log" 2>&1 ||
    { tail -40 "$build_dir.build.log"; return 1; }
}

started_pids=()

# Starts a command in the background with its output in a file; the pid goes into started_pids
# and into the variable named by $1.
bench_start() {
  local var=$1 log=$2
  shift 2
  "$@" >"$log" 2>&1 &
  local started=$!
  started_pids+=("$started")
  printf -v "$var" '%s' "$started"
}

# Waits until the file holds a line matching the pattern (extended regex); prints that line.
bench_wait_for_line() {
  local file=$1 pattern=$2 owner=$3 seconds=${4:-20}
  local i
  for ((i = 0; i < seconds * 10; i++)); do
    if grep -Eq "$pattern" "$file" 2>/dev/null; then
      grep -Em1 "$pattern" "$file"
      return 0
    fi
    kill -0 "$owner" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench: no \"$pattern\" from pid $owner; its output:" >&2
  tail -20 "$file" >&2
  return 1
}

# A port nothing listens on now.
bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Stops one started process: SIGTERM, then SIGKILL after five seconds.
bench_stop() {
  local target=$1 i
  kill -0 "$target" 2>/dev/null || { wait "$target" 2>/dev/null || true; return 0; }
  kill -TERM "$target" 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    kill -0 "$target" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$target" 2>/dev/null; then
    echo "bench: pid $target ignored SIGTERM; killing it" >&2
    kill -KILL "$target" 2>/dev/null || true
  fi
  wait "$target" 2>/dev/null || true
}

# Stops everything this run started, newest first; answers 1 when something outlived it.
bench_stop_all() {
  local i left=0
  for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do bench_stop "${started_pids[i]}"; done
  for ((i = 0; i < ${#started_pids[@]}; i++)); do
    if kill -0 "${started_pids[i]}" 2>/dev/null; then
      echo "bench: pid ${started_pids[i]} is still running" >&2
      left=1
    fi
  done
  started_pids=()
  return $left
}

bench_machine_header() {
  local cpu
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
  echo "machine: $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr), $(awk '/^MemTotal:/ {printf "%.1f GiB", $2/1048576; exit}' /proc/meminfo) memory"
  echo "build: $build_dir ($(awk -F= '/^CMAKE_BUILD_TYPE:/ {print $2}' "$build_dir/CMakeCache.txt"))"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# Resident memory of a process in KiB.
bench_rss_kib() {
  awk '/^VmRSS:/ {print $2}' "/proc/$1/status"
}
