#!/usr/bin/env bash
# Installs what is missing, builds, and plays or tests the game.
#   tools/dev.sh play    build (Release) and start the game
#   tools/dev.sh test    build and run every test
#   tools/dev.sh bench   build and run the benchmarks
#   tools/dev.sh package build (Release, in build-package/) the Debian package into dist/
#   tools/dev.sh windows cross-build (Release, in build-windows/) the Windows game into dist/
#   tools/dev.sh packages COMMAND   print the Debian packages COMMAND needs, one a line
# Run as root or through sudo on Debian 12; it only installs what is not there yet. Through
# sudo, only the installing is done as root: the builds and the game run as the user who
# called sudo, in that user's desktop session.
set -euo pipefail
cd "$(dirname "$0")/.."

list_only=""
if [ "${1:-}" = packages ]; then
  list_only=1
  shift
fi
packages=(cmake g++ make pkg-config libsdl2-dev libespeak-ng-dev espeak-ng-data
          libsoxr-dev libsdl2-ttf-dev libfontconfig-dev fonts-dejavu-core
          libpipewire-0.3-dev gettext libenet-dev libminiupnpc-dev)
# The Windows build: Debian's mingw-w64 compiler, GoogleTest's source for the suite, apt's
# source-package tools for libsoxr, ENet and miniupnpc (tools/windows/soxr.sh, enet.sh and
# miniupnpc.sh), and icoutils' wrestool, which lists the program's resources; mingw-w64-tools'
# widl, which makes the NVDA controller's RPC stubs.
windows=(mingw-w64 mingw-w64-tools g++-mingw-w64-x86-64-posix libgtest-dev dpkg-dev xz-utils gettext icoutils)
case "${1:-}" in
  test) packages+=(libgtest-dev libbenchmark-dev xvfb xauth xdotool python3 procps libx11-dev clang
                   libclang-rt-14-dev llvm-14 gdb dpkg-dev file libc6-dbg lintian appstream man-db
                   pipewire pipewire-pulse wireplumber pipewire-bin pulseaudio-utils dbus
                   speech-dispatcher speech-dispatcher-espeak-ng espeak-ng
                   sway xwayland libwayland-dev libxkbcommon-dev rtkit polkitd
                   iproute2 miniupnpd nftables "${windows[@]}" nsis zip wine64 wine) ;;
  bench) packages+=(libgtest-dev libbenchmark-dev xvfb xauth xdotool libsdl2-mixer-dev valgrind
                    pipewire pipewire-pulse wireplumber pipewire-bin pulseaudio-utils dbus rtkit polkitd) ;;
  package) packages+=(dpkg-dev file lintian) ;;
  windows) packages+=("${windows[@]}" nsis zip wine64 wine) ;;
