#!/usr/bin/env bash
# Runs the Windows build's virtual-machine suite, the Windows machine's own run of the
# machine's contract, and every scenario in tests/scenarios under Wine, headless, in a Wine
# prefix of its own that is removed afterwards:
#   tools/windows/test.sh BUILD-WINDOWS [BUILD-LINUX]
# The programs and the scenarios are copied to the prefix's C: drive, so that the tests see
# Windows paths (C:\palomir\...), not Wine's Z: view of this machine. A scenario's output
# must be the committed expectation byte for byte once Windows' CRLF line ends are LF. With
# BUILD-LINUX, the suite must run the same cases as the Linux one, less those that need
# what Windows has not (a FIFO, a signal sent to a thread).
set -euo pipefail
tree=$(cd "$(dirname "$0")/../.." && pwd)
win=$(realpath "$1")
linux=${2:+$(realpath "$2")}
posix_only="MixerThreads.AGameThreadStoppedMidUpdateNeverStallsTheMix
Recording.AFifoNobodyReadsNeverHoldsTheGame"

. "$tree/tools/windows/wine_env.sh"
work=$(mktemp -d)
stop() {
  wine_stop
  rm -rf "$work"
}
trap stop EXIT
started=$EPOCHREALTIME
since() { awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
# One server for every run below (each start is then a tenth of a second, not a second).
wineserver -p
wine wineboot -i >/dev/null 2>&1
drive=$WINEPREFIX/drive_c/palomir
mkdir -p "$drive/scenarios"
# The DLLs the programs load (libsoxr's) beside them, as the zip has them.
cp "$win/tests/palomir_tests.exe" "$win/tests/palomir_win32_tests.exe" "$win/scenario.exe" \
   "$win/palomir.exe" "$win/palomir.com" "$win"/*.dll "$drive/"
cp -r "$tree/sounds" "$win/locale" "$drive/"  # the catalogs, as the zip has them
cp "$tree"/tests/scenarios/*.txt "$drive/scenarios/"
echo "windows: Wine prefix ready in $(since) s"

passed=0
failed=0
names() { tr -d '\r' | awk '/^[^ ]/ {suite = $1} /^  / {print suite $1}' | sort; }
status=0
# From its folder, where the catalogs are (locale\LANG\LC_MESSAGES).
(cd "$drive" && wine 'C:\palomir\palomir_tests.exe' --gtest_brief=1) >"$work/suite.log" 2>&1 || status=$?
tr -d '\r' <"$work/suite.log" | grep -E "^\[  (PASSED|FAILED) |^\[==========\]" | sed 's/^/windows: /'
if [ "$status" -eq 0 ]; then
  passed=$((passed + 1))
else
  tr -d '\r' <"$work/suite.log" | grep -v "^\[       OK \]" | tail -40
  failed=$((failed + 1))
fi
# The Windows machine held to the machine's contract, from its folder (the sounds): its window
# on a desktop of Wine's null display driver, made for this run alone (the game's own check
# below still finds no display), and its sound on an ALSA device that plays into nothing.
printf 'pcm.!default {\n  type null\n}\n' >"$HOME/.asoundrc"
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
(cd "$drive" && wine explorer /desktop=contract,320x240 'C:\windows\system32\cmd.exe' /c \
   'cd /d C:\palomir && palomir_win32_tests.exe --gtest_brief=1') >"$work/win32.log" 2>&1 || true
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1
rm -f "$HOME/.asoundrc"
tr -d '\r' <"$work/win32.log" | grep -E "^\[  (PASSED|SKIPPED|FAILED) " | sed 's/^/windows machine: /'
if tr -d '\r' <"$work/win32.log" | grep -qE "^\[  PASSED  \] [0-9]+ tests" &&
   ! tr -d '\r' <"$work/win32.log" | grep -q "^\[  FAILED  \]"; then
  passed=$((passed + 1))
else
  tr -d '\r' <"$work/win32.log" | grep -v "^\[       OK \]" | tail -40
  failed=$((failed + 1))
fi
if [ -n "$linux" ]; then
  wine 'C:\palomir\palomir_tests.exe' --gtest_list_tests | names >"$work/windows.list"
  "$linux/tests/palomir_tests" --gtest_list_tests | names >"$work/linux.list"
  if diff <(comm -3 "$work/linux.list" "$work/windows.list") <(sort <<<"$posix_only") >"$work/cases.diff"; then
    echo "windows: the suite runs every case the Linux one does but: $(echo $posix_only)"
    passed=$((passed + 1))
  else
    echo "windows: the suites differ (< only Linux's beyond the known ones, > only Windows'):"
    cat "$work/cases.diff"
    failed=$((failed + 1))
  fi
fi

# The game itself: its command line as on Linux (the version, status 2 for a bad option),
# and, with no display here, the window that cannot be made said in one line, status 1.
version=$(wine 'C:\palomir\palomir.exe' --version | tr -d '\r')
if [ -n "$linux" ]; then expected=$("$linux/palomir" --version); else expected="palomir ${version#palomir }"; fi
status=0
wine 'C:\palomir\palomir.exe' --no-such-option >/dev/null 2>&1 || status=$?
# In German from the catalogs beside it, read by the game itself.
german=$(wine 'C:\palomir\palomir.exe' --language=de --no-such-option 2>&1 | tr -d '\r' | tail -1) || true
nowindow=0
said=$(wine 'C:\palomir\palomir.exe' 2>&1 >/dev/null | tr -d '\r') || nowindow=$?
# Wine's one SAPI voice speaks English: a German game is English, text and voice, said once.
fallback=$(wine 'C:\palomir\palomir.exe' --language=de 2>&1 >/dev/null | tr -d '\r') || true
if [ "$version" = "$expected" ] && [ "$status" -eq 2 ] && [ "$nowindow" -eq 1 ] &&
   [ "$german" = "»palomir --help« gibt weitere Informationen." ] &&
   [[ "$said" == "palomir: cannot make the window"* ]] &&
   [ "$fallback" = "palomir: the voice does not speak German, so the game speaks and writes English
$said" ]; then
  passed=$((passed + 1))
else
  echo "windows: palomir.exe: --version '$version' (Linux: '$expected'), a bad option $status (2)," \
       "no display $nowindow (1): $said; in German: '$german'; German with no German voice: '$fallback'"
  failed=$((failed + 1))
fi

# From a command prompt, "palomir" is palomir.com, which waits for the game: its lines come
# before the prompt's next command, and its status is the game's (cmd itself ends with the
# last one, 2).
console=$(cd "$drive" && wine cmd /c 'palomir --version & echo status=%ERRORLEVEL% & palomir --no-such-option 2>nul & echo status=%ERRORLEVEL%' | tr -d '\r' | sed 's/ *$//') || true
if [ "$console" = "$version
status=0
status=2" ]; then
  passed=$((passed + 1))
else
  echo "windows: palomir.com said '$console' (the version, status=0, status=2)"
  failed=$((failed + 1))
fi

# The program's resources: its icon (four sizes and their group), its version and its manifest.
resources=$(wrestool -l "$win/palomir.exe" | sed -n 's/^--type=\([0-9]*\) .*/\1/p' | tr '\n' ' ')
if [ "$resources" = "3 3 3 3 14 16 24 " ] &&
   wrestool -x --raw --type=24 "$win/palomir.exe" | grep -q "PerMonitorV2"; then
  passed=$((passed + 1))
else
  echo "windows: palomir.exe's resources are types '$resources' (3 3 3 3 14 16 24: four icons, their group, the version, the manifest)"
  failed=$((failed + 1))
fi

for script in "$tree"/tests/scenarios/*.txt; do
  name=$(basename "$script" .txt)
  wine 'C:\palomir\scenario.exe' "C:\\palomir\\scenarios\\$name.txt" >"$work/$name.out" 2>"$work/$name.err" || true
  if sed 's/\r$//' "$work/$name.out" | cmp -s - "$tree/tests/scenarios/$name.expected"; then
    passed=$((passed + 1))
  else
    echo "windows: scenario $name differs from tests/scenarios/$name.expected:"
    sed 's/\r$//' "$work/$name.out" | diff -u "$tree/tests/scenarios/$name.expected" - | head -40
    failed=$((failed + 1))
  fi
done
echo "windows: under Wine in $(since) s"
echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
