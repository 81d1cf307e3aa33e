#!/usr/bin/env bash
# Size of the two libraries as they would be installed on the camera: stripped file
# size, code/data/bss, exported symbols and the libraries each one loads.
#
#   scripts/size-report.sh [--check] [--symbols] [BUILD_DIR]   (default build/armhf)
#
# --check   fails when a library is over its budget (below; docs/target.md)
# --symbols also lists the exported symbols
set -euo pipefail
cd "$(dirname "$0")/.."

# Budgets for the armhf build (bytes of the stripped file, exported symbols); the
# figures they were set against are in docs/target.md.
declare -A BUDGET_BYTES=([liblprcgi.so]=49152 [liblprcommon.so]=98304)
declare -A BUDGET_SYMBOLS=([liblprcgi.so]=24 [liblprcommon.so]=40)

check=0
list=0
dir=build/armhf
for a in "$@"; do
  case "$a" in
    --check) check=1 ;;
    --symbols) list=1 ;;
    -*) echo "unknown option $a" >&2; exit 2 ;;
    *) dir=$a ;;
  esac
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# binutils for the library's machine: the cross ones for ARM, the build machine's else.
tools_for() {
  if readelf -h "$1" | grep -q 'Machine:.*ARM'; then
    echo arm-linux-gnueabihf-
  fi
}

# Defined dynamic symbols, without the version names of the version script.
exported() {
  "${prefix}readelf" --wide --dyn-syms "$1" |
    awk '$7 != "UND" && $7 != "ABS" && ($5 == "GLOBAL" || $5 == "WEAK") { sub(/@.*/, "", $8); print $8 }' |
    sort -u
}

over=0
printf '%-16s %9s %9s %8s %7s %6s %7s  %s\n' library stripped budget text data+bss exports budget needs
for name in liblprcgi.so liblprcommon.so; do
  lib="$dir/lib/$name"
  if [ ! -f "$lib" ]; then
    echo "$lib: not built" >&2
    exit 1
  fi
  real=$(readlink -f "$lib")
  prefix=$(tools_for "$real")
  "${prefix}strip" --strip-unneeded -o "$tmp/$name" "$real"
  bytes=$(stat -c %s "$tmp/$name")
  read -r text data bss _ < <("${prefix}size" "$tmp/$name" | tail -n 1)
  exported "$real" >"$tmp/$name.syms"
  nsyms=$(wc -l <"$tmp/$name.syms")
  needs=$("${prefix}readelf" -d "$real" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ' -)
  printf '%-16s %9d %9d %8d %7d %6d %7d  %s\n' "$name" "$bytes" "${BUDGET_BYTES[$name]}" \
    "$text" $((data + bss)) "$nsyms" "${BUDGET_SYMBOLS[$name]}" "$needs"
  if [ "$bytes" -gt "${BUDGET_BYTES[$name]}" ]; then
    echo "  $name: $bytes bytes stripped, over the budget of ${BUDGET_BYTES[$name]}"
    over=1
  fi
  if [ "$nsyms" -gt "${BUDGET_SYMBOLS[$name]}" ]; then
    echo "  $name: $nsyms exported symbols, over the budget of ${BUDGET_SYMBOLS[$name]}"
    over=1
  fi
done
if [ "$list" -eq 1 ]; then
  for name in liblprcgi.so liblprcommon.so; do
    echo
    echo "$name exports:"
    sed 's/^/  /' "$tmp/$name.syms"
  done
fi
if [ "$check" -eq 1 ] && [ "$over" -eq 1 ]; then
  echo "size budget exceeded (see docs/target.md)"
  exit 1
fi
