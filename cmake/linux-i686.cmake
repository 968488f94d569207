# 32-bit x86 Linux build of the host suite (library, virtual Windows, virtual
# boards, tests) on an x86-64 machine: gcc -m32 (Debian: g++-multilib), and
# every test program run through qemu-i386 (Debian: qemu-user), since the
# machine need not run 32-bit programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

find_program(CMAKE_C_COMPILER NAMES gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES g++ REQUIRED)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# CTest, GoogleTest's test discovery and the process tests start programs
# through this.
find_program(BREVANT_QEMU_I386 NAMES qemu-i386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BREVANT_QEMU_I386})


# The machine's own libraries and packages (GoogleTest, Google Benchmark) are
# 64-bit: the preset builds GoogleTest from source (BREVANT_GTEST_SOURCE) and
# leaves the benchmarks out.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
