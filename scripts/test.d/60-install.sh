# Installs the host build into a temporary prefix, then builds the install
# examples of the README and docs/install.md against the installed files only (CMake package,
# pkg-config, Python) and runs them on the default virtual bench. Where
# MinGW-w64 is installed, also installs the x86-64 DLL build and links the
# MinGW example against it.
set -euo pipefail
root=$PWD
cmake --preset dev >/dev/null
cmake --build --preset dev

work=$(mktemp -d "${TMPDIR:-/tmp}/brevant-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
app=$work/app
mkdir -p "$app"
cmake --install build/dev --prefix "$prefix" >"$work/install.log"
export BREVANT_BENCH_STATE=$work/bench-state  # never the user's own bench
unset BREVANT_BENCH BREVANT_LIBRARY
export BREVANT_SIMULATOR=1  # the examples run on the simulated bench

# The fenced block after "<!-- install-example: NAME -->" in the README or a
# page of docs/, with the documented prefix replaced by this one.
example() {
  awk -v tag="<!-- install-example: $1 -->" '
    $0 == tag { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$root/README.md" "$root"/docs/*.md | sed "s#/opt/brevant#$2#g"
}
fail() { echo "60-install: $*" >&2; exit 1; }

# Nothing installed may point back into the source or build tree.
if grep -rIl "$root" "$prefix"; then fail "installed files name $root"; fi
for binary in "$prefix"/lib/*.so* "$prefix"/bin/*; do
  [ -f "$binary" ] || continue
  if readelf -d "$binary" | grep -E 'R(UN)?PATH' | grep -q "$root"; then
    fail "$binary keeps a search path into $root"
  fi
done

# With libusb: the udev rule, and the dependency in both package files.
if grep -q '^BREVANT_LIBUSB:BOOL=ON' build/dev/CMakeCache.txt; then
  [ -f "$prefix/lib/udev/rules.d/60-brevant.rules" ] || fail "the udev rule is not installed"
  grep -q '^Requires.private: libusb-1.0' "$prefix/lib/pkgconfig/brevant.pc" || fail "brevant.pc lacks libusb-1.0"
  grep -q 'libusb-1.0' "$prefix/lib/cmake/brevant/brevantConfig.cmake" || fail "the CMake package lacks libusb"
fi

# The install says where the Python package, man page and completion went,
# and what a prefix of one's own needs on PYTHONPATH and MANPATH.
for said in "Python package: $prefix/lib/python3" "man page: $prefix/share/man/man1/brevantctl.1" \
            "bash completion: $prefix/share/bash-completion/completions/brevantctl" \
            "export PYTHONPATH=$prefix/lib/python3" "export MANPATH=$prefix/share/man:"; do
  grep -qF "$said" "$work/install.log" || fail "the install output does not say '$said':
$(cat "$work/install.log")"
done

cp examples/quickstart.c "$app/"

echo "--- CMake package"
example cmake "$prefix" >"$app/CMakeLists.txt"
cmake -S "$app" -B "$app/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$app/build" >/dev/null
"$app/build/quickstart"

echo "--- pkg-config"
(cd "$app" && example pkg-config "$prefix" | bash -euo pipefail)

echo "--- Python, the installed package on the installed library"
example python "$prefix" >"$app/example.py"
package=$(find "$prefix" -name _installed.py -path '*/brevant/*')
[ -n "$package" ] || fail "the Python package was not installed"
(cd "$app" && PYTHONPATH=$(dirname "$(dirname "$package")") python3 "$app/example.py")

echo "--- brevantctl's man page and bash completion"
[ -f "$prefix/share/man/man1/brevantctl.1" ] || fail "the man page was not installed"
bash -n "$prefix/share/bash-completion/completions/brevantctl" || fail "the completion script does not parse"

if [ -x "$prefix/bin/brevantctl" ]; then
  echo "--- brevantctl, from a moved prefix"
  mv "$prefix" "$work/moved"
  "$work/moved/bin/brevantctl" list
  mv "$work/moved" "$prefix"
fi

if command -v x86_64-w64-mingw32-gcc >/dev/null && [ -f cmake/mingw-x86_64.cmake ]; then
  echo "--- MinGW, on the installed x86-64 DLL"
  cmake --preset mingw64 >/dev/null
  cmake --build --preset mingw64 >/dev/null
  winprefix=$work/win64
  cmake --install build/mingw64 --prefix "$winprefix" >/dev/null
  for file in include/brevant.h bin/brevant.dll lib/libbrevant.dll.a \
              lib/cmake/brevant/brevantConfig.cmake lib/pkgconfig/brevant.pc; do
    [ -f "$winprefix/$file" ] || fail "the Windows install lacks $file"
  done
  (cd "$app" && example mingw "$winprefix" | bash -euo pipefail)
  [ -f "$app/quickstart.exe" ] && [ -f "$app/brevant.dll" ] || fail "the MinGW example did not build"
  echo "quickstart.exe links against the installed import library"
else
  echo "--- MinGW-w64 not installed: the Windows example is not built"
fi
