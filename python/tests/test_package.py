"""The package as users meet it: finding boards with their real types,
opening by type alone or by serial number, the serial number rules, all
readings at once, python -m brevant, and installing it."""

import inspect
import os
import shutil
import subprocess
import sys

import pytest

import brevant

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_find_boards_gives_every_board_its_real_type():
    assert brevant.find_boards() == [brevant.Device(0, 1, ord("V"), True), brevant.Device(1, 0, ord("V"), True)]
    assert brevant.find_boards(brevant.BOARD_8248) == [brevant.Device(1, 0, ord("V"), True)]
    for device in brevant.find_boards(None):
        with brevant.Board(device.board_type, device.index) as board:
            assert board.ping()[:4] == b"VESK"
    # The first release's name still works, but a star import no longer
    # hides the builtin.
    assert brevant.enumerate(None) == brevant.find_boards()
    assert "enumerate" not in brevant.__all__
    namespace = {}
    exec("from brevant import *", namespace)
    assert "enumerate" not in namespace and "find_boards" in namespace


def test_every_public_name_is_documented():
    for name in brevant.__all__:
        value = getattr(brevant, name)
        if inspect.isclass(value) or inspect.isfunction(value):
            assert inspect.getdoc(value), name
    for name, member in vars(brevant.Board).items():
        if not name.startswith("_"):
            assert inspect.getdoc(getattr(brevant.Board, name)) or inspect.getdoc(member), name
    assert "board_type" in brevant.Device.__doc__


def test_boards_open_by_type_alone_by_serial_or_first_found():
    with brevant.Board(brevant.BOARD_8248) as board:
        assert (board.board_type, board.index) == (0, 1)
    with brevant.Board() as board:
        assert (board.board_type, board.index) == (1, 0)
    with brevant.Board.open(serial="VBRD0002") as board:
        assert (board.board_type, board.index, board.serial) == (0, 1, "VBRD0002")
    board = brevant.Board(brevant.BOARD_8348)
    assert board.open() is board and board.is_open
    board.close()
    with pytest.raises(brevant.BrevantError, match="no board has serial number 'NOSUCH'"):
        brevant.Board.open(serial="NOSUCH")
    with pytest.raises(ValueError):
        brevant.Board.open(serial="has space")
    with pytest.raises(ValueError, match="serial selects a board on its own"):
        brevant.Board.open(1, serial="VBRD0001")
    with pytest.raises(brevant.BrevantError, match="no board of type 1 at device index 1"):
        brevant.Board(brevant.BOARD_8348, 1).open()
    with pytest.raises(ValueError):
        brevant.Board(1, 127)


def test_serial_numbers_follow_the_boards_rules(board0):
    for bad in ["", "two words", "tab\there", "caf\u00e9", "123456789", b"\xff"]:
        with pytest.raises(ValueError):
            board0.serial = bad
    assert board0.serial == "VBRD0002"
    try:
        board0.clear_serial()
        assert board0.serial == ""
        assert brevant.Board.open(1).serial == "VBRD0001"
    finally:
        board0.serial = "VBRD0002"


def test_readings_of_both_board_types(board1, board0):
    readings = board1.readings(sensors=(0, 1))
    assert list(readings) == ["vcc", "temp0", "temp1", "current_monitor", "port3", "ftdi_supply"]
    assert readings["vcc"] == 3.3125 and readings["temp0"] == 25.25 and readings["current_monitor"] == 0x123
    assert board0.readings() == {"current_monitor": 0x123, "port3": 0}


def test_readings_of_a_board_that_answers_late_or_short_are_none(run_python, tmp_path):
    bench = tmp_path / "bench"
    bench.write_text("1 SLOW0001 latency=150\n1 SHRT0001 reply-bytes=1\n")
    code = ("import brevant\n"
            "for i in (0, 1):\n"
            "    with brevant.Board(1, i) as b:\n"
            "        print(b.readings(), b.readings())\n")
    out = run_python(code, BREVANT_BENCH=bench)
    nothing = "{'vcc': None, 'temp0': None, 'current_monitor': None, 'port3': None, 'ftdi_supply': None}"
    assert out == (nothing + " " + nothing + "\n") * 2


