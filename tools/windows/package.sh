#!/usr/bin/env bash
# Packs the Windows game from a Release build into DIST: a zip to unzip and play, and a
# per-user installer; then installs, starts and uninstalls the installer under Wine.
#   tools/windows/package.sh BUILD-WINDOWS DIST
set -euo pipefail
# A step that fails says which it was: most of them print nothing of their own.
trap 'echo "package.sh: line $LINENO failed (status $?): $BASH_COMMAND" >&2' ERR
tree=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
mkdir -p "$2"
dist=$(realpath "$2")
version=$(sed -n 's/^project(palomir VERSION \([0-9.]*\).*/\1/p' "$tree/CMakeLists.txt")
name=palomir-$version-windows-x64
work=$(mktemp -d)
. "$tree/tools/windows/wine_env.sh"
stop() {
  wine_stop
  rm -rf "$work"
}
trap stop EXIT

# The folder the zip holds, and the installer installs: the text files with Windows' line ends.
stage=$work/$name
mkdir -p "$stage/sounds" "$stage/licences"
x86_64-w64-mingw32-strip -o "$stage/palomir.exe" "$build/palomir.exe"
# palomir.com: the game from a command prompt, which waits for it.
x86_64-w64-mingw32-strip -o "$stage/palomir.com" "$build/palomir.com"
# The libraries' folders as the build names them, each with its licence texts and its source
# package's name and version (PACKAGE_UPSTREAM-DEBIAN) as tools/windows/soxr.sh, enet.sh and
# miniupnpc.sh left them there.
prefix_of() { sed -n "s/^PALOMIR_$1_PREFIX:PATH=//p" "$build/CMakeCache.txt"; }
debian_of() {
  local source _
  read -r source _ <"$1/.built"
  echo "${source#*_}"
}
# A text with Windows' line ends.
crlf() { sed 's/$/\r/' "$@"; }
soxr=$(prefix_of SOXR)
enet=$(prefix_of ENET)
miniupnpc=$(prefix_of MINIUPNPC)
soxr_debian=$(debian_of "$soxr")
enet_debian=$(debian_of "$enet")
miniupnpc_debian=$(debian_of "$miniupnpc")
# libsoxr, a DLL of its own beside the game (a player may put another build of it there).
x86_64-w64-mingw32-strip -o "$stage/libsoxr.dll" "$build/libsoxr.dll"
crlf "$soxr/doc/COPYING.LGPL" >"$stage/licences/libsoxr-LGPL-2.1.txt"
# ENet and miniupnpc, linked into the game: their notices, which LICENCES.txt passes on too.
crlf "$enet/doc/LICENSE" >"$stage/licences/enet-MIT.txt"
crlf "$miniupnpc/doc/LICENSE" >"$stage/licences/miniupnpc-BSD-3-Clause.txt"
cp "$tree"/sounds/*.wav "$stage/sounds/"
# The catalogs as the build compiled them: locale\LANG\LC_MESSAGES\palomir.mo.
for mo in "$build"/locale/*/LC_MESSAGES/palomir.mo; do
  lang=$(basename "$(dirname "$(dirname "$mo")")")
  mkdir -p "$stage/locale/$lang/LC_MESSAGES"
  cp "$mo" "$stage/locale/$lang/LC_MESSAGES/"
done
# A library's copyright line as its licence text states it, for sed's replacement.
copyright_of() { grep -m1 '^Copyright' "$1" | sed 's/[&/\\]/\\&/g'; }
fill=(-e "s/@VERSION@/$version/g"
      -e "s/@SOXR_DEBIAN@/$soxr_debian/g" -e "s/@SOXR_VERSION@/${soxr_debian%-*}/g"
      -e "s/@ENET_DEBIAN@/$enet_debian/g" -e "s/@ENET_VERSION@/${enet_debian%%[-+]*}/g"
      -e "s/@ENET_COPYRIGHT@/$(copyright_of "$enet/doc/LICENSE")/g"
      -e "s/@MINIUPNPC_DEBIAN@/$miniupnpc_debian/g" -e "s/@MINIUPNPC_VERSION@/${miniupnpc_debian%%[-+]*}/g"
      -e "s/@MINIUPNPC_COPYRIGHT@/$(copyright_of "$miniupnpc/doc/LICENSE")/g")
for text in README LICENCES; do
  sed "${fill[@]}" "$tree/data/windows/$text.txt" | crlf >"$stage/$text.txt"
done
rm -f "$dist/$name.zip"
(cd "$work" && zip -q -X -r "$dist/$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUT="$dist/palomir-$version-setup.exe" \
  "$tree/tools/windows/palomir.nsi" >"$work/makensis.log" || { cat "$work/makensis.log" >&2; false; }

problems=()
! grep -o '@[A-Z_]*@' "$stage/README.txt" "$stage/LICENCES.txt" >"$work/unfilled" ||
  problems+=("left unfilled: $(tr '\n' ' ' <"$work/unfilled")")
# LICENCES.txt holds each linked-in library's notice whole, as the library's source words it
# (lines wrapped and indented as they may be).
flat() { tr -d '\r' | tr -s ' \t\n' '   ' | sed 's/^ //; s/ $//'; }
for text in enet-MIT miniupnpc-BSD-3-Clause; do
  notice=$(sed -n '/^Copyright/,$p' "$stage/licences/$text.txt" | flat)
  [ -n "$notice" ] && [[ "$(flat <"$stage/LICENCES.txt")" == *"$notice"* ]] ||
    problems+=("LICENCES.txt does not hold licences/$text.txt's notice whole")
done
# What the game and its DLL load: Windows' own DLLs and what ships beside them, no runtime of
# the compiler's (libstdc++, libgcc and winpthreads are linked in).
for program in "$stage"/*.exe "$stage"/*.com "$stage"/*.dll; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\tDLL Name: //p'); do
    [ -f "$stage/$dll" ] || [[ "$dll" != lib* ]] || problems+=("${program##*/} needs $dll, which is not shipped")
  done
