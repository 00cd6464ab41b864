#!/usr/bin/env bash
# Runs every benchmark and prints one table of figures.
#   bench/run.sh [BUILD_DIR]     (tools/dev.sh bench builds first, then calls this)
# With PALOMIR_BEFORE=OTHER_BUILD/palomir the rally's processor use is measured on both
# programs too, in turns (three rallies each), for a change's before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
xvfb() { xvfb-run -a -s "-screen 0 1024x768x24" "$@"; }

bench_csv=$("$build/bench/mixer_bench" --benchmark_format=csv 2>/dev/null)
mixer=$(awk -F, '/BM_MixOneSecond/ {printf "%.0f", $4}' <<<"$bench_csv")
recording=$(awk -F, '/BM_RecordAndTraceOneSecond/ {printf "%.0f", $4}' <<<"$bench_csv")
compare=""
if [ -x "$build/bench/sdl_mixer_bench" ]; then
  compare=$(SDL_AUDIODRIVER=dummy "$build/bench/sdl_mixer_bench")
fi
game=$("$build/bench/game_bench")
loop=$(SDL_AUDIODRIVER=dummy xvfb "$build/bench/loop_bench" "$build" 2>/dev/null)
program=$(xvfb python3 bench/program_bench.py "$build/palomir" 30 2>/dev/null)
written=$(mktemp -d)
program+=$'\n'$(xvfb python3 bench/program_bench.py "$build/palomir" 30 --record="$written/rec" --trace="$written/trace" 2>/dev/null)
rm -rf "$written"

printf '%-34s | %s\n' "what" "figure"
printf '%-34s-+-%s\n' "----------------------------------" "--------------------------------------------"
printf '%-34s | %s\n' "mixer: 1 s of 48 kHz stereo" "${mixer} us (10 buffers + speech) = $(awk "BEGIN {printf \"%.3f\", $mixer / 10000}")% of a core"
printf '%-34s | %s\n' "--record and --trace, 1 s of play" "${recording} us = $(awk "BEGIN {printf \"%.3f\", $recording / 10000}")% of a core more (game thread)"
[ -n "$compare" ] && printf '%-34s | %s\n' "mixer against SDL_mixer" "$compare"
printf '%-34s | %s\n' "whole games in virtual time" "${game#*: }"
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$loop"
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$program"
burst=$(xvfb python3 bench/burst_bench.py "$build/palomir" 2>/dev/null)
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$burst"
server=$(xvfb python3 bench/server_bench.py "$build" 2>/dev/null)
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$server"
rollback=$("$build/bench/rollback_bench" --benchmark_format=csv 2>/dev/null | awk -F, '/BM_RunAgain150Ms/ {printf "%.1f", $4 / 1000}')
printf '%-34s | %s\n' "a match: 150 ms of ticks run again" "${rollback} us"
match=$(xvfb python3 bench/match_bench.py "$build/palomir" 20 2>/dev/null)
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$match"
latency=$(xvfb python3 bench/latency_bench.py "$build" 22 2>/dev/null)
while IFS= read -r line; do printf '%-34s | %s\n' "${line%%:*}" "${line#*: }"; done <<<"$latency"
