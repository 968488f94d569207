#!/usr/bin/env bash
# Builds the benchmarks with the host build and runs them against the virtual
# bench. Arguments go to Google Benchmark, e.g. --benchmark_filter=Enumerate.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target brevant_bench >/dev/null
BREVANT_SIMULATOR=1 exec ./build/dev/bench/brevant_bench "$@"
