#!/usr/bin/env bash
# Builds and runs every test: each step in scripts/test.d runs in name order
# from the project root and must exit 0.
set -euo pipefail
cd "$(dirname "$0")/.."
for step in scripts/test.d/*.sh; do
  echo "=== ${step#scripts/test.d/}"
  start=$(date +%s)
  bash -eo pipefail "$step"
  echo "=== ${step#scripts/test.d/}: passed in $(( $(date +%s) - start )) s"
done
echo "All tests passed."
