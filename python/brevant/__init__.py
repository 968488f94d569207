"""Drive a USB board that carries a CFP2 optical module, through the brevant
shared library.

    import brevant
    for device in brevant.find_boards():
        with brevant.Board(device.board_type, device.index) as board:
            print(board.serial, board.ping().hex(), board.readings())

    with brevant.Board.open(serial="VBRD0001") as board:   # a board by serial number
        print(board.vcc())

Every command returns a Python value or raises: BrevantError when the board
did not answer, is not connected or lacks the command; ShortReplyError (a
BrevantError) when a reply came with fewer bytes than expected, carrying the
value decoded from the bytes that came. Arguments outside their range raise
ValueError before anything is sent.

The library is loaded on first use (see load()): from the BREVANT_LIBRARY
environment variable, from beside this package, or by its platform name.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Union

from ._library import LIBRARY_ENV
from ._library import Library
from ._library import load as _load_library

__all__ = [
    "BOARD_8248",
    "BOARD_8348",
    "MAX_DEVICES",
    "EEPROM_SIZE",
    "Board",
    "BrevantError",
    "Device",
    "ShortReplyError",
    "find_boards",
    "load",
    "LIBRARY_ENV",
]

__version__ = "1.0.0"

#: Board type 0: the board with USB product id 0x8248.
BOARD_8248 = 0
#: Board type 1: the board with USB product id 0x8348, which also has the
#: supply-voltage, temperature, power and FTDI-supply commands.
BOARD_8348 = 1
#: Most boards enumerate() can report.
MAX_DEVICES = 127
#: Bytes of board EEPROM (addresses 0 to EEPROM_SIZE - 1).
EEPROM_SIZE = 0x20000

CMD_FAILED = 0
CMD_OK = 1
CMD_SHORT = 2

_TYPE1_ONLY = {
    "veskcfp2_p3v3_FTDIEnable",
    "veskcfp2_setPower",
    "veskcfp2_getVCC",
    "veskcfp2_getTemperature",
}


class BrevantError(Exception):
    """A command failed. `command` names the library function that failed
    (or, when no board was found, the lookup that found none)."""

    def __init__(self, command: str, message: Optional[str] = None) -> None:
        self.command = command
        super().__init__(message or "%s failed: the board did not answer, is not "
                         "connected, or does not have this command" % command)


class ShortReplyError(BrevantError):
    """A query's reply came with fewer bytes than expected. `value` holds
    what was decoded from the bytes that came (missing bytes read as 0)."""

    def __init__(self, command: str, value: Any) -> None:
        self.value = value
        super().__init__(command, "%s: the reply came short; partial value %r" % (command, value))


_default: Optional[Library] = None


def load(path: Union[str, "os.PathLike[str]", None] = None) -> Library:
    """Loads the library and makes it the one the module uses. With no
    `path`: the file named by BREVANT_LIBRARY, else the one beside this
    package, else the platform's library by name (brevant.dll,
    libbrevant.so.1). Returns the loaded library."""
    global _default
    _default = _load_library(path)
    return _default


def _default_library(library: Optional[Library] = None) -> Library:
    if library is not None:
        return library
    return _default if _default is not None else load()


def _checked(name: str, value: int, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %d to %s, got %d" % (name, low, _number(high), value))
    return value


def _number(value: int) -> str:
    return "0x%X" % value if value > 0xFF else str(value)


def _u8(name: str, value: int) -> int:
    return _checked(name, value, 0, 0xFF)


def _u16(name: str, value: int) -> int:
    return _checked(name, value, 0, 0xFFFF)


def _board_type(value: Optional[int], allow_any: bool = False) -> int:
    if allow_any and value is None:
        return -1
    if isinstance(value, bool) or not isinstance(value, int) or value not in (0, 1):
        raise ValueError("board type must be 0 or 1%s, got %r"
                         % (" (or None for every device)" if allow_any else "", value))
    return value


def _valid_serial(text: str, what: str = "serial") -> str:
    """A serial number as the boards keep it: 1 to 8 printable ASCII
    characters without spaces."""
    if not isinstance(text, str):
        raise TypeError("%s must be str, not %s" % (what, type(text).__name__))
    if not text:
        raise ValueError("%s must not be empty (clear_serial() blanks it)" % what)
    if any(not 0x21 <= ord(c) <= 0x7E for c in text):
        raise ValueError("%s must be printable ASCII characters without spaces, got %r" % (what, text))
    if len(text) > 8:
        raise ValueError("%s must be 1 to 8 characters, got %d" % (what, len(text)))
    return text


class _DeviceFields(NamedTuple):
    index: int
    board_type: int
    first_byte: Optional[int]
    simulated: bool = False


class Device(_DeviceFields):
    """One board found by find_boards().

    index
        Its device index, what Board takes.
    board_type
        Its type: BOARD_8248 (0) or BOARD_8348 (1).
    first_byte
        The first byte of its EEPROM, which is the first character of its
        serial number; None when the board could not be read, and then
        `reason` says why.
    simulated
        True for a board of the simulated bench (BREVANT_SIMULATOR), not a
        real one.
    reason
        (an attribute, not a tuple field) why first_byte is None: "did not
        open", "no reply to the EEPROM read", "short reply to the EEPROM
        read"; None for a board that was read.
    """

    reason: Optional[str] = None

    def __repr__(self) -> str:
        text = super().__repr__()
        return text if self.reason is None else "%s, reason=%r)" % (text[:-1], self.reason)


def _first_byte(lib: Library, board_type: int, index: int) -> "tuple[Optional[int], Optional[str]]":
    """The first EEPROM byte of a board, or None and why it cannot be read.
    (The library's own enumeration read gives 0 for a board that did not
    answer, which would pass for data.)"""
    board = Board(board_type, index, library=lib)
    try:
        board._open()
    except BrevantError:
        return None, "did not open"
    try:
        return board.eeprom_read(0), None
    except ShortReplyError:
        return None, "short reply to the EEPROM read"
    except BrevantError:
        return None, "no reply to the EEPROM read"
    finally:
        board.close()


def _indices(lib: Library, code: int) -> List[int]:
    """The device indices of the boards of one type; no board is read."""
    indices = (ctypes.c_uint16 * MAX_DEVICES)()
    count = lib.veskcfp2_enumerateDevices(code, indices, None)
    return [indices[k] for k in range(max(0, min(count, MAX_DEVICES)))]


def _enumerate_type(lib: Library, code: int) -> List[Device]:
    devices = []
    for index in _indices(lib, code):
        first, reason = _first_byte(lib, code, index)
        device = Device(index, code, first, lib.simulated)
        device.reason = reason
        devices.append(device)
    return devices


def find_boards(board_type: Optional[int] = None, *, library: Optional[Library] = None) -> List[Device]:
    """Lists the attached boards of `board_type` (BOARD_8248 or BOARD_8348;
    None, the default, lists the boards of both types) as Device tuples in
    device-index order, each with its own board type."""
    code = _board_type(board_type, allow_any=True)
    lib = _default_library(library)
    if code != -1:
        return _enumerate_type(lib, code)
    # The library's "every device" lists other devices of the same driver as
    # well, without their type: ask for each type instead.
    found = _enumerate_type(lib, BOARD_8248) + _enumerate_type(lib, BOARD_8348)
    return sorted(found, key=lambda device: device.index)


def _enumerate_compat(board_type: Optional[int], *, library: Optional[Library] = None) -> List[Device]:
    """Former name of find_boards(), kept for existing callers (it is not
    exported by ``from brevant import *``, where it would hide the builtin)."""
    return find_boards(board_type, library=library)


enumerate = _enumerate_compat  # noqa: A001 - kept for callers of the first release


def _serial_failure(board: "Board") -> str:
    """Why the serial number of an open board could not be read: one read of
    its first byte tells a silent board from one whose replies come short."""
    try:
        board.eeprom_read(0)
    except ShortReplyError:
        return "short reply to the serial number read"
    except BrevantError:
        pass
    return "no reply to the serial number read"


def _edits(a: str, b: str) -> int:
    """Insertions, deletions, substitutions and swaps of neighbours from a to b."""
    d = [[i + j if i * j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def _close_words(word: str, candidates: Iterable[str]) -> List[str]:
    """The candidates at most one edit (words of up to four characters) or
    two edits from `word`, closest first, as brevantctl offers them."""
    limit = 1 if len(word) <= 4 else 2
    close = sorted({c for c in candidates if _edits(word, c) <= limit}, key=lambda c: (_edits(word, c), c))
    return close


class _OpenMethod:
    """Board.open: on the class, finds a board and returns it open
    (``Board.open(serial="LAB-7")``); on a board, opens that board."""

    def __get__(self, board: Optional["Board"], cls: type) -> Any:
        if board is None:
            def open_new(board_type: Optional[int] = None, index: Optional[int] = None, *,
                         serial: Optional[str] = None, library: Optional[Library] = None) -> "Board":
                return cls._open_new(board_type, index, serial=serial, library=library)

            open_new.__doc__ = cls._open_new.__doc__
            return open_new

        def open_this() -> "Board":
            return board._open()

        open_this.__doc__ = cls._open.__doc__
        return open_this


class Board:
    """One board, by board type and device index (see find_boards()).

    Without an index, the first board of the type is opened; with neither,
    the first board found (brevantctl's rule). Board.open(serial="...")
    finds a board by its serial number and returns it open.

    As a context manager it creates the library's instance and connects on
    entry, and disconnects and releases the instance on exit. open() and
    close() do the same by hand; connect() reconnects an open board, for
    instance after it was unplugged and plugged back.
    """

    def __init__(self, board_type: Optional[int] = None, index: Optional[int] = None, *,
                 library: Optional[Library] = None) -> None:
        self.board_type: Optional[int] = None if board_type is None else _board_type(board_type)
        self.index: Optional[int] = None if index is None else _checked("device index", index, 0, MAX_DEVICES - 1)
        self._lib = _default_library(library)
        self._instance = None

    def __repr__(self) -> str:
        state = "open" if self._instance is not None else "closed"
        kind = "any type" if self.board_type is None else "type %d" % self.board_type
        where = "first" if self.index is None else "index %d" % self.index
        return "<brevant.Board %s %s, %s%s>" % (kind, where, state, ", simulated" if self.simulated else "")

    @property
    def simulated(self) -> bool:
        """True when this is a board of the simulated bench, not a real one."""
        return bool(self._lib.simulated)

    # ---- lifetime ---------------------------------------------------------

    open = _OpenMethod()

    @classmethod
    def _open_new(cls, board_type: Optional[int] = None, index: Optional[int] = None, *,
                  serial: Optional[str] = None, library: Optional[Library] = None) -> "Board":
        """Board.open(board_type=None, index=None, *, serial=None): the board
        the arguments select, opened. With `serial`, the board whose serial
        number it is (BrevantError when none or several have it); otherwise
        as Board(board_type, index)."""
        if serial is None:
            return cls(board_type, index, library=library)._open()
        if board_type is not None or index is not None:
            raise ValueError("serial selects a board on its own; leave out board_type and index")
        wanted = _valid_serial(serial)
        matches = []
        unreadable = []  # "the type-1 board at device index 0: no reply ..."
        serials = []
        lib = _default_library(library)
        # Each board is read once, by its serial number: a board read twice
        # in a row could hand the second read the late reply of the first.
        found_boards = sorted((index, code) for code in (BOARD_8248, BOARD_8348) for index in _indices(lib, code))
        for index, board_type in found_boards:
            board = cls(board_type, index, library=library)
            where = "the type-%d board at device index %d" % (board_type, index)
            try:
                board._open()
            except BrevantError:
                unreadable.append(where + ": did not open")
                continue
            try:
                found = board.serial
            except BrevantError:
                unreadable.append(where + ": " + _serial_failure(board))
                board.close()
                continue
            if found == wanted:
                matches.append(board)
                continue
            serials.append(found)
            board.close()
        if len(matches) == 1:
            return matches[0]
        for board in matches:
            board.close()
        if matches:
            raise BrevantError("veskcfp2_getSN", "%d boards have serial number %r; open one by type and index"
                               % (len(matches), wanted))
        # A board that could not be read may be the one: name each.
        message = "no %sboard has serial number %r" % ("readable " if unreadable else "", wanted)
        if unreadable:
            message += " (could not read %s)" % ", ".join(unreadable)
        close = _close_words(wanted, serials)
        if close:
            message += "; did you mean %s?" % " or ".join(repr(word) for word in close)
        raise BrevantError("veskcfp2_getSN", message)

    def _resolve(self) -> None:
        if self.board_type is not None and self.index is not None:
            return
        boards = find_boards(self.board_type, library=self._lib)
        if self.index is not None:
            boards = [d for d in boards if d.index == self.index]
        if not boards:
            kind = "board" if self.board_type is None else "type-%d board" % self.board_type
            where = "" if self.index is None else " at device index %d" % self.index
            raise BrevantError("veskcfp2_enumerateDevices", "no %s%s is attached" % (kind, where))
        self.board_type, self.index = boards[0].board_type, boards[0].index

    def _open(self) -> "Board":
        """Creates the instance and connects; raises BrevantError (command
        veskcfp2_connect) when the board cannot be opened. A board made
        without a type or index becomes the first matching board found."""
        if self._instance is not None:
            return self
        self._resolve()
        instance = self._lib.veskcfp2_createInstance(self.board_type, self.index)
        if not instance:
            raise MemoryError("veskcfp2_createInstance returned no instance")
        self._instance = instance
        try:
            self.connect()
        except BrevantError:
            # A failed connect may still have opened one of the two pipes:
            # close it before the instance goes, or the board stays held.
            self._instance = None
            self._lib.veskcfp2_disconnect(instance)
            self._lib.veskcfp2_destroyInstance(instance)
            raise
        return self

    def connect(self) -> None:
        """(Re)opens the connection to the board."""
        if not self._lib.veskcfp2_connect(self._handle("veskcfp2_connect")):
            raise BrevantError("veskcfp2_connect", "veskcfp2_connect failed: no board of type "
                               "%d at device index %d, or it cannot be opened"
                               % (self.board_type, self.index))

    def close(self) -> None:
        """Disconnects and releases the instance. Does nothing when closed.
        Raises BrevantError (veskcfp2_disconnect) when the connection did not
        close cleanly; the instance is released either way."""
        instance, self._instance = self._instance, None
        if instance is None:
            return
        try:
            closed = self._lib.veskcfp2_disconnect(instance)
        finally:
            self._lib.veskcfp2_destroyInstance(instance)
        if not closed:
            raise BrevantError("veskcfp2_disconnect",
                               "veskcfp2_disconnect: the connection did not close cleanly")

    @property
    def is_open(self) -> bool:
        """True between open() and close()."""
        return self._instance is not None

    def __enter__(self) -> "Board":
        return self._open()

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        try:
            self.close()
        except BrevantError:
            if exc_type is None:
                raise  # otherwise the error from the with-block is the one to see

    def __del__(self) -> None:
        # A board dropped while open still gives its pipes back.
        try:
            self.close()
        except Exception:
            pass

    # ---- plumbing ---------------------------------------------------------

    def _handle(self, command: str) -> Any:
        if self._instance is None:
            raise BrevantError(command, "%s: the board is not open" % command)
        return self._instance

    def _call(self, command: str, *args: Any) -> Any:
        return getattr(self._lib, command)(self._handle(command), *args)

    def _result(self, command: str, result: int, value: Any = None) -> Any:
        if result == CMD_OK:
            return value
        if result == CMD_SHORT:
            raise ShortReplyError(command, value)
        if command in _TYPE1_ONLY and self.board_type != BOARD_8348:
            raise BrevantError(command, "%s failed: board type %d does not have this command"
                               % (command, self.board_type))
        raise BrevantError(command)

    def _send(self, command: str, *args: Any) -> None:
        self._result(command, self._call(command, *args))

    def _query(self, command: str, out: Any, *args: Any) -> Any:
        result = self._call(command, *args, out)
        return self._result(command, result, out.value)

    # ---- commands -----------------------------------------------------------

    def ping(self) -> bytes:
        """The board's 20-byte identity block, as bytes."""
        reply = (ctypes.c_uint8 * 20)()
        result = self._call("veskcfp2_ping", reply)
        return self._result("veskcfp2_ping", result, bytes(reply))

    def reset_mcu(self) -> None:
        """Resets the board microcontroller."""
        self._send("veskcfp2_resetMCU")

    def reset_mcu_boot(self) -> None:
        """Resets the board microcontroller into its boot loader."""
        self._send("veskcfp2_resetMCUBoot")

    def port_write(self, port: int, value: int) -> None:
        """Sets board port `port` (0-255) to `value` (0-255)."""
        self._send("veskcfp2_setPort", _u8("port", port), _u8("value", value))

    def port_read(self, port: int) -> int:
        """Reads board port `port` (0-255); returns an int."""
        return self._query("veskcfp2_getPort", ctypes.c_uint8(), _u8("port", port))

    def set_vendor_io(self, value: int) -> None:
        """Sets the vendor I/O register to `value` (0-255)."""
        self._send("veskcfp2_setVendorIO", _u8("value", value))

    def ftdi_supply(self, enable: bool) -> None:
        """Switches the 3.3 V supply of the board's FTDI chip on or off
        (port 3, bit 7; the other bits are kept). Type 1 only."""
        self._send("veskcfp2_p3v3_FTDIEnable", 1 if enable else 0)

    def set_power(self, value: int) -> None:
        """Sets the module power value (0-255). Type 1 only."""
        self._send("veskcfp2_setPower", _u8("value", value))

    def current_sense_enable(self, value: int, selector: int) -> None:
        """Enables current sensing: `value` (0-65535) for sense channel
        `selector` (0-65535)."""
        self._send("veskcfp2_enableCurrentSense", _u16("value", value), _u16("selector", selector))

    def current_sense(self, selector: int) -> int:
        """Reads the current-sense value (one byte) of `selector`."""
        return self._query("veskcfp2_getCurrentSense", ctypes.c_uint8(),
                           _u16("selector", selector))

    def current_monitor(self) -> int:
        """Reads the 16-bit current-monitor value."""
        return self._query("veskcfp2_currentMonitor", ctypes.c_uint16())

    def mdio_write(self, port: int, reg: int, data: int) -> None:
        """Writes `data` (0-65535) to module register `reg` (0-65535) over
        MDIO port `port` (0-255)."""
        self._send("veskcfp2_setMDIO", _u8("port", port), _u16("reg", reg), _u16("data", data))

    def mdio_read(self, port: int, reg: int) -> int:
        """Reads module register `reg` over MDIO port `port`; returns an int."""
        return self._query("veskcfp2_getMDIO", ctypes.c_uint16(), _u8("port", port),
                           _u16("reg", reg))

    def vcc(self) -> float:
        """The supply voltage in volts, a float. Type 1 only."""
        return self._query("veskcfp2_getVCC", ctypes.c_double())

    def temperature(self, sensor: int) -> float:
        """The reading of temperature sensor `sensor` (0-255), a float.
        Type 1 only."""
        return self._query("veskcfp2_getTemperature", ctypes.c_double(), _u8("sensor", sensor))

    def eeprom_read(self, address: int) -> int:
        """Reads the EEPROM byte at `address` (0 to 0x1FFFF); returns an int."""
        return self._query("veskcfp2_eepromRead", ctypes.c_uint8(),
                           _checked("address", address, 0, EEPROM_SIZE - 1))

    def eeprom_write(self, address: int, data: int) -> None:
        """Writes byte `data` (0-255) to the EEPROM at `address` (0 to 0x1FFFF)."""
        self._send("veskcfp2_eepromWrite", _checked("address", address, 0, EEPROM_SIZE - 1),
                   _u8("data", data))

    def module(self, port=1, lanes=None):
        """The CFP2 module behind MDIO port `port` (0-255, default 1), decoded:
        a brevant.module.Module with identity (identifier, connector,
        application, the module's own lane counts and lane rates, vendor
        name, OUI, part and serial number, date code, revisions, hardware
        and firmware versions), state, and monitors (temperature, supply
        voltage, per-lane bias, Tx and Rx power in mW and dBm). `lanes` (1-16) sets the lane count when the
        application code does not give one. One MDIO read per register.
        Raises brevant.module.NoModuleError when no CFP module answers and
        brevant.module.ModuleReadError, naming the register, when a read
        fails or comes short."""
        from . import module as _module
        return _module.read_module(self, _u8("port", port), lanes)

    def module_status(self, port=1, lanes=None):
        """The state of the CFP2 module behind MDIO port `port` and its
        alarm and status registers, raw (their bits are not decoded): a
        brevant.module.ModuleStatus. A module that does not answer its state
        register (in Reset or Initialize) is reported by `state.answered`
        being False, and its alarm registers are then not read. `lanes`
        (1-16) sets the lane count when the application code does not give
        one. Raises as module() does."""
        from . import module as _module
        return _module.read_module_status(self, _u8("port", port), lanes)

    @property
    def serial(self) -> str:
        """The serial number kept in the first 8 EEPROM bytes, without its
        space padding ("" when blank). Setting it writes 1 to 8 printable
        ASCII characters without spaces (str, or bytes of them), padded with
        spaces; clear_serial() blanks it."""
        raw = (ctypes.c_uint8 * 8)()
        if not self._call("veskcfp2_getSN", raw):
            raise BrevantError("veskcfp2_getSN")
        return bytes(raw).decode("latin-1").rstrip(" ")

    @serial.setter
    def serial(self, text: Union[str, bytes, bytearray]) -> None:
        if isinstance(text, (bytes, bytearray)):
            try:
                text = bytes(text).decode("ascii")
            except UnicodeDecodeError:
                raise ValueError("serial must be printable ASCII, got %r" % bytes(text)) from None
        data = _valid_serial(text).encode("ascii")
        raw = (ctypes.c_uint8 * 8).from_buffer_copy(data.ljust(8, b" "))
        if not self._call("veskcfp2_setSN", raw, len(data)):
            raise BrevantError("veskcfp2_setSN")

    def clear_serial(self) -> None:
        """Blanks the serial number (8 spaces)."""
        raw = (ctypes.c_uint8 * 8)()
        if not self._call("veskcfp2_setSN", raw, 0):
            raise BrevantError("veskcfp2_setSN")

    # ---- all readings at once ----------------------------------------------

    def readings(self, sensors: Iterable[int] = (0,)) -> Dict[str, Optional[Union[float, int, bool]]]:
        """Every reading of the board at once, as brevantctl status takes
        them: "vcc" (volts), "temp<N>" for each of `sensors` (degrees C),
        "current_monitor", "port3" and "ftdi_supply" (port 3, bit 7). Readings
        the board type does not offer are left out (a type-0 board has no
        vcc, temperatures or FTDI supply); a reading that failed is None.

        """
        sensors = [_u8("sensor", sensor) for sensor in sensors]
        type1 = self.board_type == BOARD_8348
        values: Dict[str, Optional[Union[float, int, bool]]] = {}

        def take(key: str, read: Any) -> None:
            try:
                values[key] = read()
            except BrevantError:
                values[key] = None

        if type1:
            take("vcc", self.vcc)
            for sensor in sensors:
                take("temp%d" % sensor, lambda sensor=sensor: self.temperature(sensor))
        take("current_monitor", self.current_monitor)
        take("port3", lambda: self.port_read(3))
        if type1:
            port3 = values["port3"]
            values["ftdi_supply"] = None if port3 is None else bool(port3 & 0x80)
        return values
