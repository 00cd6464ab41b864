#!/usr/bin/env bash
# Builds ENet for 64-bit Windows from Debian's own source package, into PREFIX:
#   tools/windows/enet.sh PREFIX
# (The source through apt, and PREFIX kept when it holds this build: tools/windows/debian_source.sh.)
# ENet is built as a static library (PREFIX/lib/libenet.a, its headers in PREFIX/include/enet),
# linked into the game; its licence text (MIT) goes to PREFIX/doc.
. "$(dirname "$0")/debian_source.sh"
debian_begin "$1" static || exit 0
debian_source enet
debian_cmake
# ENet's own install rule, where it has one, puts the library in lib/static: it is taken from
# the build instead, and the headers from the source.
mkdir -p "$prefix/lib"
cp "$work/build/libenet.a" "$prefix/lib/"
cp -r "$work/src/include" "$prefix/"
rm -rf "$prefix/lib/static"
debian_done LICENSE
