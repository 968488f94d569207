"""Simulated boards are marked as such wherever the package shows a board,
and only when the simulator was asked for: a program that did not ask
reaches real boards only."""

import json
import os
import subprocess
import sys

import brevant
from brevant._library import simulator_requested

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_boards_of_the_simulated_bench_are_marked():
    devices = brevant.find_boards()
    assert devices and all(device.simulated for device in devices)
    assert "simulated=True" in repr(devices[0])
    with brevant.Board(devices[0].board_type, devices[0].index) as board:
        assert board.simulated and repr(board).endswith(", simulated>")
    assert "simulated boards" in repr(brevant.load())


def test_only_the_words_for_on_ask_for_the_simulator():
    assert simulator_requested({"BREVANT_SIMULATOR": "1"}, "linux")
    assert simulator_requested({"BREVANT_SIMULATOR": "yes"}, "linux")
    assert simulator_requested({"BREVANT_SIMULATOR": "On"}, "linux")
    for environ in ({}, {"BREVANT_SIMULATOR": ""}, {"BREVANT_SIMULATOR": "0"}, {"BREVANT_SIMULATOR": "false"},
                    {"BREVANT_SIMULATOR": "No"}, {"BREVANT_SIMULATOR": "off"}, {"BREVANT_SIMULATOR": "maybe"}):
        assert not simulator_requested(environ, "linux")
    # brevant.dll has no simulator.
    assert not simulator_requested({"BREVANT_SIMULATOR": "1"}, "win32")


def test_a_program_that_did_not_ask_sees_no_simulated_board(run_python):
    out = run_python(
        """
import brevant
devices = brevant.find_boards()
print(any(d.simulated for d in devices), brevant.load().simulated, brevant.Board(1, 0).simulated)
""",
        BREVANT_SIMULATOR=None)
    assert out == "False False False\n"


def _module(tmp_path, *args, **env_changes):
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR
    env["BREVANT_BENCH_STATE"] = str(tmp_path / "state")
    for key, value in env_changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return subprocess.run([sys.executable, "-m", "brevant", *args], env=env, capture_output=True, text=True,
                          timeout=60)


def test_python_m_brevant_marks_simulated_boards_first_and_on_every_row(tmp_path):
    done = _module(tmp_path, "list")
    assert done.returncode == 0
    assert done.stderr.splitlines()[-1].startswith("python3 -m brevant: simulated boards (BREVANT_SIMULATOR")
    header, *rows = done.stdout.splitlines()
    assert header.endswith("SOURCE") and len(rows) == 2 and all(row.endswith(" simulated") for row in rows)
    listing = json.loads(_module(tmp_path, "list", "--json").stdout)
    assert listing["simulated"] is True and all(board["simulated"] for board in listing["boards"])
    done = _module(tmp_path, "status", "-t", "1")
    assert done.returncode == 0 and "simulated boards" in done.stderr


def test_python_m_brevant_without_the_simulator_lists_no_board(tmp_path):
    # No real board is attached where the tests run.
    for args in (["list"], ["list", "--json"]):
        done = _module(tmp_path, *args, BREVANT_SIMULATOR=None)
        assert done.returncode == 1
        assert "simulated" not in done.stdout + done.stderr
        assert "no boards found" in done.stderr
    assert json.loads(_module(tmp_path, "list", "--json", BREVANT_SIMULATOR="0").stdout) == {"boards": []}
