#!/usr/bin/env bash
# Builds libsoxr for 64-bit Windows from Debian's own source package, into PREFIX:
#   tools/windows/soxr.sh PREFIX
# (The source through apt, and PREFIX kept when it holds this build: tools/windows/debian_source.sh.)
# libsoxr is built as a DLL (PREFIX/bin/libsoxr.dll, its import library
# PREFIX/lib/libsoxr.dll.a), which the game ships beside palomir.exe and a player may replace
# (LGPL-2.1); its licence texts from the source go to PREFIX/doc.
. "$(dirname "$0")/debian_source.sh"
debian_begin "$1" shared || exit 0
debian_source libsoxr
# libgcc linked into the DLL, as into the game: it needs no DLL of the compiler's.
debian_cmake -DBUILD_SHARED_LIBS=ON -DWITH_OPENMP=OFF -DBUILD_TESTS=OFF -DWITH_LSR_BINDINGS=OFF \
  -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc"
debian_done COPYING.LGPL
