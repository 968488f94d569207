# The deploy kit of the bench service (packaging/): promtool checks the
# Prometheus rules and runs their unit tests; the systemd unit, installed
# into a temporary prefix, passes `systemd-analyze verify` and its command
# line with the shipped options starts the service; then deploy_test.py runs
# the service on the simulated bench with a real Prometheus, Alertmanager and
# webhook receiver on loopback (every dashboard query answers, a module in
# Fault alerts and resolves). Every program has a time limit.
set -euo pipefail

cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target brevantctl brevantctl_docs brevant
root=$PWD
ctl=$root/build/dev/tools/brevantctl
work=$root/build/dev/deploy-tests
rm -rf "$work"
mkdir -p "$work"
fail() { echo "77-deploy: $*" >&2; exit 1; }

echo "--- Prometheus rules"
timeout 30 promtool check rules packaging/prometheus/brevant-rules.yml
(cd packaging/prometheus && timeout 60 promtool test rules brevant-rules.test.yml)

echo "--- systemd unit"
prefix=$work/prefix
timeout 60 cmake --install build/dev --prefix "$prefix" --component Runtime >"$work/install.log"
unit=$prefix/lib/systemd/system/brevant-serve.service
[ -f "$unit" ] || fail "brevant-serve.service is not installed beside the prefix"
grep -q "copy $unit to /etc/systemd/system" "$work/install.log" || fail "the install does not say where the unit goes"
for file in prometheus/brevant-rules.yml grafana/brevant-bench.json systemd/brevant-serve.default; do
  [ -f "$prefix/share/brevant/$file" ] || fail "share/brevant/$file is not installed"
done
# Unknown keys are only warned about, so any word from verify is a failure.
said=$(timeout 30 systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $said"
[ -z "$said" ] || fail "systemd-analyze verify: $said"
# Under /usr the unit goes where systemd reads units.
unitdir=$(grep '^BREVANT_SYSTEMD_UNIT_DIR:' build/dev/CMakeCache.txt | cut -d= -f2)
DESTDIR=$work/staged timeout 60 cmake --install build/dev --prefix /usr --component Runtime >/dev/null
grep -qx 'ExecStart=/usr/bin/brevantctl serve --csv-dir /var/lib/brevant $BREVANT_SERVE_OPTIONS' \
  "$work/staged$unitdir/brevant-serve.service" || fail "under /usr the unit is not in $unitdir or names another brevantctl"
# The unit's command line with the shipped options, on the simulated bench,
# its state directory and port made the test's own: it serves and logs CSV.
BREVANT_SERVE_OPTIONS=
eval "$(grep '^BREVANT_SERVE_OPTIONS=' packaging/systemd/brevant-serve.default)"
command=$(sed -n 's/^ExecStart=//p' "$unit")
command=${command//\/var\/lib\/brevant/$work/csv}
command=${command//\$BREVANT_SERVE_OPTIONS/${BREVANT_SERVE_OPTIONS//:8787/:0}}
mkdir -p "$work/csv"
server=
trap '[ -z "$server" ] || kill "$server" 2>/dev/null || true' EXIT
# shellcheck disable=SC2086  # the options split into words as systemd splits them
BREVANT_SIMULATOR=1 BREVANT_BENCH_STATE=$work/bench-state BREVANTCTL_SERVICE_NOTES=$work/notes \
  timeout 20 $command >"$work/unit-run.log" 2>&1 &
server=$!
for _ in $(seq 100); do
  [ -s "$work/csv/VBRD0001.csv" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
kill "$server" 2>/dev/null || true
wait "$server" || true
server=
[ -s "$work/csv/VBRD0001.csv" ] || fail "the unit's command line did not serve: $(cat "$work/unit-run.log")"
echo "the unit's command line serves and writes $work/csv/VBRD0001.csv"

echo "--- Prometheus, Alertmanager and the dashboard against the service"
timeout 90 /usr/bin/python3 tools/tests/serve/deploy_test.py "$ctl" "$work/stack"
