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
mkdir -p "$stage/sounds"
x86_64-w64-mingw32-strip -o "$stage/palomir.exe" "$build/palomir.exe"
# palomir.com: the game from a command prompt, which waits for it.
x86_64-w64-mingw32-strip -o "$stage/palomir.com" "$build/palomir.com"
cp "$tree"/sounds/*.wav "$stage/sounds/"
# The catalogs as the build compiled them: locale\LANG\LC_MESSAGES\palomir.mo.
for mo in "$build"/locale/*/LC_MESSAGES/palomir.mo; do
  lang=$(basename "$(dirname "$(dirname "$mo")")")
  mkdir -p "$stage/locale/$lang/LC_MESSAGES"
  cp "$mo" "$stage/locale/$lang/LC_MESSAGES/"
done
for text in README LICENCES; do
  sed "s/@VERSION@/$version/g; s/\$/\r/" "$tree/data/windows/$text.txt" >"$stage/$text.txt"
done
rm -f "$dist/$name.zip"
(cd "$work" && zip -q -X -r "$dist/$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUT="$dist/palomir-$version-setup.exe" \
  "$tree/tools/windows/palomir.nsi" >"$work/makensis.log" || { cat "$work/makensis.log" >&2; false; }

# The installer under Wine: silently, for this user; everything in place, the game starts
# (--version), and the uninstaller leaves nothing behind.
wineserver -p
wine wineboot -i >/dev/null 2>&1
cp "$dist/palomir-$version-setup.exe" "$WINEPREFIX/drive_c/"
wine "C:\\palomir-$version-setup.exe" /S
installed=$(wine cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')
folder=$(winepath -u "$installed\\Programs\\Palomir")
menu=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs\\Palomir")
problems=()
for f in palomir.exe palomir.com README.txt LICENCES.txt uninstall.exe sounds/puck.wav \
         locale/de/LC_MESSAGES/palomir.mo locale/ru/LC_MESSAGES/palomir.mo; do
  [ -f "$folder/$f" ] || problems+=("$f was not installed")
done
[ "$(ls "$folder/sounds" | wc -l)" -eq "$(ls "$tree"/sounds/*.wav | wc -l)" ] || problems+=("not every sound was installed")
[ -f "$menu/Palomir.lnk" ] || problems+=("no Start-menu entry")
said=$(wine "$installed\\Programs\\Palomir\\palomir.exe" --version | tr -d '\r')
[ "$said" = "palomir $version" ] || problems+=("the installed game says '$said'")
wine "$installed\\Programs\\Palomir\\uninstall.exe" /S
# The uninstaller copies itself away and returns at once: its copy is given 20 s.
for _ in $(seq 100); do
  [ -e "$folder" ] || [ -e "$menu" ] || break
  sleep 0.2
done
[ ! -e "$folder" ] || problems+=("the uninstaller left $(ls -A "$folder" | tr '\n' ' ')")
[ ! -e "$menu" ] || problems+=("the uninstaller left the Start-menu folder")
if ((${#problems[@]})); then
  printf 'windows installer: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "$dist/$name.zip ($(du -k "$dist/$name.zip" | cut -f1) KiB)"
echo "$dist/palomir-$version-setup.exe ($(du -k "$dist/palomir-$version-setup.exe" | cut -f1) KiB): installs, starts and uninstalls under Wine"
