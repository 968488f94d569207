"""Test setup: the module under test comes from this source tree, and the
library (BREVANT_LIBRARY, the host build) runs on the virtual Windows'
default bench: a type-1 board VBRD0001 at device index 0 and a type-0 board
VBRD0002 at index 1. The bench keeps its state in a temporary file, never in
the user's own."""

import os
import subprocess
import sys
import tempfile

import pytest

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROJECT_DIR = os.path.dirname(PYTHON_DIR)
sys.path.insert(0, PYTHON_DIR)

# Set before the library runs its first system call, which sets up the bench.
_state_dir = tempfile.mkdtemp(prefix="brevant-pytest-")
os.environ["BREVANT_BENCH_STATE"] = os.path.join(_state_dir, "bench-state")
os.environ.pop("BREVANT_BENCH", None)
os.environ["BREVANT_SIMULATOR"] = "1"  # the library reaches real boards unless asked

import brevant  # noqa: E402


def pytest_configure(config):
    if not os.environ.get(brevant.LIBRARY_ENV):
        raise pytest.UsageError("set %s to the built library (e.g. build/dev/src/libbrevant.so)"
                                % brevant.LIBRARY_ENV)


@pytest.fixture
def board1():
    with brevant.Board(brevant.BOARD_8348, 0) as board:
        yield board


@pytest.fixture
def board0():
    with brevant.Board(brevant.BOARD_8248, 1) as board:
        yield board


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter, so on a fresh virtual bench, with
    the environment changed as given (None removes a variable); returns what
    it printed."""

    def run(code, **env_changes):
        env = dict(os.environ)
        env["BREVANT_BENCH_STATE"] = str(tmp_path / "child-state")
        env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
        for key, value in env_changes.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = str(value)
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run
