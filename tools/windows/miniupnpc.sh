#!/usr/bin/env bash
# Builds miniupnpc for 64-bit Windows from Debian's own source package, into PREFIX:
#   tools/windows/miniupnpc.sh PREFIX
# (The source through apt, and PREFIX kept when it holds this build: tools/windows/debian_source.sh.)
# miniupnpc is built as a static library (PREFIX/lib/libminiupnpc.a, its headers in
# PREFIX/include/miniupnpc; its users define MINIUPNP_STATICLIB), linked into the game; its
# licence text (BSD-3-Clause) goes to PREFIX/doc.
. "$(dirname "$0")/debian_source.sh"
debian_begin "$1" static || exit 0
debian_source miniupnpc
debian_cmake -DUPNPC_BUILD_STATIC=ON -DUPNPC_BUILD_SHARED=OFF -DUPNPC_BUILD_TESTS=OFF \
  -DUPNPC_BUILD_SAMPLE=OFF
debian_done LICENSE
