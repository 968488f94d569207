#!/usr/bin/env bash
# Builds the library for this host and runs a short demonstration against the
# virtual bench.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev >/dev/null
./build/dev/tools/bench_demo
