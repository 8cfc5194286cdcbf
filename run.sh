#!/usr/bin/env bash
# Installs what is missing, builds Velmora (Release) and starts the relay without a window
# (velmora --headless), against the saved backend address (localhost:1234 until one is saved).
# Arguments go to velmora: ./run.sh --model NAME --port N --backend HOST:PORT; ./run.sh --help.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target velmora
exec build/release/desktop/velmora --headless "$@"
