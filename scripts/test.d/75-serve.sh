# The bench service (brevantctl serve) against real clients, on the
# simulated bench: the dashboard in headless Chromium driven by Selenium
# (a screenshot goes to build/dev/serve-tests/browser/dashboard.png), and
# /metrics checked by promtool and scraped by a Prometheus server on
# loopback; its limits as a process (start refusals, the clear-text token
# warning, a stop with a slow board, a low descriptor limit); and HTTPS with
# a throwaway certificate authority, curl and Prometheus. Each test has a
# time limit. Debian's Selenium lives in the
# system Python, so that is the one used.
set -euo pipefail

cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target brevantctl
ctl=$PWD/build/dev/tools/brevantctl
work=$PWD/build/dev/serve-tests
rm -rf "$work"
mkdir -p "$work"
timeout 180 /usr/bin/python3 tools/tests/serve/browser_test.py "$ctl" "$work/browser"
timeout 120 /usr/bin/python3 tools/tests/serve/prometheus_test.py "$ctl" "$work/prometheus"
timeout 90 /usr/bin/python3 tools/tests/serve/limits_test.py "$ctl" "$work/limits"
timeout 90 /usr/bin/python3 tools/tests/serve/tls_test.py "$ctl" "$work/tls"
