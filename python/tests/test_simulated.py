"""Simulated boards are marked as such wherever the package shows a board,
and only when the simulator was asked for: a program that did not ask
reaches real boards only."""

import json
import os
import subprocess
import sys

import brevant
from brevant._library import simulator_requested, usb_unreachable

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


def test_the_package_and_the_library_read_the_switch_alike(run_python, tmp_path):
    # Whatever the word, the boards the library reaches and the package's
    # "simulated" mark agree: never a simulated board passed off as a real
    # one, nor real boards marked simulated. A word that is neither on nor
    # off is named once by the library, and the simulator stays off.
    code = ("import sys, brevant\n"
            "devices = brevant.find_boards()\n"
            "print(len(devices), brevant.load().simulated, all(d.simulated for d in devices))\n")
    for word in ("1", "TRUE", "yes", "On"):
        assert run_python(code, BREVANT_SIMULATOR=word) == "2 True True\n", word
    for word in ("", "0", "false", "No", "OFF", "maybe", " 1"):
        env = dict(os.environ, BREVANT_SIMULATOR=word, PYTHONPATH=PYTHON_DIR,
                   BREVANT_BENCH_STATE=str(tmp_path / "state"))
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stdout == "0 False True\n", (word, done.stdout, done.stderr)
        named = [line for line in done.stderr.splitlines() if "BREVANT_SIMULATOR=" in line]
        assert len(named) == (1 if word in ("maybe", " 1") else 0), (word, done.stderr)
        assert "simulated boards" not in done.stderr, word


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
    # No real board is attached where the tests run; where USB is not there
    # at all (a container), the message says so and names the simulator.
    no_usb = usb_unreachable({}) is not None
    for args in (["list"], ["list", "--json"]):
        done = _module(tmp_path, *args, BREVANT_SIMULATOR=None)
        assert done.returncode == 1
        assert "simulated" not in done.stdout and "simulated boards" not in done.stderr
        assert "no boards found" in done.stderr
        assert ("USB is not reachable" in done.stderr) == no_usb
        assert ("BREVANT_SIMULATOR=1" in done.stderr) == no_usb
    assert json.loads(_module(tmp_path, "list", "--json", BREVANT_SIMULATOR="0").stdout) == {"boards": []}


def test_no_usb_on_linux_is_told_apart_from_no_board(tmp_path):
    # A root with neither /dev/bus/usb nor /sys/bus/usb: a container given
    # no USB devices.
    why = usb_unreachable({}, "linux", str(tmp_path))
    assert "no /dev/bus/usb" in why and "BREVANT_SIMULATOR=1" in why
    (tmp_path / "dev" / "bus" / "usb").mkdir(parents=True)
    assert "no /sys/bus/usb" in usb_unreachable({}, "linux", str(tmp_path))
    (tmp_path / "sys" / "bus" / "usb").mkdir(parents=True)
    assert usb_unreachable({}, "linux", str(tmp_path)) is None
    # With the simulator, or on Windows, USB is not what is reached.
    empty = str(tmp_path / "empty")
    assert usb_unreachable({"BREVANT_SIMULATOR": "1"}, "linux", empty) is None
    assert usb_unreachable({}, "win32", empty) is None
