#!/usr/bin/env bash
# Builds brevantctl for this host (only what it needs) and takes it on a short
# tour of the default virtual bench (a type-1 board VBRD0001 at device index 0,
# a type-0 board VBRD0002 at index 1), keeping the bench state in a throwaway
# file. The build honours CMAKE_BUILD_PARALLEL_LEVEL.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/dev/build.ninja ]; then
  echo "Configuring the host build (build/dev)..."
  cmake --preset dev >/dev/null
fi
echo "Building brevantctl and the library (the first time takes a minute or two)..."
# Not the preset's build: it fixes the job count and builds every test.
cmake --build build/dev --target brevantctl
echo "Built."

work=$(mktemp -d "${TMPDIR:-/tmp}/brevant-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
export BREVANT_BENCH_STATE=$work/bench-state  # never the user's own bench
export BREVANT_SIMULATOR=1                    # the simulated bench, not real boards
unset BREVANT_BENCH

step() {
  printf '\n$ brevantctl %s\n' "$*"
  ./build/dev/tools/brevantctl "$@" 2>&1
}
# Shown so the transcript can be replayed by hand.
printf '\n$ export BREVANT_SIMULATOR=1    # the simulated bench instead of real boards\n'
step list
step --type 1 ping
step --type 1 status
step module info
step module monitor
step module status
step --type 1 mdio write 1 0xB000 0x1234
step --type 1 mdio read 1 0xB000
step --type 1 --json mdio read 1 0xB000
step --type 0 --yes sn set LAB-7
step --serial LAB-7 sn get
step --type 1 watch --count 3 --interval 0.5

# The bench service: every board on a dashboard, a JSON API and Prometheus
# metrics. Started here for a moment on a free port and asked for its boards.
printf '\n$ brevantctl serve    # then open http://127.0.0.1:8787/ for the dashboard (Ctrl-C stops it)\n'
./build/dev/tools/brevantctl serve --listen 127.0.0.1:0 >"$work/serve.out" 2>&1 &
serve_pid=$!
for _ in $(seq 50); do grep -q 'http://' "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
sleep 1.5
url=$(grep -o 'http://[^ ]*' "$work/serve.out" | head -1)
cat "$work/serve.out"
printf '$ curl %sapi/v1/boards/VBRD0001/sample\n' "$url"
python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1] + "api/v1/boards/VBRD0001/sample").read().decode())' "$url"
kill "$serve_pid"
wait "$serve_pid" 2>/dev/null || true

