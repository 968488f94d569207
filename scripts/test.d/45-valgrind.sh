# The soak under valgrind memcheck, with fewer cycles: any invalid access, or
# any block the library, the virtual Windows or the boards lose, fails the run.
# Uses the host build of step 10.
set -euo pipefail
binary=build/dev/tests/brevant_tests
if [ ! -x "$binary" ]; then
  cmake --preset dev >/dev/null
  cmake --build --preset dev --target brevant_tests
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! BREVANT_SIMULATOR=1 BREVANT_SOAK_CYCLES="${BREVANT_SOAK_CYCLES:-10000}" \
     valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
       "$binary" --gtest_filter='Soak.*' >"$log"; then
  grep -a -v '^Error: ' "$log" | tail -n 40
  exit 1
fi
grep -a -E '^\[  (PASSED|FAILED) ' "$log"