done

wineserver -p
wine wineboot -i >/dev/null 2>&1
# The zip, unpacked: everything in it, and the game starts from its folder.
python3 -m zipfile -e "$dist/$name.zip" "$WINEPREFIX/drive_c/"
shipped=(palomir.exe palomir.com libsoxr.dll README.txt LICENCES.txt licences/libsoxr-LGPL-2.1.txt
         licences/enet-MIT.txt licences/miniupnpc-BSD-3-Clause.txt
         sounds/puck.wav locale/de/LC_MESSAGES/palomir.mo locale/ru/LC_MESSAGES/palomir.mo)
for f in "${shipped[@]}"; do
  [ -f "$WINEPREFIX/drive_c/$name/$f" ] || problems+=("$f is not in the zip")
done
said=$(wine "C:\\$name\\palomir.exe" --version | tr -d '\r')
[ "$said" = "palomir $version" ] || problems+=("the game from the zip says '$said'")

# The installer under Wine: silently, for this user; everything in place, the game starts
# (--version), and the uninstaller leaves nothing behind, in %TEMP% neither.
cp "$dist/palomir-$version-setup.exe" "$WINEPREFIX/drive_c/"
wine "C:\\palomir-$version-setup.exe" /S
installed=$(wine cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')
folder=$(winepath -u "$installed\\Programs\\Palomir")
menu=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs\\Palomir")
for f in "${shipped[@]}" uninstall.exe; do
  [ -f "$folder/$f" ] || problems+=("$f was not installed")
done
[ "$(ls "$folder/sounds" | wc -l)" -eq "$(ls "$tree"/sounds/*.wav | wc -l)" ] || problems+=("not every sound was installed")
[ -f "$menu/Palomir.lnk" ] || problems+=("no Start-menu entry")
[ -f "$menu/Palomir, join a match.lnk" ] || problems+=("no Start-menu entry for a match")
said=$(wine "$installed\\Programs\\Palomir\\palomir.exe" --version | tr -d '\r')
[ "$said" = "palomir $version" ] || problems+=("the installed game says '$said'")
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Palomir'
wine reg query "$key" /v EstimatedSize 2>/dev/null | grep -q EstimatedSize ||
  problems+=("the uninstall entry has no EstimatedSize")

# Installed again over a game that is running (an older one: here the unstripped build, whose
# hash differs): the game is closed and the new palomir.exe is in place.
cp "$build/palomir.exe" "$folder/palomir.exe"
printf 'pcm.!default {\n  type null\n}\n' >"$HOME/.asoundrc"  # no sound card: a null one
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wine explorer /desktop=package,320x240 "$installed\\Programs\\Palomir\\palomir.exe" >/dev/null 2>&1 &
game=$!
sleep 5  # the game is up and holds palomir.exe
# The installer on the game's desktop, where it can find the game's window.
wine explorer /desktop=package,320x240 "C:\\palomir-$version-setup.exe" /S >/dev/null 2>&1 || true
[ "$(sha256sum <"$folder/palomir.exe")" = "$(sha256sum <"$stage/palomir.exe")" ] ||
  problems+=("installing over the running game left the old palomir.exe")
for _ in $(seq 50); do
  kill -0 "$game" 2>/dev/null || break
  sleep 0.2
done
! kill -0 "$game" 2>/dev/null || problems+=("the running game was not closed")
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1

# The player's settings outlive the game.
settings=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')\\Palomir")
mkdir -p "$settings"
echo "speech-rate = 300" >"$settings/settings"
temp=$(winepath -u "$(wine cmd /c 'echo %TEMP%' | tr -d '\r')")
before=$(ls -A "$temp")
wine "$installed\\Programs\\Palomir\\uninstall.exe" /S
# The uninstaller copies itself away and returns at once: its copy is given 20 s.
for _ in $(seq 100); do
  [ -e "$folder" ] || [ -e "$menu" ] || break
  sleep 0.2
done
[ ! -e "$folder" ] || problems+=("the uninstaller left $(ls -A "$folder" | tr '\n' ' ')")
# Its copy's folder in %TEMP% goes a moment after the copy ends.
for _ in $(seq 25); do
  [ "$(ls -A "$temp")" != "$before" ] || break
  sleep 0.2
done
[ "$(ls -A "$temp")" = "$before" ] ||
  problems+=("the uninstaller left in %TEMP%: $(comm -13 <(echo "$before") <(ls -A "$temp") | tr '\n' ' ')")
[ ! -e "$menu" ] || problems+=("the uninstaller left the Start-menu folder")
[ -f "$settings/settings" ] || problems+=("the uninstaller removed the player's settings")
if ((${#problems[@]})); then
  printf 'windows installer: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "$dist/$name.zip ($(du -k "$dist/$name.zip" | cut -f1) KiB)"
echo "$dist/palomir-$version-setup.exe ($(du -k "$dist/palomir-$version-setup.exe" | cut -f1) KiB): installs, starts and uninstalls under Wine"
