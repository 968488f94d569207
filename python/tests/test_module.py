"""The module view in Python: the field tables against the decoding cases
brevantctl's decoder is tested with, and Board.module() on the virtual
bench (whose boards carry a made-up 100GBASE-SR4 CFP2 module on MDIO port 1)."""

import math
import os
import re

import pytest

import brevant
from brevant import module as m

from conftest import PROJECT_DIR

CASES = os.path.join(PROJECT_DIR, "tools", "cfp2module", "decode_cases.txt")


def _cases():
    with open(CASES, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            head, display = line.rstrip("\n").split("=>")
            key, *words = head.split()
            values = []
            for word in words:
                value, _, repeat = word.partition("*")
                values += [int(value, 16)] * int(repeat or 1)
            yield pytest.param(key, values, display.strip(), id="line%d" % number)


@pytest.mark.parametrize("key, words, display", list(_cases()))
def test_shared_decoding_cases(key, words, display):
    f = m.field(key)
    assert len(words) == f.count
    value = m.decode(f, {f.reg + i: w for i, w in enumerate(words)})
    assert value.display() == display


def test_presence_lanes_and_registers():
    ident = m.registers_of(m.IDENTITY_FIELDS)
    assert len(ident) == 73 and ident[0] == 0x8000 and ident[-1] == 0x806D
    for fill in (0x0000, 0xFFFF):
        assert m.check_presence(dict.fromkeys(ident, fill)) == (m.NO_ANSWER, fill)
    words = dict.fromkeys(ident, 0x20)
    words[0x8000] = 0x03
    assert m.check_presence(words) == (m.NOT_CFP, 0x03)
    assert m.check_presence({0x8000: 0x11, 0x8003: 0x11}) == (m.PRESENT, 0x11)
    assert (m.lanes_of(0x04), m.lanes_of(0x03), m.lanes_of(0x0F), m.lanes_of(0x06)) == (4, 10, 1, None)
    assert m.describe_register(0xA2D3) == "0xA2D3 (lane 3 rx power)"
    assert m.describe_register(0xA016) == "0xA016 (module state)"
    assert m.describe_register(0xA212) == "0xA212 (lane 2 fault and status)"
    assert m.describe_register(0xA019) == "0xA019"
    assert m.registers_of(m.LANE_STATUS_FIELDS, 2) == [0xA200, 0xA201, 0xA210, 0xA211]
    with pytest.raises(KeyError):
        m.decode(m.field("rxPower"), {0xA2D0: 1}, 1)


def test_board_module_on_the_default_bench(board1):
    mod = board1.module()
    assert str(mod.identifier) == "0x11 (CFP2)"
    assert mod.connector == m.Code(0x09, "MPO")
    assert mod.application.name == "100GBASE-SR4" and mod.lane_count == 4
    assert (mod.vendor_name, mod.part_number, mod.serial_number) == (
        "VIRTUAL OPTICS", "VO-CFP2-SR4-100", "VO2412A39876")
    assert (mod.hardware_revision, mod.management_revision) == (1.0, 2.2)
    assert 41 <= mod.temperature_c <= 42 and 3.29 <= mod.supply_voltage_v <= 3.30
    assert [lane.lane for lane in mod.lanes] == [0, 1, 2, 3]
    for lane in mod.lanes:
        assert 6.5 < lane.laser_bias_ma < 7.5
        assert lane.tx_power_dbm == pytest.approx(10 * math.log10(lane.tx_power_mw))
    columns = mod.columns()
    assert list(columns)[:4] == ["state", "temperature_C", "supplyVoltage_V", "lane0_laserBias_mA"]
    assert columns["state"] == "Ready" and len(columns) == 3 + 4 * 5
    assert mod.monitors_unavailable is None
    # A lane count given overrides the one of the application code.
    assert len(board1.module(lanes=6).lanes) == 6
    # The further identity fields and the state.
    assert (mod.network_lanes, mod.host_lanes) == (4, 4)
    assert mod.max_network_lane_rate_gbps == pytest.approx(25.8)
    assert mod.sonet_application_code is None and mod.otn_application_code is None  # undefined
    assert (mod.vendor_oui, mod.date_code, mod.hardware_version, mod.firmware_version) == (
        "02-56-4F", "20241203", "1.2", "3.7")
    assert mod.state == m.ModuleState(0x20, "Ready") and str(mod.state) == "0x0020 (Ready)"


def test_module_status_on_the_default_bench(board1):
    status = board1.module_status()
    assert status.state.name == "Ready" and status.state.answered and status.lane_count == 4
    assert [r.register for r in status.registers] == [
        0xA018, 0xA01D, 0xA01E, 0xA01F, 0xA020, 0xA200, 0xA201, 0xA202, 0xA203, 0xA210, 0xA211, 0xA212, 0xA213]
    assert status.registers[-1].name == "lane 3 fault and status" and status.registers[-1].lane == 3
    assert status.non_zero == []
    assert len(board1.module_status(lanes=1).registers) == 5 + 2


def test_module_state_and_alarms_from_the_bench_file(run_python, tmp_path):
    bench = tmp_path / "bench"
    bench.write_text("1 FAULT001 module-state=fault module-alarm=A01E:0040 module-alarm=A212:8001\n"
                     "1 LOWP0001 module-state=low-power\n"
                     "1 RESET001 module-state=reset\n"
                     "1 ODD00001 module-state=0x0003\n")
    out = run_python(
        "import brevant\n"
        "for index in range(4):\n"
        "    with brevant.Board(1, index) as board:\n"
        "        s = board.module_status()\n"
        "        print(s.state, s.state.answered, s.registers is None,\n"
        "              [(hex(r.register), hex(r.word)) for r in s.non_zero], board.module().state.name)\n",
        BREVANT_BENCH=bench)
    assert out.splitlines() == [
        "0x0040 (Fault) True False [('0xa01e', '0x40'), ('0xa212', '0x8001')] Fault",
        "0x0002 (Low-Power) True False [] Low-Power",
        "0xFFFF (no answer) False True [] None",
        "0x0003 (unknown) True False [] None",
    ]


def test_module_held_in_reset_has_no_monitor_readings(run_python, tmp_path):
    # Its ID table answers, its state and monitor registers read 0xFFFF:
    # 6.5535 V and 131 mA would be wrong readings, so none is given.
    bench = tmp_path / "bench"
    bench.write_text("1 RESET001 module-state=reset\n1 HPD00001 module-state=high-power-down\n")
    out = run_python(
        "import brevant\n"
        "for index in range(2):\n"
        "    with brevant.Board(1, index) as board:\n"
        "        mod = board.module()\n"
        "        columns = mod.columns()\n"
        "        print(mod.powered, mod.monitors_unavailable, columns.pop('state'),\n"
        "              len(columns), sum(v is None for v in columns.values()))\n",
        BREVANT_BENCH=bench)
    assert out.splitlines() == [
        "True module does not answer its state register (in Reset or Initialize?) no answer 22 22",
        "True None High-Power-down 22 0",
    ]


def test_module_lane_counts_differ_from_the_application_code(board0):
    board0.mdio_write(1, 0x8009, 0xA0)
    try:
        mod = board0.module()
    finally:
        board0.mdio_write(1, 0x8009, 0x44)
    assert (mod.lane_count, mod.network_lanes, mod.host_lanes) == (4, 10, 16)


def test_module_power_off_is_not_powered_and_has_no_readings(board1):
    board1.set_power(0)
    try:
        mod = board1.module()
    finally:
        board1.set_power(1)
    assert mod.identifier.name == "CFP2" and not mod.powered
    assert mod.temperature_c == 0 and mod.supply_voltage_v == 0
    assert all(lane.tx_power_mw == 0 and lane.tx_power_dbm is None for lane in mod.lanes)
    # Zeros of a module without power are no readings; its state is no answer.
    assert mod.monitors_unavailable == "module not powered: supply voltage reads 0 V"
    assert mod.columns()["state"] == "no answer"
    assert set(list(mod.columns().values())[1:]) == {None} and len(mod.columns()) == 23
    assert board1.module().powered


def test_unknown_application_code_shows_no_lanes(board0):
    board0.mdio_write(1, 0x8003, 0x42)
    try:
        mod = board0.module()
    finally:
        board0.mdio_write(1, 0x8003, 0x04)
    assert mod.application == m.Code(0x42, None) and str(mod.application) == "0x42 (unknown)"
    assert mod.lane_count is None and mod.lanes == []


def test_lane_count_is_checked(board1):
    for bad in (0, 17):
        with pytest.raises(ValueError):
            board1.module(lanes=bad)


def test_no_module_and_failed_reads(run_python, tmp_path):
    bench = tmp_path / "bench"
    bench.write_text("1 EMPTY001 module=none\n1 HANG0001 hang-after=12\n1 SHRT0001 reply-bytes=2\n")
    out = run_python(
        "import brevant\n"
        "from brevant.module import NoModuleError, ModuleReadError\n"
        "for index in range(3):\n"
        "    with brevant.Board(1, index) as board:\n"
        "        try:\n"
        "            board.module()\n"
        "        except (NoModuleError, ModuleReadError) as e:\n"
        "            print(type(e).__name__, hex(getattr(e, 'register', 0)), e)\n",
        BREVANT_BENCH=bench)
    lines = out.splitlines()
    assert lines[0] == ("NoModuleError 0x0 no module answers on MDIO port 1: every register read 0x0000 "
                        "(empty cage?)")
    assert re.match(r"ModuleReadError 0x80[23][0-9a-f] the MDIO read of register 0x80[23][0-9A-F] "
                    r"\(vendor name\) on port 1 failed: veskcfp2_getMDIO failed", lines[1]), lines[1]
    assert lines[2].startswith("ModuleReadError 0x8000 the MDIO read of register 0x8000 (identifier) "
                               "on port 1 failed: veskcfp2_getMDIO: the reply came short")
    assert isinstance(m.NoModuleError(m.NO_ANSWER, 0, 1), brevant.BrevantError)
