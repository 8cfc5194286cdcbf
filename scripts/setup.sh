#!/usr/bin/env bash
# Installs the Debian packages Velmora needs, by purpose:
#   scripts/setup.sh        building and running velmora (what ./run.sh needs)
#   scripts/setup.sh --dev  that, and what the tests, the packaging checks, the fault-and-load
#                           suite, the benchmarks and fuzzing need (what ./test.sh needs)
# Idempotent: silent when all of them are already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev
  libmd4c-dev libmd4c-html0-dev  # the second names no dependency on the first, which has the headers
  libqrencode-dev  # the chat page's address as a QR code
  qt6-base-dev libqt6svg6
  file  # cpack -G DEB finds the programs to pass to dpkg-shlibdeps with it
)
dev=false
case "${1:-}" in
  "") ;;
  --dev) dev=true ;;
  *) echo "usage: scripts/setup.sh [--dev]" >&2; exit 2 ;;
esac
if $dev; then
  packages+=(
    git libgtest-dev libgmock-dev libbenchmark-dev
    clang llvm libclang-rt-dev
    python3 curl wrk chromium
    nginx libcpp-httplib-dev
    xvfb dbus
    desktop-file-utils appstream systemd groff-base libxml2-utils
    zbar-tools lintian  # reading QR codes back; Debian's package checker
  )
fi

# One dpkg-query for all of them (one per package takes seconds); it fails when one is unknown.
installed=" $(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
  awk '/install ok installed$/ { printf "%s ", $1 }' || true)"
missing=()
for p in "${packages[@]}"; do
  [[ "$installed" == *" $p "* ]] || missing+=("$p")
done
if $dev; then
  # The machine image may carry its own Node.js (with npm); only a machine without one gets Debian's.
  command -v node >/dev/null 2>&1 || missing+=(nodejs)
  command -v npm >/dev/null 2>&1 || missing+=(npm)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx is only a peer for bench/http, which runs its own instance: the system service that the
# package starts and enables is stopped and disabled again.
if [[ " ${missing[*]} " == *" nginx "* ]] && [ -d /run/systemd/system ]; then
  "${sudo_cmd[@]}" systemctl disable --now nginx >/dev/null 2>&1 || true
fi
