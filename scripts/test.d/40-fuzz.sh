# The fuzzer (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer,
# clang) for about a minute, from the seed corpus in fuzz/corpus. Inputs it
# finds go to build/fuzz/corpus, not into the repository. A crash or a broken
# invariant fails the run and leaves the input as build/fuzz/crash-*; replay it
# with: build/fuzz/fuzz/brevant_fuzz build/fuzz/crash-...
set -euo pipefail
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target brevant_fuzz
cd build/fuzz
mkdir -p corpus
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! BREVANT_SIMULATOR=1 ./fuzz/brevant_fuzz -max_total_time="${BREVANT_FUZZ_SECONDS:-60}" -max_len=512 -timeout=10 \
       -print_final_stats=1 -artifact_prefix=./ corpus ../../fuzz/corpus >"$log" 2>&1; then
  grep -a -v -E '^#[0-9]+' "$log" | tail -n 60
  exit 1
fi
grep -a -E '^(Done|stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' "$log"
