#!/usr/bin/env bash
# The game's catalogs (po/): every line the game says or writes, its desktop entry and its
# AppStream summary, in each language of po/LINGUAS.
#   tools/po.sh update        extract po/palomir.pot again and merge it into every po/LANG.po
#   tools/po.sh check [TMP]   each catalog compiles with msgfmt --check (format strings as
#                             in English included), holds every line of the sources and has
#                             no line untranslated or fuzzy (CI runs this)
set -euo pipefail
cd "$(dirname "$0")/.."

extract() {  # extract OUT.pot
  local out=$1
  # The sources, in a fixed order, so that the template changes only when a line does.
  { git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h' | sed 's|^\./||'; } |
    grep -vE '^(tests|bench|fuzz|tools|build[^/]*)/' | LC_ALL=C sort >"$out.files"
  xgettext --from-code=UTF-8 --language=C++ --keyword=Tr --keyword=TrN:1,2 --keyword=N_ \
    --add-comments=TRANSLATORS: --package-name=palomir \
    --msgid-bugs-address="dev@palomir.invalid" --sort-by-file \
    --files-from="$out.files" -o "$out"
  xgettext --from-code=UTF-8 --language=Desktop --omit-header -j -o "$out" \
    data/io.github.palomir.palomir.desktop
  xgettext --from-code=UTF-8 --omit-header -j -o "$out" data/io.github.palomir.palomir.metainfo.xml
  rm -f "$out.files"
}

case "${1:-}" in
  update)
    extract po/palomir.pot
    for lang in $(cat po/LINGUAS); do
      msgmerge --quiet --update --backup=none --no-fuzzy-matching "po/$lang.po" po/palomir.pot
    done
    ;;
  check)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    status=0
    extract "$work/now.pot"
    if ! msgcmp --use-untranslated "$work/now.pot" po/palomir.pot 2>"$work/cmp" ||
       ! msgcmp --use-untranslated po/palomir.pot "$work/now.pot" 2>>"$work/cmp"; then
      echo "po/palomir.pot is not the sources' lines: run tools/po.sh update" >&2
      sed 's/^/  /' "$work/cmp" >&2
      status=1
    fi
    for lang in $(cat po/LINGUAS); do
      po=po/$lang.po
      if ! msgfmt --check --statistics -o /dev/null "$po" 2>"$work/stats"; then
        echo "$po does not compile:" >&2
        sed 's/^/  /' "$work/stats" >&2
        status=1
        continue
      fi
      if grep -qE 'untranslated|fuzzy' "$work/stats"; then
        echo "$po is not complete: $(cat "$work/stats")" >&2
        status=1
      fi
      if ! msgcmp "$po" po/palomir.pot 2>"$work/cmp"; then
        echo "$po lacks lines of po/palomir.pot: run tools/po.sh update and translate them" >&2
        sed 's/^/  /' "$work/cmp" >&2
        status=1
      fi
      echo "$po: $(cat "$work/stats")"
    done
    exit "$status"
    ;;
  *)
    echo "usage: tools/po.sh update|check" >&2
    exit 2
    ;;
esac