def _module(*args, env_changes=None, tmp_path=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR
    env["BREVANT_BENCH_STATE"] = str(tmp_path / "state")
    env.update(env_changes or {})
    return subprocess.run([sys.executable, "-m", "brevant", *args], env=env, capture_output=True, text=True,
                          timeout=60)


def test_python_m_brevant(tmp_path):
    done = _module("list", tmp_path=tmp_path)
    assert done.returncode == 0 and "0x8348   bench:0   VBRD0001" in done.stdout
    done = _module("status", "-t", "1", "--json", tmp_path=tmp_path)
    assert done.returncode == 0 and '"vcc":{"status":"ok","value":3.3125,"unit":"V"}' in done.stdout
    done = _module("watch", "--csv", "-n", "2", "--interval", "0", "-s", "VBRD0002", tmp_path=tmp_path)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and lines[0] == "time,current_monitor,port3" and len(lines) == 3
    assert lines[1].endswith("Z,291,0")
    empty = tmp_path / "empty-bench"
    empty.write_text("")
    done = _module("list", env_changes={"BREVANT_BENCH": str(empty)}, tmp_path=tmp_path)
    assert done.returncode == 1
    assert _module("status", "--sensors", "x", tmp_path=tmp_path).returncode == 2


def test_python_m_brevant_usage_and_output_errors(tmp_path):
    # A wrong selection or count is a usage error (2) with one message, not
    # a traceback; --serial with --type is refused as brevantctl refuses it.
    for args in (["status", "--index", "200"], ["status", "--serial", "A B"],
                 ["status", "--serial", "VBRD0001", "-t", "1"], ["watch", "--count", "0"],
                 ["watch", "--interval", "nan"]):
        done = _module(*args, tmp_path=tmp_path)
        assert done.returncode == 2 and "Traceback" not in done.stderr, (args, done.stderr)
        assert done.stderr.strip().splitlines()[-1].startswith("python3 -m brevant: error: --"), args
    # Output that cannot be written fails with 1 and a message.
    with open("/dev/full", "w") as full:
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR, BREVANT_BENCH_STATE=str(tmp_path / "state"))
        done = subprocess.run([sys.executable, "-m", "brevant", "list", "--json"], env=env, stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=60)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert "cannot write standard output: No space left on device" in done.stderr
    # A library that cannot be loaded is named, and is not taken for an output error.
    done = _module("list", env_changes={brevant.LIBRARY_ENV: str(tmp_path / "nope.so")}, tmp_path=tmp_path)
    assert done.returncode == 1 and "nope.so" in done.stderr and "standard output" not in done.stderr


def _build_dir():
    return os.path.dirname(os.path.dirname(os.path.realpath(os.environ[brevant.LIBRARY_ENV])))


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_cmake_install_puts_the_package_where_it_finds_the_library(tmp_path):
    build = _build_dir()
    if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
        pytest.skip("BREVANT_LIBRARY is not in a build tree")
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], check=True, capture_output=True)
    packages = [root for root, dirs, files in os.walk(prefix) if "_installed.py" in files]
    assert len(packages) == 1
    env = {k: v for k, v in os.environ.items() if k != brevant.LIBRARY_ENV}
    env.update(PYTHONPATH=os.path.dirname(packages[0]), BREVANT_BENCH_STATE=str(tmp_path / "state"))
    done = subprocess.run([sys.executable, "-c", "import brevant; print(brevant.load().path, brevant.find_boards())"],
                          env=env, capture_output=True, text=True, cwd=str(tmp_path), timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(str(prefix / "lib")) and "index=1" in done.stdout


def test_pip_installs_the_package_offline(tmp_path):
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.skip("no pip for this interpreter")
    try:
        import setuptools  # noqa: F401
        import wheel  # noqa: F401
    except ImportError:
        pytest.skip("no setuptools and wheel to build with")
    source = tmp_path / "source"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "*.egg-info", "build"))
    target = tmp_path / "target"
    done = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                           "--no-deps", "--target", str(target), str(source)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (target / "brevant" / "py.typed").exists() and (target / "brevant" / "__main__.py").exists()


