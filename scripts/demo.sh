#!/usr/bin/env bash
# Builds the library for this host and takes brevantctl on a short tour of the
# default virtual bench (a type-1 board VBRD0001 at device index 0, a type-0
# board VBRD0002 at index 1), keeping the bench state in a throwaway file.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/brevant-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
export BREVANT_BENCH_STATE=$work/bench-state  # never the user's own bench
unset BREVANT_BENCH

step() {
  printf '\n$ brevantctl %s\n' "$*"
  ./build/dev/tools/brevantctl "$@" 2>&1
}
step list
step --type 1 ping
step --type 1 vcc
step --type 1 temp 0
step module info
step module monitor
step --type 1 mdio write 1 0x8000 0x1234
step --type 1 mdio read 1 0x8000
step --type 1 --json mdio read 1 0x8000
step --serial VBRD0002 sn get
