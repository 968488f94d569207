# Host build (virtual Windows), warnings as errors: build and run the tests.
cmake --preset dev
cmake --build --preset dev
ctest --preset dev --timeout 300