def test_unreadable_boards_give_their_reason_and_a_serial_search_names_them(run_python, tmp_path):
    # A first byte of 0 from a board that did not answer is no data: None,
    # with the reason; a board whose first byte really is 0 keeps its 0.
    bench = tmp_path / "bench"
    bench.write_text("1 SLOW0001 latency=150\n1 SHRT0001 reply-bytes=1\n0 LAB-8\n0 LAB-9\n")
    code = ("import brevant\n"
            "print([(d.index, d.first_byte, d.reason) for d in brevant.find_boards()])\n"
            "with brevant.Board(0, 3) as b:\n"
            "    b.eeprom_write(0, 0)\n"
            "    print(brevant.find_boards()[3].first_byte, brevant.find_boards()[3].reason)\n"
            "    b.eeprom_write(0, 0x4C)\n")
    out = run_python(code, BREVANT_BENCH=bench).splitlines()
    # In a fresh process: a board that answers late hands the next read on
    # it the reply it still owes, even in another instance.
    code = ("import brevant\n"
            "try:\n"
            "    brevant.Board.open(serial='LAB-7')\n"
            "except brevant.BrevantError as e:\n"
            "    print(e)\n")
    out += run_python(code, BREVANT_BENCH=bench).splitlines()
    assert out[0] == ("[(0, None, 'no reply to the EEPROM read'), (1, None, 'short reply to the EEPROM read'), "
                      "(2, 76, None), (3, 76, None)]")
    assert out[1] == "0 None"
    assert out[2] == ("no readable board has serial number 'LAB-7' (could not read the type-1 board at device "
                      "index 0: no reply to the serial number read, the type-1 board at device index 1: short "
                      "reply to the serial number read); did you mean 'LAB-8' or 'LAB-9'?")


def _brevantctl():
    """brevantctl of the build whose library the tests use, when it is there."""
    library = os.environ.get("BREVANT_LIBRARY", "")
    path = os.path.join(os.path.dirname(os.path.dirname(library)), "tools", "brevantctl")
    return path if os.access(path, os.X_OK) else None


def test_python_m_brevant_shows_what_brevantctl_shows(tmp_path):
    # One table of columns for both: the same list (header, locations,
    # reasons), the same status text and JSON, the same CSV header and cells.
    ctl = _brevantctl()
    if ctl is None:
        pytest.skip("brevantctl is not built beside the library")
    bench = tmp_path / "bench"
    bench.write_text("1 VBRD0001\n0 VBRD0002\n1 SLOW0001 latency=150\n1 SHRT0001 reply-bytes=1\n")
    env = {"BREVANT_BENCH": str(bench)}
    for args in (["list"], ["list", "--json"], ["status", "-t", "1"], ["status", "-t", "1", "--json", "--sensors", "0,1"],
                 ["status", "-i", "1"], ["status", "-i", "1", "--json"], ["status", "-i", "3", "--json"]):
        ours = _module(*args, env_changes=env, tmp_path=tmp_path)
        theirs = subprocess.run([ctl, *args], env=dict(os.environ, BREVANT_BENCH_STATE=str(tmp_path / "state"), **env),
                                capture_output=True, text=True, timeout=60)
        assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout), args
        assert "Traceback" not in ours.stderr, ours.stderr
    # CSV: the same header; the cells differ only in their time.
    ours = _module("watch", "--csv", "-n", "1", "--interval", "0", "-t", "1", "--sensors", "0,1", env_changes=env,
                   tmp_path=tmp_path).stdout.splitlines()
    theirs = subprocess.run([ctl, "watch", "--csv", "-n", "1", "--interval", "0", "-t", "1", "--sensors", "0,1"],
                            env=dict(os.environ, BREVANT_BENCH_STATE=str(tmp_path / "state"), **env),
                            capture_output=True, text=True, timeout=60).stdout.splitlines()
    assert ours[0] == theirs[0] == "time,vcc_V,temp0_C,temp1_C,current_monitor,port3,ftdi_supply"
    assert ours[1].split(",")[1:] == theirs[1].split(",")[1:]
