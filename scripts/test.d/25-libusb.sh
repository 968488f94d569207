# The libusb transport against the virtual board firmware on a mocked USB
# stack: umockdev presents the boards in sysfs and /dev/bus/usb and the tests
# answer the usbdevfs ioctls, run under umockdev-wrapper. CTest already runs
# them once in order (10-host, 20-sanitizers); here they run once more in a
# shuffled order, in the host build and under AddressSanitizer +
# UndefinedBehaviorSanitizer, so that no test leans on another's leftovers;
# then once under ThreadSanitizer (a build without brevantctl, whose cases
# skip there). Each run is bounded in time: a hang fails the step.
# ASan wants its runtime first among the loaded libraries, which umockdev's
# preload library displaces; they work together with that check off. Stack
# frames outlive their return under ASan, so a completion written to a
# returned frame is caught.
if ! command -v umockdev-wrapper >/dev/null; then
  echo "25-libusb: umockdev-wrapper not installed (Debian packages umockdev, libumockdev-dev)" >&2
  exit 1
fi
cmake --preset dev >/dev/null
cmake --build --preset dev --target libusb_tests
timeout -k 10 600 env -u BREVANT_SIMULATOR umockdev-wrapper ./build/dev/tests/libusb_tests \
  --gtest_shuffle --gtest_brief=1
cmake --preset asan >/dev/null
cmake --build --preset asan --target libusb_tests
timeout -k 10 600 env -u BREVANT_SIMULATOR ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1 umockdev-wrapper ./build/asan/tests/libusb_tests \
  --gtest_shuffle --gtest_brief=1
# As root every device node opens; the permission cases need a user whom
# file permissions bind.
binary=$PWD/build/dev/tests/libusb_tests
if [ "$(id -u)" = 0 ] && command -v runuser >/dev/null && runuser -u nobody -- test -x "$binary"; then
  timeout -k 10 300 runuser -u nobody -- env -u BREVANT_SIMULATOR HOME=/tmp umockdev-wrapper "$binary" \
    --gtest_filter='*Permission*:*Brevantctl*' --gtest_brief=1
fi
# The shared handles and transfers of several threads under ThreadSanitizer.
# Reports are matched by module (umockdev and GLib are not instrumented), so
# no symbolizer is started: its pipes would count as files left open.
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target libusb_tests
timeout -k 10 600 env -u BREVANT_SIMULATOR TSAN_OPTIONS="halt_on_error=1 symbolize=0 suppressions=$PWD/tests/libusb/tsan.supp" \
  umockdev-wrapper ./build/tsan/tests/libusb_tests --gtest_brief=1
