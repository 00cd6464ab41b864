#!/usr/bin/env bash
# Builds libsoxr for 64-bit Windows from Debian's own source package, into PREFIX:
#   tools/windows/soxr.sh PREFIX
# The source comes through apt from the archive the system's own apt sources name, with a
# source list of this script's own kept in a folder beside PREFIX: the system's apt sources
# and lists are left as they are. libsoxr is built as a DLL (PREFIX/bin/libsoxr.dll, its
# import library PREFIX/lib/libsoxr.dll.a), which the game ships beside palomir.exe and a
# player may replace (LGPL-2.1); its licence texts from the source go to PREFIX/doc. A PREFIX
# that already holds this build is kept; one that holds anything else (a static libsoxr of
# an older tree) is built again.
set -euo pipefail
prefix=$(realpath -m "$1")
tree=$(cd "$(dirname "$0")/../.." && pwd)
built=shared  # what .built says besides the source package's name and version
[ "$(cut -d' ' -f2 "$prefix/.built" 2>/dev/null)" != "$built" ] || exit 0
work=$prefix.work
rm -rf "$work" "$prefix"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/source"
# The source list: the system's own Debian archive for its release (as its apt sources name
# it, one-line or deb822), asked for source packages.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
: >"$work/sources.list"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$list" ] || continue
  awk -v r="$release" '$1 == "deb" && $0 ~ (" " r " ") && / main/ {
    sub(/^deb/, "deb-src"); print }' "$list" >>"$work/sources.list"
done
for list in /etc/apt/sources.list.d/*.sources; do
  [ -f "$list" ] || continue
  # One stanza a paragraph: its URIs, suites and keyring, kept when it serves the release's main.
  awk -v r="$release" 'function flush() {
      if (uri != "" && (" " suites " ") ~ (" " r " ") && (" " comps " ") ~ / main / && (" " types " ") ~ / deb /)
        print "deb-src " (key != "" ? "[signed-by=" key "] " : "") uri " " r " main"
      uri = suites = comps = types = key = ""
    }
    /^[ \t]*$/ { flush(); next }
    /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
    /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uri = $1 }
    /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
    /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
    /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $1 }
    END { flush() }' "$list" >>"$work/sources.list"
done
if [ ! -s "$work/sources.list" ]; then
  echo "soxr.sh: no Debian archive for $release in /etc/apt/sources.list or /etc/apt/sources.list.d: add one to build libsoxr for Windows" >&2
  exit 1
fi
apt=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
     -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
# Root's apt hands downloads to its own unprivileged user, who cannot write here.
[ "$(id -u)" -ne 0 ] || apt+=(-o APT::Sandbox::User=root)
apt-get "${apt[@]}" update >/dev/null
(cd "$work/source" && apt-get "${apt[@]}" source --download-only libsoxr >/dev/null)
dpkg-source --no-check -x "$work"/source/libsoxr_*.dsc "$work/src" >/dev/null
# libgcc linked into the DLL, as into the game: it needs no DLL of the compiler's.
cmake -S "$work/src" -B "$work/build" -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=ON -DWITH_OPENMP=OFF -DBUILD_TESTS=OFF -DWITH_LSR_BINDINGS=OFF \
  -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc" -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null
cp "$work/src/COPYING.LGPL" "$prefix/doc/"
echo "$(basename "$work"/source/libsoxr_*.dsc .dsc) $built" >"$prefix/.built"
rm -rf "$work"
