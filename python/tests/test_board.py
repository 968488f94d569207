"""The Python module against the host library and its default virtual bench."""

import pytest

import brevant


def test_enumerate_lists_boards_by_type():
    assert brevant.enumerate(brevant.BOARD_8348) == [brevant.Device(0, 1, ord("V"), True)]
    assert brevant.enumerate(brevant.BOARD_8248) == [brevant.Device(1, 0, ord("V"), True)]
    assert [d.index for d in brevant.enumerate(None)] == [0, 1]
    with pytest.raises(ValueError):
        brevant.enumerate(2)


def test_queries_return_python_values(board1):
    identity = board1.ping()
    assert isinstance(identity, bytes) and len(identity) == 20
    assert board1.serial == "VBRD0001"
    vcc = board1.vcc()
    assert isinstance(vcc, float) and vcc == 3.3125
    assert board1.temperature(0) == 25.25
    assert board1.current_monitor() == 0x0123


def test_values_survive_the_round_trip_at_their_limits(board1):
    # Top values and the sign bit of each width: a wrong C type in a
    # signature cuts or sign-extends them.
    for reg, data in [(0x8000, 0x1234), (0xFFFF, 0xFFFF), (0, 0x8001)]:
        board1.mdio_write(255, reg, data)
        assert board1.mdio_read(255, reg) == data
    board1.port_write(200, 0xFF)
    assert board1.port_read(200) == 0xFF
    for address, byte in [(0x1FFFF, 0xA5), (0x10000, 0x5A), (0xFFFF, 0x81)]:
        board1.eeprom_write(address, byte)
    assert [board1.eeprom_read(a) for a in (0x1FFFF, 0x10000, 0xFFFF)] == [0xA5, 0x5A, 0x81]
    board1.current_sense_enable(0xFFFF, 0x8000)
    assert isinstance(board1.current_sense(0x8000), int)


def test_ftdi_supply_switches_bit_7_of_port_3(board1):
    board1.port_write(3, 0x12)
    board1.ftdi_supply(True)
    assert board1.port_read(3) == 0x92
    board1.ftdi_supply(False)
    assert board1.port_read(3) == 0x12


def test_commands_without_a_reply_reach_the_board(run_python, tmp_path):
    # The bench saves what the firmware keeps when the process exits: the
    # vendor I/O and power values must be the ones sent, to the board asked.
    run_python("import brevant\n"
               "with brevant.Board(brevant.BOARD_8348, 0) as b:\n"
               "    b.set_vendor_io(0x5A)\n"
               "    b.set_power(0)\n"
               "    b.reset_mcu()\n"
               "    b.reset_mcu_boot()\n")
    state = (tmp_path / "child-state").read_text()
    first, second = state.split("board 1 0 VBRD0002")
    assert "vendor-io 5A" in first and "power 00" in first
    assert "vendor-io" not in second and "power 01" in second


def test_serial_is_written_padded_and_read_back_stripped(board1):
    try:
        board1.serial = "AB12"
        assert board1.serial == "AB12"
        assert board1.eeprom_read(4) == 0x20  # padded with spaces on the board
        board1.serial = b"12345678"
        assert board1.serial == "12345678"
        with pytest.raises(ValueError):
            board1.serial = "123456789"
        with pytest.raises(ValueError):
            board1.serial = "caf\u00e9"
        assert board1.serial == "12345678"
    finally:
        board1.serial = "VBRD0001"


def test_type1_commands_fail_on_a_type0_board_naming_the_command(board0):
    for call, command in [
        (lambda: board0.vcc(), "veskcfp2_getVCC"),
        (lambda: board0.temperature(0), "veskcfp2_getTemperature"),
        (lambda: board0.set_power(1), "veskcfp2_setPower"),
        (lambda: board0.ftdi_supply(True), "veskcfp2_p3v3_FTDIEnable"),
    ]:
        with pytest.raises(brevant.BrevantError) as caught:
            call()
        assert caught.value.command == command
        assert not isinstance(caught.value, brevant.ShortReplyError)
        assert command in str(caught.value) and "board type 0" in str(caught.value)
    assert board0.serial == "VBRD0002"  # the board still answers


