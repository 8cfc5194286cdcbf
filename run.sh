#!/usr/bin/env bash
# Installs what is missing, builds Velmora (Release) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release
exec build/release/examples/velmora-demo --port "${VELMORA_PORT:-8080}" "$@"
