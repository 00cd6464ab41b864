#!/usr/bin/env bash
# Runs every benchmark and prints one table of figures.
#   bench/run.sh [BUILD_DIR]     (tools/dev.sh bench builds first, then calls this)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
xvfb() { xvfb-run -a -s "-screen 0 1024x768x24" "$@"; }

mixer=$("$build/bench/mixer_bench" --benchmark_format=csv 2>/dev/null | awk -F, '/BM_MixOneSecond/ {printf "%.0f", $4}')
compare=""
if [ -x "$build/bench/sdl_mixer_bench" ]; then
  compare=$(SDL_AUDIODRIVER=dummy "$build/bench/sdl_mixer_bench")
fi
game=$("$build/bench/game_bench")
loop=$(SDL_AUDIODRIVER=dummy xvfb "$build/bench/loop_bench" "$build" 2>/dev/null)
program=$(xvfb python3 bench/program_bench.py "$build/palomir" 30 2>/dev/null)

printf '%-34s | %s\n' "what" "figure"
printf '%-34s-+-%s\n' "----------------------------------" "--------------------------------------------"
printf '%-34s | %s\n' "mixer: 1 s of 48 kHz stereo" "${mixer} us (10 buffers + speech) = $(awk "BEGIN {printf \"%.3f\", $mixer / 10000}")% of a core"
[ -n "$compare" ] && printf '%-34s | %s\n' "mixer against SDL_mixer" "$compare"
printf '%-34s | %s\n' "whole games in virtual time" "${game#*: }"
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$loop"
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$program"
server=$(xvfb python3 bench/server_bench.py "$build" 2>/dev/null)
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$server"