esac
if [ -n "$list_only" ]; then
  printf '%s\n' "${packages[@]}" | sort -u
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # apt and dpkg say a couple of thousand lines even when told to be quiet: they go to a
  # log, shown only when the install fails. No questions asked (debconf's noninteractive
  # front end, passed through sudo).
  echo "installing what is missing: ${missing[*]}"
  log=$(mktemp)
  apt=($sudo env DEBIAN_FRONTEND=noninteractive apt-get -q -o Dpkg::Use-Pty=0)
  if ! { "${apt[@]}" update && "${apt[@]}" install -y --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "installing ${missing[*]} failed (apt's output above)" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
fi

# Through sudo, the rest is the calling user's: the tree and its builds stay theirs, and the
# game reaches their sound server and desktop. sudo keeps DISPLAY and XAUTHORITY; the
# session's runtime folder, bus and Wayland socket are found again under /run/user/UID.
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] &&
   runuser -u "$SUDO_USER" -- test -w . 2>/dev/null; then
  uid=$(id -u "$SUDO_USER")
  session=(HOME="$(getent passwd "$SUDO_USER" | cut -d: -f6)" USER="$SUDO_USER" LOGNAME="$SUDO_USER")
  runtime=${XDG_RUNTIME_DIR:-/run/user/$uid}
  [ "$(stat -c %u "$runtime" 2>/dev/null)" = "$uid" ] || runtime=/run/user/$uid
  if [ -d "$runtime" ]; then
    session+=(XDG_RUNTIME_DIR="$runtime")
    bus=${DBUS_SESSION_BUS_ADDRESS:-}
    [ -n "$bus" ] || [ ! -S "$runtime/bus" ] || bus="unix:path=$runtime/bus"
    [ -z "$bus" ] || session+=(DBUS_SESSION_BUS_ADDRESS="$bus")
    wayland=${WAYLAND_DISPLAY:-}
    for socket in "$runtime"/wayland-[0-9]; do
      [ -n "$wayland" ] || [ ! -S "$socket" ] || wayland=${socket##*/}
    done
    [ -z "$wayland" ] || session+=(WAYLAND_DISPLAY="$wayland")
  fi
  # Builds an earlier run left to root are given back.
  for dir in build build-asan build-fuzz build-logs build-package build-windows build-windows-deps dist; do
    [ ! -e "$dir" ] || chown -R "$SUDO_USER:$(id -g "$SUDO_USER")" "$dir"
  done
  exec runuser -u "$SUDO_USER" -- env -u XDG_RUNTIME_DIR -u DBUS_SESSION_BUS_ADDRESS \
    -u WAYLAND_DISPLAY "${session[@]}" tools/dev.sh "$@"
fi

jobs=$(nproc)
# Where the sanitizers and the fuzzers find source lines for what they report.
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# The Windows build in build-windows/, with libsoxr, ENet and miniupnpc built for it beside it.
build_windows() {  # build_windows [cmake options...]
  local library
  for library in soxr enet miniupnpc; do
    tools/windows/$library.sh build-windows-deps/$library
  done
  # The compiler is chosen once, when the tree is first configured (named again, CMake warns
  # that it was not used).
  local toolchain=()
  [ -f build-windows/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
  build build-windows "${toolchain[@]}" -DPALOMIR_BENCH=OFF "$@"
}

case "${1:-}" in
  play)
    # Only the game and its sounds: no tests, no benchmarks.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPALOMIR_TESTS=OFF -DPALOMIR_BENCH=OFF >/dev/null
    cmake --build build -j "$jobs" --target palomir
    exec build/palomir "${@:2}"
    ;;
  test)
    # Nothing of the tests' is left in the tree or the home: no compiled Python beside the
    # scripts, caches (Mesa's shaders, for Wine's and the Wayland desktop's drawing) in a
    # folder of the run's own, and an X server's socket folder made for them removed again.
    export PYTHONDONTWRITEBYTECODE=1
    XDG_CACHE_HOME=$(mktemp -d -t palomir-cache.XXXXXX)
    export XDG_CACHE_HOME
    [ -e /tmp/.X11-unix ] && x11=kept || x11=""
    declare -A side  # the process group of each stage that runs beside the suite, by name
    finish() {
      local group
      for group in "${side[@]}"; do kill -- -"$group" 2>/dev/null || true; done
      [ -n "$x11" ] || rmdir /tmp/.X11-unix 2>/dev/null || true
      rm -rf "$XDG_CACHE_HOME"
    }
    trap finish EXIT
    begun=$SECONDS
    stage() {  # stage WHAT: what has just ended, and the time it took so far
      local t=$((SECONDS - begun))
      printf 'dev.sh test: %s (%d:%02d since the start)\n' "$1" $((t / 60)) $((t % 60))
    }
    beside() {  # beside NAME COMMAND...: runs the command beside the suite, its output in a log
      # At a lower priority: the suite's games play in real time and come first; the builds
      # take what the machine has left.
      set -m
      { renice -n 10 -p "$BASHPID" >/dev/null; "${@:2}"; } >"build-logs/$1.log" 2>&1 &
      set +m
      side[$1]=$!
    }
    joined() {  # joined NAME WHAT: waits for what beside NAME runs, shows its output, fails with it
      local status=0
      wait "${side[$1]}" || status=$?
      unset "side[$1]"
      cat "build-logs/$1.log"
      [ "$status" -eq 0 ] || { echo "dev.sh test: $2 failed (build-logs/$1.log)" >&2; exit 1; }
      stage "$2 passed"
    }
    fuzz() {  # the fuzzers, for a bounded time each, from the committed seeds
      local target work status
      for target in wav game replay ssip mo match; do
        work=$(mktemp -d)
        status=0
        build-fuzz/${target}_fuzz -max_total_time="${FUZZ_SECONDS:-30}" -max_len=4096 \
          "$work" "fuzz/corpus/$target" >"$work.log" 2>&1 || status=$?
        grep -E "^(Done|==[0-9]+==|rule broken|SUMMARY|artifact)" "$work.log" | sed "s/^/${target}_fuzz: /" || true
        rm -rf "$work" "$work.log"
        if [ "$status" -ne 0 ]; then
          echo "${target}_fuzz found a fault (status $status)" >&2
          return 1
        fi
      done
    }
    windows_stage() {
      build_windows -DPALOMIR_TESTS=ON
      # The Windows build's suite and scenarios, under Wine, headless.
      tools/windows/test.sh build-windows build
      # Its zip and installer, the installer tried under Wine.
      tools/windows/package.sh build-windows build-windows/dist
    }
    sanitizers_stage() {
      build build-asan -DPALOMIR_SANITIZE=ON -DPALOMIR_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
      CC=clang CXX=clang++ build build-fuzz -DPALOMIR_FUZZ=ON -DPALOMIR_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
      fuzz
    }
    build build -DPALOMIR_TESTS=ON -DPALOMIR_BENCH=OFF
    stage "the game and its tests built"
    # While the suite runs (it mostly waits on games played in real time), the Windows game
    # is built and tried under Wine, and the sanitizers' and the fuzzers' trees are built and
    # the fuzzers run. Their output is shown when they end.
    mkdir -p build-logs
    beside windows windows_stage
    beside sanitizers sanitizers_stage
    (cd build && ctest --output-on-failure -j "$jobs" --timeout 300)
    stage "the suite passed"
    joined windows "the Windows build, its suite and its installer"
    # The real Windows game under Wine, in Xvfb, heard through a PipeWire server of its own.
    xvfb-run -a -s "-screen 0 1024x768x24" python3 tests/e2e/windows_test.py \
      build-windows/palomir.exe build/tests/xclose build/scenario build-windows/tests/jaws_standin.dll \
      build/palomir
    stage "the Windows game under Wine passed"
    # The same game speaking through NVDA's controller interface, to a stand-in for NVDA.
    xvfb-run -a -s "-screen 0 1024x768x24" python3 tests/e2e/nvda_test.py \
      build-windows/palomir.exe build-windows/nvda_standin.exe
    stage "the Windows game speaking through NVDA under Wine passed"
    joined sanitizers "the sanitizers' and the fuzzers' builds and the fuzzers"
    # The same suite again under AddressSanitizer, UndefinedBehaviorSanitizer and
    # LeakSanitizer.
    (cd build-asan && PALOMIR_SANITIZED=1 ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/../tests/lsan.supp:print_suppressions=0" \
      ctest --output-on-failure -j "$jobs" --timeout 600)
    stage "the suite under the sanitizers passed"
    ;;
  package)
    # A Release build of its own, so that what is packed is the game alone, whatever build/
    # holds. cpack refuses without dpkg-shlibdeps (tools/cpack_checks.cmake).
    build build-package -DPALOMIR_TESTS=OFF -DPALOMIR_BENCH=OFF
    mkdir -p dist
    rm -rf build-package/cpack
    (cd build-package && cpack -G DEB -B "$PWD/cpack" >/dev/null)
    deb=$(ls build-package/cpack/palomir_*_amd64.deb)
    depends=$(dpkg-deb -f "$deb" Depends)
    case "$depends" in
      *libc6*) ;;
      *) echo "$deb lists no library dependencies ($depends): not packaged" >&2; exit 1 ;;
    esac
    mv "$deb" dist/
    deb=dist/${deb##*/}
    lintian --fail-on error,warning "$deb"
    echo "$deb (Depends: $depends)"
    ;;
  windows)
    # The Windows game, cross-built (Release, in build-windows/): a zip to unzip and play and
    # a per-user installer in dist/, the installer installed, started and uninstalled under
    # Wine.
    build_windows -DPALOMIR_TESTS=OFF
    tools/windows/package.sh build-windows dist
    ;;
  bench)
    build build -DPALOMIR_BENCH=ON -DPALOMIR_TESTS=ON
    bench/run.sh build
    ;;
  *)
    echo "usage: tools/dev.sh play|test|bench|package|windows" >&2
    exit 2
    ;;
esac
