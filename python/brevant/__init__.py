"""Drive a USB board that carries a CFP2 optical module, through the brevant
shared library.

    import brevant
    for device in brevant.enumerate(brevant.BOARD_8348):
        with brevant.Board(brevant.BOARD_8348, device.index) as board:
            print(board.serial, board.ping().hex(), board.vcc())

Every command returns a Python value or raises: BrevantError when the board
did not answer, is not connected or lacks the command; ShortReplyError (a
BrevantError) when a reply came with fewer bytes than expected, carrying the
value decoded from the bytes that came. Arguments outside their range raise
ValueError before anything is sent.

The library is loaded on first use (see load()): from the BREVANT_LIBRARY
environment variable, from beside this package, or by its platform name.
"""

import ctypes
from collections import namedtuple

from ._library import LIBRARY_ENV
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
    "enumerate",
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
    """A command failed. `command` names the library function that failed."""

    def __init__(self, command, message=None):
        self.command = command
        super().__init__(message or "%s failed: the board did not answer, is not "
                         "connected, or does not have this command" % command)


class ShortReplyError(BrevantError):
    """A query's reply came with fewer bytes than expected. `value` holds
    what was decoded from the bytes that came (missing bytes read as 0)."""

    def __init__(self, command, value):
        self.value = value
        super().__init__(command, "%s: the reply came short; partial value %r" % (command, value))


_default = None


def load(path=None):
    """Loads the library and makes it the one the module uses. With no
    `path`: the file named by BREVANT_LIBRARY, else the one beside this
    package, else the platform's library by name (brevant.dll,
    libbrevant.so.1). Returns the loaded library."""
    global _default
    _default = _load_library(path)
    return _default


def _default_library(library=None):
    if library is not None:
        return library
    return _default if _default is not None else load()


