# The Python package's tests (python/tests, pytest) against the host build of
# the library and its default virtual bench.
set -euo pipefail
cmake --preset dev >/dev/null
cmake --build --preset dev
# Debian's pytest belongs to the system interpreter, which may not be the
# first python3 on PATH.
python=
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c 'import pytest' 2>/dev/null; then python=$candidate; break; fi
done
if [ -z "$python" ]; then
  echo "70-python: no python3 with pytest (Debian package python3-pytest)" >&2
  exit 1
fi
BREVANT_LIBRARY=$PWD/build/dev/src/libbrevant.so \
  PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -q -p no:cacheprovider python/tests
