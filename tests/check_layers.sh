#!/usr/bin/env bash
# The DFU-mode half of an update exists once, in dfu/: no other product file launches a DFU
# operation or opens a .dfu file through the library, the front ends and update/ call none of
# the library's C API nor include its headers (the build also keeps its include folder from
# them: dfu/ links it privately), no product file includes another folder's internal header
# (*_p.h), and tolvex-dfu carries nothing of the window's DfuTarget.
#   check_layers.sh SOURCE_DIR TOLVEX_DFU      checks the tree and the program
#   check_layers.sh --self-test TOLVEX_DFU WINDOW_BINARY
#                                              shows that each rule fails on a planted breach
set -uo pipefail

# The library's headers, by name: what the layers above dfu/ include of it is a breach.
library_headers=$(cd "$(dirname "$0")/../dfulib" && ls -- *.h | paste -sd '|' | sed 's/\./\\./g')

check() {
  local src=$1 bin=$2 status=0 f rel
  while IFS= read -r f; do
    rel=${f#"$src"/}
    case $rel in tests/* | fuzz/* | bench/*) continue ;; esac
    # A folder's internals (*_p.h) are its own: another folder uses its public headers.
    local inner
    while IFS= read -r inner; do
      if [ ! -e "$(dirname "$f")/$inner" ]; then
        echo "$rel includes $inner, another folder's internal header"
        status=1
      fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"/]*_p\.h)".*/\1/p' "$f")
    case $rel in dfulib/* | dfu/* | sim/*) continue ;; esac
    if grep -nE 'DFUOPS_LaunchOperation[[:space:]]*\(|DFUFILES_OpenDFUFile[A-Za-z]*[[:space:]]*\(|openSignedDfuFile[[:space:]]*\(|dfulib::Operation\b' "$f"; then
      echo "$rel launches a DFU operation or opens a .dfu file itself: that belongs to dfu/ (DfuLink)"
      status=1
    fi
    case $rel in
      ui/* | update/* | tools/tolvex-dfu/*)
        if grep -nE '(DFUOPS|DFUFILES|DFUDEV)_[A-Za-z]+[[:space:]]*\(' "$f"; then
          echo "$rel calls the DFU library's C API: go through dfu/"
          status=1
        fi
        ;;
    esac
    case $rel in
      ui/* | update/* | station/* | app/* | tools/tolvex-dfu/*)
        if grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($library_headers)[\">]" "$f"; then
          echo "$rel includes a header of the DFU library: what it needs of it, dfu/ gives"
          status=1
        fi
        ;;
    esac
  done < <(find "$src" \( -name 'build*' -o -name '.git' \) -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print)
  local symbols
  if ! symbols=$(nm -C "$bin"); then
    echo "cannot read the symbols of $bin"
    status=1
  elif grep -q 'DfuTarget' <<<"$symbols"; then
    echo "$bin holds DfuTarget symbols: the window's object is linked into it"
    status=1
  fi
  return $status
}

if [ "${1:-}" = --self-test ]; then
  [ $# -eq 3 ] || { echo "usage: check_layers.sh --self-test TOLVEX_DFU WINDOW_BINARY"; exit 2; }
  planted=$(mktemp -d)
  trap 'rm -rf "$planted"' EXIT
  mkdir -p "$planted/update" "$planted/clean" "$planted/includes/ui"
  printf 'void planted(DfuOperationContext &c, uint32_t &code)\n{\n    DFUOPS_LaunchOperation(&c, &code);\n}\n' \
    >"$planted/update/Planted.cpp"
  if check "$planted" "$2" >/dev/null; then echo "a planted launch in update/ was not found"; exit 1; fi
  if check "$planted/clean" "$3" >/dev/null; then echo "DfuTarget in $3 was not found"; exit 1; fi
  printf '#include "MemoryLayout.h"\n' >"$planted/includes/ui/Planted.cpp"
  if check "$planted/includes" "$2" >/dev/null; then echo "a planted include in ui/ was not found"; exit 1; fi
  rm "$planted/includes/ui/Planted.cpp"
  mkdir -p "$planted/includes/update"
  printf '#  include <dfulib.h>\n' >"$planted/includes/update/Planted.h"
  if check "$planted/includes" "$2" >/dev/null; then echo "a planted include in update/ was not found"; exit 1; fi
  rm "$planted/includes/update/Planted.h"
  printf '#include "HistorySql_p.h"\n' >"$planted/includes/ui/Planted.cpp"
  if check "$planted/includes" "$2" >/dev/null; then echo "a planted internal include in ui/ was not found"; exit 1; fi
  echo "the five planted breaches were found"
  exit 0
fi
[ $# -eq 2 ] || { echo "usage: check_layers.sh SOURCE_DIR TOLVEX_DFU"; exit 2; }
check "$1" "$2" && echo "the layers hold"
