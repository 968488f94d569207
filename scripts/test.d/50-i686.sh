# The host build for 32-bit x86 (gcc -m32), with the exports given the
# standard-call convention of the 32-bit DLL: the library, the virtual Windows
# with its 32-bit record layouts, the virtual boards, every GoogleTest suite of
# the library and the example, each program run under qemu-i386 (brevantctl
# is a host program and is tested in the host builds). Also checks that each export pops its arguments as its decorated
# name in windows/brevant-x86.def says.
set -euo pipefail
cmake --preset i686 >/dev/null
cmake --build --preset i686
# The programs must really be 32-bit x86 (ELF class 1, machine 3).
library=$(readlink -f build/i686/src/libbrevant.so)
if [ "$(od -An -tu1 -j4 -N1 "$library" | tr -d ' ')" != 1 ] ||
   [ "$(od -An -tu2 -j18 -N2 "$library" | tr -d ' ')" != 3 ]; then
  echo "i686: $library is not a 32-bit x86 library" >&2
  exit 1
fi
ctest --preset i686 --timeout 600
