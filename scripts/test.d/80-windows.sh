# Windows builds: brevant.dll for x86-64 and for 32-bit x86 (MinGW-w64 cross
# builds, warnings as errors). Building runs the checks: the export table
# (the 24 plain names on x86-64, the 24 decorated _name@N names on x86) and
# the import list (system DLLs only), the @N suffixes against the header at
# compile time, and C callers linked against the MinGW and the MSVC import
# libraries. The x86-64 programs run under Wine in 90-wine.sh. brevantctl.exe
# is built for x86-64 (and run under Wine); for x86 only the DLL and its
# callers are built, which keeps this step short.
set -euo pipefail

for preset in mingw64 mingw32; do
  tools=ON
  [ "$preset" = mingw32 ] && tools=OFF
  cmake --preset "$preset" -DBREVANT_TOOLS=$tools >/dev/null
  cmake --build --preset "$preset" -j2
  out=build/$preset
  # Every deliverable and every check result must be there.
  for file in bin/brevant.dll lib/libbrevant.dll.a lib/brevant.lib lib/brevant.def \
              windows/dll_checked.stamp windows/c_caller_checked.stamp \
              windows/brevant_msvc_caller.exe; do
    if [ ! -f "$out/$file" ]; then
      echo "$preset: $out/$file was not produced" >&2
      exit 1
    fi
  done
  echo "$preset: $(stat -c %s "$out/bin/brevant.dll") bytes, exports and imports checked"
done
