#!/usr/bin/env bash
# Builds libsoxr for 64-bit Windows from Debian's own source package, into PREFIX:
#   tools/windows/soxr.sh PREFIX
# The source comes through apt with a source list of this script's own, kept in a folder
# beside PREFIX: the system's apt sources and lists are left as they are. A PREFIX that
# already holds a build is kept.
set -euo pipefail
prefix=$(realpath -m "$1")
tree=$(cd "$(dirname "$0")/../.." && pwd)
[ ! -f "$prefix/.built" ] || exit 0
work=$prefix.work
rm -rf "$work" "$prefix"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/source"
echo "deb-src http://deb.debian.org/debian bookworm main" >"$work/sources.list"
apt=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
     -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
# Root's apt hands downloads to its own unprivileged user, who cannot write here.
[ "$(id -u)" -ne 0 ] || apt+=(-o APT::Sandbox::User=root)
apt-get "${apt[@]}" update >/dev/null
(cd "$work/source" && apt-get "${apt[@]}" source --download-only libsoxr >/dev/null)
dpkg-source --no-check -x "$work"/source/libsoxr_*.dsc "$work/src" >/dev/null
cmake -S "$work/src" -B "$work/build" -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=OFF -DWITH_OPENMP=OFF -DBUILD_TESTS=OFF -DWITH_LSR_BINDINGS=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null
basename "$work"/source/libsoxr_*.dsc .dsc >"$prefix/.built"
rm -rf "$work"
