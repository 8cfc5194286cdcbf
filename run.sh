#!/usr/bin/env bash
# Installs what building and running needs (no test tools), builds Velmora (Release) and starts
# it: the window when a display is there ($DISPLAY, $WAYLAND_DISPLAY or $QT_QPA_PLATFORM), the
# relay without a window otherwise (as with --headless). Arguments go to velmora:
# ./run.sh --headless --model NAME --port N --backend HOST:PORT; ./run.sh --help.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target velmora
exec build/release/desktop/velmora "$@"
