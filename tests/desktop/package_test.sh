#!/usr/bin/env bash
# The Debian package as a user gets it: cpack -G DEB in a built tree, its control data and file
# list, each installed file checked by its own validator, and the installed program run from a
# root of its own.
# Usage: package_test.sh BUILD_DIR VERSION APP_ID WITH_WINDOW(ON|OFF)
set -euo pipefail
build=$1 version=$2 id=$3 window=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
deb=$(find "$work/out" -maxdepth 1 -name '*.deb')
[ "$(wc -w <<<"$deb")" -eq 1 ] || { echo "FAIL: one package expected, got: $deb" >&2; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmora ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version $(field Version), the project's is $version"
[[ "$(field Maintainer)" == *"<"*"@"*">" ]] || fail "Maintainer: $(field Maintainer)"
[ "$(field Description | wc -l)" -gt 2 ] || fail "Description: $(field Description)"
# What dpkg-shlibdeps computed from the binary, and the SVG plug-in it cannot see.
needed=(libc6 libcurl4 libssl3)
[ "$window" = ON ] && needed+=(libqt6widgets6 libqt6dbus6 libqt6svg6)
depends=$(field Depends | sed 's/ ([^)]*)//g; s/, */\n/g')
for package in "${needed[@]}"; do
  grep -q -x -F "$package" <<<"$depends" || fail "Depends lacks $package: $(field Depends)"
done

expected="./usr/bin/velmora
./usr/lib/systemd/user/velmora.service
./usr/share/applications/$id.desktop
./usr/share/doc/velmora/changelog.gz
./usr/share/doc/velmora/copyright
./usr/share/icons/hicolor/scalable/apps/$id.svg
./usr/share/man/man1/velmora.1.gz
./usr/share/metainfo/$id.metainfo.xml"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$files" = "$expected" ] || fail "files:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"

root=$work/root
dpkg -x "$deb" "$root"
share=$root/usr/share
desktop-file-validate "$share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml" >"$work/as.log" 2>&1 ||
  { cat "$work/as.log" >&2; fail "appstreamcli validate"; }
xmllint --noout "$share/icons/hicolor/scalable/apps/$id.svg" || fail "the icon is not XML"
grep -q '<svg ' "$share/icons/hicolor/scalable/apps/$id.svg" || fail "the icon is not an SVG"
# groff's warnings go to standard error; a clean page has none.
gzip -dc "$share/man/man1/velmora.1.gz" >"$work/velmora.1"
man_warnings=$(groff -man -ww -z -Tutf8 "$work/velmora.1" 2>&1)
[ -z "$man_warnings" ] || fail "man page: $man_warnings"
# verify only warns (status 0) about unknown keys and values, so any line it prints fails; the
# unit's copy starts the extracted program, which verify requires to exist.
mkdir -m 700 "$work/runtime"
sed "s|=/usr/bin/velmora|=$root/usr/bin/velmora|" "$root/usr/lib/systemd/user/velmora.service" \
  >"$work/runtime/velmora.service"
unit_log=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze verify --user --man=no \
  "$work/runtime/velmora.service" 2>&1) && [ -z "$unit_log" ] || fail "systemd unit: $unit_log"

# The installed program itself, and a man page that names every option --help names.
velmora=$root/usr/bin/velmora
[ "$("$velmora" --version)" = "Velmora $version" ] || fail "--version: $("$velmora" --version)"
help=$("$velmora" --help) || fail "--help failed"
for option in $(grep -o -E -- '(^  |, )-{1,2}[a-z][a-z-]*' <<<"$help" | tr -d ' ,' | sort -u); do
  grep -q -E -- "${option//-/'\\-'}([^a-z-]|\$)" "$work/velmora.1" ||
    fail "the man page lacks $option"
done
# Debian's own checker, where it is installed (scripts/setup.sh --dev installs it): no error and
# no warning. It refuses to run as root without this flag.
if command -v lintian >/dev/null; then
  lintian --allow-root --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian"; }
fi
[ "$failures" -eq 0 ] || exit 1
echo "package_test: $(basename "$deb") holds $(wc -l <<<"$files") files, each validated"
