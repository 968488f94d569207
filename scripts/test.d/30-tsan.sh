# The thread tests under ThreadSanitizer (clang): instances on different
# boards used from several threads at once, with enumeration and EEPROM work,
# and every other test whose name speaks of threads.
# Builds only the test program and runs only those tests; any data race fails
# the run.
set -euo pipefail
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target brevant_tests
TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1" \
  BREVANT_SIMULATOR=1 ./build/tsan/tests/brevant_tests --gtest_filter='Threads.*:*Thread*'
