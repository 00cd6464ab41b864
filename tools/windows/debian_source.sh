# Sourced by the scripts that build a library for 64-bit Windows from Debian's own source
# package (tools/windows/soxr.sh, enet.sh, miniupnpc.sh), each into a PREFIX of its own:
#   . "$(dirname "$0")/debian_source.sh"
#   debian_begin PREFIX HOW || exit 0   # HOW: how it is built ("shared", "static")
#   debian_source PACKAGE               # its source, unpacked in $work/src
#   debian_cmake [cmake options...]     # built with the tree's toolchain and installed in PREFIX
#   debian_done LICENCE...              # the licence texts to PREFIX/doc, and PREFIX/.built
# The source comes through apt from the archive the system's own apt sources name, with a
# source list of the script's own kept in a folder beside PREFIX (PREFIX.work, removed when
# done): the system's apt sources and lists are left as they are. PREFIX/.built names the
# source package and its version, and HOW; a PREFIX whose .built says HOW is kept, one that
# holds anything else (another build of an older tree) is built again.
set -euo pipefail
tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

debian_begin() {  # debian_begin PREFIX HOW: fails when PREFIX already holds this build
  prefix=$(realpath -m "$1")
  how=$2
  [ "$(cut -d' ' -f2 "$prefix/.built" 2>/dev/null)" != "$how" ] || return 1
  work=$prefix.work
  rm -rf "$work" "$prefix"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/source"
}

debian_source() {  # debian_source PACKAGE: the source package, unpacked in $work/src
  package=$1
  # The source list: the system's own Debian archive for its release (as its apt sources name
  # it, one-line or deb822), asked for source packages.
  local release list
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  : >"$work/sources.list"
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    awk -v r="$release" '$1 == "deb" && $0 ~ (" " r " ") && / main/ {
      sub(/^deb/, "deb-src"); print }' "$list" >>"$work/sources.list"
  done
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    # One stanza a paragraph: its URIs, suites and keyring, kept when it serves the release's main.
    awk -v r="$release" 'function flush() {
        if (uri != "" && (" " suites " ") ~ (" " r " ") && (" " comps " ") ~ / main / && (" " types " ") ~ / deb /)
          print "deb-src " (key != "" ? "[signed-by=" key "] " : "") uri " " r " main"
        uri = suites = comps = types = key = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
      /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uri = $1 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
      /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $1 }
      END { flush() }' "$list" >>"$work/sources.list"
  done
  if [ ! -s "$work/sources.list" ]; then
    echo "$(basename "$0"): no Debian archive for $release in /etc/apt/sources.list or /etc/apt/sources.list.d: add one to build $package for Windows" >&2
    exit 1
  fi
  local apt=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
  # Root's apt hands downloads to its own unprivileged user, who cannot write here.
  [ "$(id -u)" -ne 0 ] || apt+=(-o APT::Sandbox::User=root)
  apt-get "${apt[@]}" update >/dev/null
  if (cd "$work/source" && apt-get "${apt[@]}" source --download-only "$package" >/dev/null 2>&1); then
    dpkg-source --no-check -x "$work/source/${package}"_*.dsc "$work/src" >/dev/null
    built_as=$(basename "$work/source/${package}"_*.dsc .dsc)
    return
  fi
  # A mirror that lacks a file of the package (seen: the release's tarballs gone while its
  # index still lists them) gets the upstream tarball Debian ships, of the release or of a
  # later one, checked against the checksum in the archive's signed index, which apt read.
  # (Debian 13, a release: unstable's index expires within days on a mirror that lags.)
  sed -e p -e "s/ $release / trixie /p" "$work/sources.list" |
    sort -u >"$work/sources.wide"
  mv "$work/sources.wide" "$work/sources.list"
  apt-get "${apt[@]}" update >/dev/null
  local index uri directory name sum
  : >"$work/orig"
  for index in "$work"/lists/*_source_Sources*; do
    # Each stanza of the package: its folder, and each upstream tarball's SHA-256 and name.
    /usr/lib/apt/apt-helper cat-file "$index" | awk -v p="$package" '
      function flush(i) { if (mine) for (i = 1; i <= n; i++) print d, f[i]; mine = 0 }
      /^$/ { flush() } /^Package:/ { flush(); mine = ($2 == p); n = 0; d = "" }
      mine && /^Directory:/ { d = $2 }
      mine && /^Checksums-Sha256:/ { sums = 1; next } /^[^ ]/ { sums = 0 }
      mine && sums && $3 ~ /\.orig\.tar\./ { f[++n] = $3 " " $1 }
      END { flush() }'
  done | sort -u -k2,2r >"$work/tarballs"
  while read -r directory name sum; do
    for uri in $(awk '{ for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; break } }' "$work/sources.list" | sort -u); do
      if /usr/lib/apt/apt-helper download-file "$uri/$directory/$name" "$work/source/$name" \
           "SHA256:$sum" >/dev/null 2>&1; then
        echo "$name" >"$work/orig"
        break 2
      fi
    done
  done <"$work/tarballs"
  if [ ! -s "$work/orig" ]; then
    echo "$(basename "$0"): the source of $package could not be fetched from the Debian archive" >&2
    exit 1
  fi
  name=$(head -1 "$work/orig")
  mkdir -p "$work/src"
  tar -xf "$work/source/$name" -C "$work/src" --strip-components=1
  built_as=${name%.orig.tar.*}-0
}

debian_cmake() {  # debian_cmake [cmake options...]: $work/src built (Release) and installed
  cmake -S "$work/src" -B "$work/build" -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >/dev/null
  # The compiler's warnings on the library's code are not ours to act on: its output is shown
  # only when the build fails.
  cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    echo "$(basename "$0"): building $package for Windows failed (its output above)" >&2
    exit 1
  }
  cmake --install "$work/build" >/dev/null
}

debian_done() {  # debian_done LICENCE...: the texts (paths in $work/src) to PREFIX/doc
  mkdir -p "$prefix/doc"
  local text
  for text in "$@"; do cp "$work/src/$text" "$prefix/doc/"; done
  echo "$built_as $how" >"$prefix/.built"
  rm -rf "$work"
}