def test_out_of_range_arguments_are_refused_before_anything_is_sent(board1):
    first = board1.eeprom_read(0)
    # 0x20000 would reach EEPROM address 0 in the library (it keeps 17 bits).
    with pytest.raises(ValueError, match="address"):
        board1.eeprom_write(0x20000, first ^ 0xFF)
    with pytest.raises(ValueError, match="address"):
        board1.eeprom_write(-1, first ^ 0xFF)
    assert board1.eeprom_read(0) == first
    # 0x1_0003 would reach port 3 once cut to 8 bits.
    board1.port_write(3, 0x12)
    with pytest.raises(ValueError, match="port"):
        board1.port_write(0x103, 0x34)
    assert board1.port_read(3) == 0x12
    for call in [
        lambda: board1.mdio_read(256, 0),
        lambda: board1.mdio_write(0, 0x10000, 0),
        lambda: board1.mdio_write(0, 0, -1),
        lambda: board1.temperature(256),
        lambda: board1.current_sense_enable(0, 0x10000),
        lambda: brevant.Board(2, 0),
        lambda: brevant.Board(1, 0x10000),
    ]:
        with pytest.raises(ValueError):
            call()
    with pytest.raises(TypeError):
        board1.port_read("3")
    with pytest.raises(TypeError):
        board1.mdio_read(0, 1.5)


def test_board_lifetime():
    with pytest.raises(brevant.BrevantError) as caught:
        brevant.Board(brevant.BOARD_8348, 7).open()  # nothing at index 7
    assert caught.value.command == "veskcfp2_connect"

    board = brevant.Board(brevant.BOARD_8348, 0)
    with pytest.raises(brevant.BrevantError, match="not open"):
        board.vcc()
    with pytest.raises(KeyError):
        with board:
            assert board.is_open and board.vcc() > 0
            raise KeyError("from the block")
    assert not board.is_open
    board.close()  # closing twice is harmless
    with board:  # and it opens again
        board.connect()  # reconnecting an open board
        assert board.ping()


def test_short_and_missing_replies(run_python, tmp_path):
    bench = tmp_path / "bench"
    bench.write_text("1 SHORT001 reply-bytes=2 vcc=3.5\n1 SLOW0001 latency=150\n")
    out = run_python(
        """
import brevant
def outcome(call):
    try:
        return repr(call())
    except brevant.ShortReplyError as e:
        return "short %s %r" % (e.command, e.value)
    except brevant.BrevantError as e:
        return "failed %s" % e.command
with brevant.Board(1, 0) as short, brevant.Board(1, 1) as slow:
    short.mdio_write(1, 0x10, 0xABCD)
    print(outcome(lambda: short.mdio_read(1, 0x10)))
    print(outcome(lambda: short.vcc()))
    print(outcome(lambda: short.ping()[2:]))
    print(outcome(lambda: slow.vcc()))
    print(outcome(lambda: slow.set_power(1)))
""",
        BREVANT_BENCH=bench,
    )
    lines = out.splitlines()
    # Two of the three MDIO bytes came: the low data byte, the high one reads 0.
    assert lines[0] == "short veskcfp2_getMDIO 205"
    assert lines[1] == "short veskcfp2_getVCC 0.5"
    assert lines[2].startswith("short veskcfp2_ping b'")
    assert lines[3:] == ["failed veskcfp2_getVCC", "None"]  # timed out; a set needs no reply


def test_temperature_below_zero_is_negative(run_python, tmp_path):
    bench = tmp_path / "bench"
    bench.write_text("1 COLD0001 temp3=-0.25 temp4=-40.5\n")
    out = run_python(
        "import brevant\n"
        "with brevant.Board(1, 0) as b: print(b.temperature(3), b.temperature(4))\n",
        BREVANT_BENCH=bench,
    )
    assert [float(v) for v in out.split()] == [-0.25, -40.5]


class _HalfOpeningLibrary:
    """A library whose connect fails after opening one pipe: only a
    disconnect closes that pipe again."""

    simulated = False

    def __init__(self):
        self.calls = []

    def veskcfp2_createInstance(self, board_type, index):
        self.calls.append("create")
        return 1234

    def veskcfp2_connect(self, instance):
        self.calls.append("connect")
        return 0

    def veskcfp2_disconnect(self, instance):
        self.calls.append("disconnect")
        return 1

    def veskcfp2_destroyInstance(self, instance):
        self.calls.append("destroy")


def test_a_failed_open_closes_what_the_connect_left_open():
    lib = _HalfOpeningLibrary()
    with pytest.raises(brevant.BrevantError):
        brevant.Board(1, 0, library=lib).open()
    assert lib.calls == ["create", "connect", "disconnect", "destroy"]
