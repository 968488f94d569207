# End-to-end under Wine: the x86-64 brevant.dll on Wine's SetupAPI, registry
# and file I/O, against virtual boards that a native board server serves over
# pseudo-terminals. Needs the mingw64 build (80-windows.sh) and wine64.
set -euo pipefail

# Debian's wine64 package: the loader and server live in /usr/lib/wine (the
# /usr/bin wrappers come with the optional wine package).
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  echo "wine64 is not installed" >&2
  exit 1
fi

# The Windows side, and the board server in a host build of its own.
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 -j2
cmake -S . -B build/board-server -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBREVANT_WERROR=ON -DBREVANT_TESTS=OFF >/dev/null
cmake --build build/board-server -j2 --target brevant_board_server

root=$PWD
win=$root/build/mingw64
run=$win/wine-run
server_pid=""

export WINEPREFIX=$run/prefix
export WINESERVER=$wineserver
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts
export WINEPATH="Z:${win//\//\\}\\bin"         # brevant.dll for the programs

cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  "$wineserver" -k >/dev/null 2>&1 </dev/null || true
}
trap cleanup EXIT

rm -rf "$run"
mkdir -p "$WINEPREFIX"
# A persistent wineserver for the whole step, and a fresh prefix. Wine's
# services must not hold this script's output open, so they get /dev/null.
"$wineserver" -p >/dev/null 2>&1 </dev/null
start=$(date +%s)
timeout -k 5 180 "$wine" wineboot -i >/dev/null 2>&1 </dev/null
echo "wineboot: $(( $(date +%s) - start )) s"

# Callers on the bare system (no boards yet): through the MinGW import
# library, through the MSVC import library, and by GetProcAddress.
for caller in brevant_c_caller brevant_msvc_caller brevant_dynamic_caller; do
  if [ -f "$win/windows/$caller.exe" ]; then
    timeout -k 5 60 "$wine" "$win/windows/$caller.exe" </dev/null || { echo "$caller failed ($?)" >&2; exit 1; }
    echo "$caller: passed"
  fi
done

# Two boards of type 1 and one of type 0.
boards=(0:AB000001 1:CD000002 1:EF000003)
"$root/build/board-server/windows/brevant_board_server" \
  --dosdevices "$WINEPREFIX/dosdevices" --control "$run/control" --ready "$run/ready" \
  "${boards[@]}" </dev/null &
server_pid=$!
for _ in $(seq 100); do
  [ -s "$run/ready" ] && break
  sleep 0.1
done
[ -s "$run/ready" ] || { echo "the board server did not start" >&2; exit 1; }

timeout -k 5 60 "$wine" "$win/windows/brevant_register_interfaces.exe" 8248:AB000001 8348:CD000002 8348:EF000003 </dev/null
# Every wait in the test is bounded (children 30 s each); the whole test
# takes about 25 s, 8 of them the two-process cases.
timeout -k 5 150 "$wine" "$win/windows/brevant_wine_test.exe" "Z:${run//\//\\}\\control" </dev/null

# brevantctl.exe serve: the bench service on the Windows side holds the boards
# the board server still carries after the test above (two of them: it
# unplugs one and renames another), and an API request from the host finds
# them up.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$wine" "$win/tools/brevantctl.exe" serve --listen "127.0.0.1:$port" --interval 0.5 \
  >"$run/serve.out" 2>&1 </dev/null &
serve_pid=$!
status=0
python3 "$root/tools/tests/serve/boards_check.py" "http://127.0.0.1:$port/" 60 2 || status=$?
kill "$serve_pid" 2>/dev/null || true
wait "$serve_pid" 2>/dev/null || true
if [ "$status" -ne 0 ]; then
  cat "$run/serve.out" >&2
  exit 1
fi
echo "brevantctl.exe serve: answered the host"

# The wire log from the DLL: with BREVANT_WIRE_LOG set, a ping of
# brevantctl.exe leaves its report and its 20-byte reply in the log.
log=$run/wire.log
rm -f "$log"
BREVANT_WIRE_LOG="Z:${log//\//\\}" timeout 60 "$wine" "$win/tools/brevantctl.exe" --type 1 ping >/dev/null </dev/null
if ! grep -Eq '^[-0-9T:.]+Z report at=[^ ]+ sn=- asked=64 got=64 wait=- took=[0-9]+ ok bytes=F501' "$log" ||
   ! grep -Eq '^[-0-9T:.]+Z reply at=[^ ]+ sn=- asked=20 got=20 wait=100 took=[0-9]+ ok bytes=[0-9A-F]{40}$' "$log"; then
  echo "the DLL's wire log lacks the ping:" >&2
  cat "$log" >&2 || true
  exit 1
fi
echo "wire log: the DLL logged the ping"