def _checked(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %d to %s, got %d" % (name, low, _number(high), value))
    return value


def _number(value):
    return "0x%X" % value if value > 0xFF else str(value)


def _u8(name, value):
    return _checked(name, value, 0, 0xFF)


def _u16(name, value):
    return _checked(name, value, 0, 0xFFFF)


def _board_type(value, allow_any=False):
    if allow_any and value is None:
        return -1
    if isinstance(value, bool) or not isinstance(value, int) or value not in (0, 1):
        raise ValueError("board type must be 0 or 1%s, got %r"
                         % (" (or None for every device)" if allow_any else "", value))
    return value


#: One board found by enumerate(): its device index (what Board takes), the
#: board type asked for (None when every device was listed) and the first
#: byte of its EEPROM, which is the first character of its serial number.
Device = namedtuple("Device", ["index", "board_type", "first_byte"])


def enumerate(board_type, *, library=None):  # noqa: A001 - the library's own verb
    """Lists the attached boards of `board_type` (BOARD_8248 or BOARD_8348;
    None lists every device of the board driver) as Device tuples, in
    device-index order."""
    code = _board_type(board_type, allow_any=True)
    lib = _default_library(library)
    indices = (ctypes.c_uint16 * MAX_DEVICES)()
    first = (ctypes.c_uint8 * (2 * MAX_DEVICES))()
    count = lib.veskcfp2_enumerateDevices(code, indices, first)
    count = max(0, min(count, MAX_DEVICES))
    return [Device(indices[k], board_type, first[2 * k]) for k in range(count)]


class Board:
    """One board, by board type and device index (see enumerate()).

    As a context manager it creates the library's instance and connects on
    entry, and disconnects and releases the instance on exit. open() and
    close() do the same by hand; connect() reconnects an open board, for
    instance after it was unplugged and plugged back.
    """

    def __init__(self, board_type, index=0, *, library=None):
        self.board_type = _board_type(board_type)
        self.index = _u16("device index", index)
        self._lib = _default_library(library)
        self._instance = None

    def __repr__(self):
        state = "open" if self._instance is not None else "closed"
        return "<brevant.Board type %d index %d, %s>" % (self.board_type, self.index, state)

    # ---- lifetime ---------------------------------------------------------

    def open(self):
        """Creates the instance and connects; raises BrevantError (command
        veskcfp2_connect) when the board cannot be opened."""
        if self._instance is not None:
            return self
        instance = self._lib.veskcfp2_createInstance(self.board_type, self.index)
        if not instance:
            raise MemoryError("veskcfp2_createInstance returned no instance")
        self._instance = instance
        try:
            self.connect()
        except BrevantError:
            self._instance = None
            self._lib.veskcfp2_destroyInstance(instance)
            raise
        return self

    def connect(self):
        """(Re)opens the connection to the board."""
        if not self._lib.veskcfp2_connect(self._handle("veskcfp2_connect")):
            raise BrevantError("veskcfp2_connect", "veskcfp2_connect failed: no board of type "
                               "%d at device index %d, or it cannot be opened"
                               % (self.board_type, self.index))

    def close(self):
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
    def is_open(self):
        return self._instance is not None

    def __enter__(self):
        return self.open()

    def __exit__(self, exc_type, exc, traceback):
        try:
            self.close()
        except BrevantError:
            if exc_type is None:
                raise  # otherwise the error from the with-block is the one to see

    def __del__(self):
        # A board dropped while open still gives its pipes back.
        try:
            self.close()
        except Exception:
            pass

    # ---- plumbing ---------------------------------------------------------

    def _handle(self, command):
        if self._instance is None:
            raise BrevantError(command, "%s: the board is not open" % command)
        return self._instance

    def _call(self, command, *args):
        return getattr(self._lib, command)(self._handle(command), *args)

    def _result(self, command, result, value=None):
        if result == CMD_OK:
            return value
        if result == CMD_SHORT:
            raise ShortReplyError(command, value)
        if command in _TYPE1_ONLY and self.board_type != BOARD_8348:
            raise BrevantError(command, "%s failed: board type %d does not have this command"
                               % (command, self.board_type))
        raise BrevantError(command)

    def _send(self, command, *args):
        self._result(command, self._call(command, *args))

    def _query(self, command, out, *args):
        result = self._call(command, *args, out)
        return self._result(command, result, out.value)

    # ---- commands -----------------------------------------------------------

    def ping(self):
        """The board's 20-byte identity block, as bytes."""
        reply = (ctypes.c_uint8 * 20)()
        result = self._call("veskcfp2_ping", reply)
        return self._result("veskcfp2_ping", result, bytes(reply))

    def reset_mcu(self):
        """Resets the board microcontroller."""
        self._send("veskcfp2_resetMCU")

    def reset_mcu_boot(self):
        """Resets the board microcontroller into its boot loader."""
        self._send("veskcfp2_resetMCUBoot")

    def port_write(self, port, value):
        """Sets board port `port` (0-255) to `value` (0-255)."""
        self._send("veskcfp2_setPort", _u8("port", port), _u8("value", value))

    def port_read(self, port):
        """Reads board port `port` (0-255); returns an int."""
        return self._query("veskcfp2_getPort", ctypes.c_uint8(), _u8("port", port))

    def set_vendor_io(self, value):
        """Sets the vendor I/O register to `value` (0-255)."""
        self._send("veskcfp2_setVendorIO", _u8("value", value))

    def ftdi_supply(self, enable):
        """Switches the 3.3 V supply of the board's FTDI chip on or off
        (port 3, bit 7; the other bits are kept). Type 1 only."""
        self._send("veskcfp2_p3v3_FTDIEnable", 1 if enable else 0)

    def set_power(self, value):
        """Sets the module power value (0-255). Type 1 only."""
        self._send("veskcfp2_setPower", _u8("value", value))

    def current_sense_enable(self, value, selector):
        """Enables current sensing: `value` (0-65535) for sense channel
        `selector` (0-65535)."""
        self._send("veskcfp2_enableCurrentSense", _u16("value", value), _u16("selector", selector))

    def current_sense(self, selector):
        """Reads the current-sense value (one byte) of `selector`."""
        return self._query("veskcfp2_getCurrentSense", ctypes.c_uint8(),
                           _u16("selector", selector))

    def current_monitor(self):
        """Reads the 16-bit current-monitor value."""
        return self._query("veskcfp2_currentMonitor", ctypes.c_uint16())

    def mdio_write(self, port, reg, data):
        """Writes `data` (0-65535) to module register `reg` (0-65535) over
        MDIO port `port` (0-255)."""
        self._send("veskcfp2_setMDIO", _u8("port", port), _u16("reg", reg), _u16("data", data))

    def mdio_read(self, port, reg):
        """Reads module register `reg` over MDIO port `port`; returns an int."""
        return self._query("veskcfp2_getMDIO", ctypes.c_uint16(), _u8("port", port),
                           _u16("reg", reg))

    def vcc(self):
        """The supply voltage in volts, a float. Type 1 only."""
        return self._query("veskcfp2_getVCC", ctypes.c_double())

    def temperature(self, sensor):
        """The reading of temperature sensor `sensor` (0-255), a float.
        Type 1 only."""
        return self._query("veskcfp2_getTemperature", ctypes.c_double(), _u8("sensor", sensor))

    def eeprom_read(self, address):
        """Reads the EEPROM byte at `address` (0 to 0x1FFFF); returns an int."""
        return self._query("veskcfp2_eepromRead", ctypes.c_uint8(),
                           _checked("address", address, 0, EEPROM_SIZE - 1))

    def eeprom_write(self, address, data):
        """Writes byte `data` (0-255) to the EEPROM at `address` (0 to 0x1FFFF)."""
        self._send("veskcfp2_eepromWrite", _checked("address", address, 0, EEPROM_SIZE - 1),
                   _u8("data", data))

    def module(self, port=1, lanes=None):
        """The CFP2 module behind MDIO port `port` (0-255, default 1), decoded:
        a brevant.module.Module with identity (identifier, connector,
        application, vendor name, part and serial number, revisions) and
        monitors (temperature, supply voltage, per-lane bias, Tx and Rx power
        in mW and dBm). `lanes` (1-16) sets the lane count when the
        application code does not give one. One MDIO read per register.
        Raises brevant.module.NoModuleError when no CFP module answers and
        brevant.module.ModuleReadError, naming the register, when a read
        fails or comes short."""
        from . import module as _module
        return _module.read_module(self, _u8("port", port), lanes)

    @property
    def serial(self):
        """The 8-character serial number kept at the start of the EEPROM,
        without its space padding. Setting it writes at most 8 ASCII
        characters (str) or bytes, padded with spaces."""
        raw = (ctypes.c_uint8 * 8)()
        if not self._call("veskcfp2_getSN", raw):
            raise BrevantError("veskcfp2_getSN")
        return bytes(raw).decode("latin-1").rstrip(" ")

    @serial.setter
    def serial(self, text):
        if isinstance(text, str):
            try:
                text = text.encode("ascii")
            except UnicodeEncodeError:
                raise ValueError("serial must be ASCII text, got %r" % text) from None
        if not isinstance(text, (bytes, bytearray)):
            raise TypeError("serial must be str or bytes, not %s" % type(text).__name__)
        data = bytes(text)
        if len(data) > 8:
            raise ValueError("serial must be at most 8 characters, got %d" % len(data))
        raw = (ctypes.c_uint8 * 8).from_buffer_copy(data.ljust(8, b" "))
        if not self._call("veskcfp2_setSN", raw, len(data)):
            raise BrevantError("veskcfp2_setSN")
