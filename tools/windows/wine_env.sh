# Sourced by the Windows scripts: a Wine of their own, headless, in a temporary folder that
# holds its prefix, its home, its XDG folders and its runtime folder (where wineserver keeps
# its socket), so that nothing of it is left behind: no menu entries (Wine's menu builder is
# off), no server folder under /run/user. `wine_stop` ends this prefix's server alone (other
# Wine users on the machine are left alone) and removes the folder.
wine_home=$(mktemp -d "${TMPDIR:-/tmp}/palomir-wine.XXXXXX")
mkdir -p -m 700 "$wine_home/prefix" "$wine_home/home" "$wine_home/run"
export WINEPREFIX=$wine_home/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME=$wine_home/home XDG_RUNTIME_DIR=$wine_home/run XDG_CONFIG_HOME=$wine_home/home/.config
export XDG_CACHE_HOME=$wine_home/home/.cache XDG_DATA_HOME=$wine_home/home/.local/share
unset DISPLAY WAYLAND_DISPLAY
# Wine keeps a Windows name (UTF-16) on this machine as a Linux file name in the Linux
# locale's character set: with none set (a minimal system), ASCII, and a folder named
# C:\users\Zoë cannot be made at all. Its files' names are UTF-8, as the system's are.
export LC_ALL=C.UTF-8
wine_stop() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # Where a system has /run/user/UID, Wine keeps its server's folder there, named after the
  # prefix's device and inode, whatever XDG_RUNTIME_DIR says; where it has not (root on a
  # machine with no login), in a folder it makes as /tmp/wine-XXXXXX. This prefix's alone goes.
  local server uid found
  server=$(stat -c 'server-%d-%i' "$WINEPREFIX" 2>/dev/null | awk -F- '{printf "server-%x-%x", $2, $3}')
  uid=$(id -u)
  if [ -n "$server" ]; then
    rm -rf "/run/user/$uid/wine/$server" "/tmp/.wine-$uid/$server"
    rmdir "/run/user/$uid/wine" "/tmp/.wine-$uid" 2>/dev/null || true
    for found in /tmp/wine-??????/"$server"; do
      [ -O "$found" ] || continue
      rm -rf "$found"
      rmdir "$(dirname "$found")" 2>/dev/null || true
    done
  fi
  rm -rf "$wine_home"
}
