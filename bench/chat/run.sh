#!/usr/bin/env bash
# GET /chat with 200 kept turns of 4 KiB, before and after each answer was rendered once:
#
#   bench/chat/run.sh [REQUESTS] [--build-dir DIR]
#
# Builds bench-chat-page in the Release tree (build/bench-release) and runs it (see
# bench/chat/chat_page.cpp): milliseconds per request over loopback, median and 90th percentile.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../common.sh"
requests=50
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build_dir=$(realpath -m "$2"); shift ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) requests=$1 ;;
  esac
  shift
done
echo "building the Release tree in $build_dir ..."
bench_build bench-chat-page
"$build_dir/bench/bench-chat-page" "$requests"
