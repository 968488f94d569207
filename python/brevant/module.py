"""The CFP2 module on a board, decoded from its management registers (the
CFP MSA register map, read over MDIO): identity and monitors as a Module
dataclass. Board.module() reads the registers; everything here is decoding,
without I/O.

The field tables mirror those of brevantctl's decoder (tools/cfp2module) and
are tested against the same cases. Only the fields listed are decoded; a
code that is not listed comes back as its number, with no name.
"""

import math
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Tuple

from . import BrevantError

__all__ = [
    "Code",
    "Field",
    "Lane",
    "Module",
    "ModuleReadError",
    "NoModuleError",
    "IDENTITY_FIELDS",
    "MODULE_MONITOR_FIELDS",
    "LANE_MONITOR_FIELDS",
    "MAX_LANES",
    "decode",
    "decode_module",
    "read_module",
    "registers_of",
    "lanes_of",
    "check_presence",
]

#: Registers per lane monitor block: lane fields cover lanes 0 to 15.
MAX_LANES = 16

# Encodings: how a field's registers turn into a value.
CODE = "code"              # one byte from a list of named codes
TEXT = "text"              # one ASCII character per register
REVISION = "revision"      # one byte, tenths: 0x0E is 1.4
CELSIUS = "celsius"        # signed 16 bits, 1/256 degree
VOLTS = "volts"            # unsigned 16 bits, 0.1 mV
MILLIAMPS = "milliamps"    # unsigned 16 bits, 2 uA
MILLIWATTS = "milliwatts"  # unsigned 16 bits, 0.1 uW; also in dBm

# Unit and counts per unit: a reading is its word divided by the count.
_UNITS = {CELSIUS: ("C", 256), VOLTS: ("V", 10000), MILLIAMPS: ("mA", 500), MILLIWATTS: ("mW", 10000)}

# Code -> (name, lanes). Module identifiers are the CFP MSA's own codes.
IDENTIFIERS = {0x0E: ("CFP", 0), 0x11: ("CFP2", 0), 0x12: ("CFP4", 0)}
CONNECTORS = {0x01: ("SC", 0), 0x07: ("LC", 0), 0x08: ("MT-RJ", 0), 0x09: ("MPO", 0),
              0x0D: ("angled LC", 0)}
APPLICATIONS = {
    0x01: ("100GE-LR4", 4), 0x02: ("100GE-ER4", 4), 0x03: ("100GBASE-SR10", 10),
    0x04: ("100GBASE-SR4", 4), 0x05: ("40GE-LR4", 4), 0x07: ("40GE-SR4", 4),
    0x0D: ("40GE-CR4 copper", 4), 0x0E: ("100GE-CR10 copper", 10), 0x0F: ("40GBASE-FR", 1),
    0x10: ("100GE-ZR1", 1), 0x11: ("100GE DWDM coherent", 1),
}


@dataclass(frozen=True)
class Field:
    """One row of a field table. `key` is the name brevantctl's JSON uses;
    for a lane field `reg` is the register of lane 0."""

    key: str
    label: str
    reg: int
    count: int
    encoding: str
    codes: Optional[Mapping[int, Tuple[str, int]]] = None


IDENTITY_FIELDS = (
    Field("identifier", "Identifier", 0x8000, 1, CODE, IDENTIFIERS),
    Field("connector", "Connector", 0x8002, 1, CODE, CONNECTORS),
    Field("applicationCode", "Application", 0x8003, 1, CODE, APPLICATIONS),
    Field("vendorName", "Vendor name", 0x8021, 16, TEXT),
    Field("partNumber", "Vendor part number", 0x8034, 16, TEXT),
    Field("serialNumber", "Vendor serial number", 0x8044, 16, TEXT),
    Field("hardwareRevision", "Hardware revision", 0x8068, 1, REVISION),
    Field("managementRevision", "Management interface revision", 0x8069, 1, REVISION),
)
MODULE_MONITOR_FIELDS = (
    Field("temperature", "Module temperature", 0xA02F, 1, CELSIUS),
    Field("supplyVoltage", "Supply voltage", 0xA030, 1, VOLTS),
)
LANE_MONITOR_FIELDS = (
    Field("laserBias", "Laser bias", 0xA2A0, 1, MILLIAMPS),
    Field("txPower", "Tx power", 0xA2B0, 1, MILLIWATTS),
    Field("rxPower", "Rx power", 0xA2D0, 1, MILLIWATTS),
)

_BY_KEY = {f.key: f for f in IDENTITY_FIELDS + MODULE_MONITOR_FIELDS + LANE_MONITOR_FIELDS}


def field(key):
    """The field row named `key` ("vendorName", "txPower", ...)."""
    return _BY_KEY[key]


def describe_register(reg):
    """'0x8021 (vendor name)', or just '0x8001' outside every field."""
    for f in IDENTITY_FIELDS + MODULE_MONITOR_FIELDS:
        if f.reg <= reg < f.reg + f.count:
            return "0x%04X (%s)" % (reg, f.label[0].lower() + f.label[1:])
    for f in LANE_MONITOR_FIELDS:
        if f.reg <= reg < f.reg + MAX_LANES:
            return "0x%04X (lane %d %s)" % (reg, reg - f.reg, f.label[0].lower() + f.label[1:])
    return "0x%04X" % reg


def registers_of(fields, lanes=0):
    """The registers `fields` need, ascending; lane fields for `lanes` lanes."""
    regs = []
    for f in fields:
        for lane in range(lanes if f in LANE_MONITOR_FIELDS else 1):
            regs.extend(range(f.reg + lane, f.reg + lane + f.count))
    return sorted(regs)


@dataclass(frozen=True)
class Value:
    """A decoded field. `raw` is the byte of a code or revision (the whole
    word when its upper byte is not 0, which makes it unknown) or the word
    of a reading; `number` is a revision or a reading in `unit`."""

    field: Field
    lane: int
    words: Tuple[int, ...]
    raw: int
    known: bool = True
    name: Optional[str] = None
    text: str = ""
    number: float = 0.0
    dbm: Optional[float] = None
    unit: str = ""

    def display(self):
        """One line of text, as brevantctl prints it."""
        enc = self.field.encoding
        if enc == CODE:
            return "%s (%s)" % (_hex(self.raw), self.name if self.name is not None else "unknown")
        if enc == TEXT:
            return self.text
        if enc == REVISION:
            return "%.1f" % self.number if self.known else "%s (unknown)" % _hex(self.raw)
        digits = {CELSIUS: 2, VOLTS: 4, MILLIAMPS: 3, MILLIWATTS: 4}[enc]
        text = "%.*f %s" % (digits, self.number, self.unit)
        if enc == MILLIWATTS:
            text += " (%+.2f dBm)" % self.dbm if self.dbm is not None else " (no light)"
        return text


def _hex(word):
    return "0x%04X" % word if word > 0xFF else "0x%02X" % word


def _text(words):
    out = []
    for word in words:
        if word == 0:
            break
        if word == 0x5C:
            out.append("\\\\")  # a backslash doubled: the text "\\x07" is not a 0x07 byte
        elif 0x20 <= word < 0x7F:
            out.append(chr(word))
        else:
            out.append("\\x%04X" % word if word > 0xFF else "\\x%02X" % word)
    return "".join(out).rstrip(" ")


def decode(f, words, lane=0):
    """Decodes field `f` (of lane `lane`) from `words`, a mapping of register
    to word that must hold each of the field's registers (KeyError otherwise)."""
    if not 0 <= lane < MAX_LANES or (lane and f not in LANE_MONITOR_FIELDS):
        raise ValueError("field %s has no lane %d" % (f.key, lane))
    got = tuple(words[f.reg + lane + i] for i in range(f.count))
    word = got[0]
    enc = f.encoding
    if enc == CODE:
        code = f.codes.get(word)
        return Value(f, lane, got, word, code is not None, code[0] if code else None)
    if enc == TEXT:
        return Value(f, lane, got, word, text=_text(got))
    if enc == REVISION:
        return Value(f, lane, got, word, word <= 0xFF, number=word / 10.0)
    unit, per_unit = _UNITS[enc]
    value = (word - 0x10000 if enc == CELSIUS and word >= 0x8000 else word) / per_unit
    dbm = 10.0 * math.log10(value) if enc == MILLIWATTS and word else None
    return Value(f, lane, got, word, number=value, dbm=dbm, unit=unit)


def lanes_of(application_word):
    """The lane count an application code word implies; None when unknown."""
    code = APPLICATIONS.get(application_word)
    return code[1] if code else None


#: check_presence() results.
PRESENT, NO_ANSWER, NOT_CFP = "present", "no answer", "not CFP"


def check_presence(words):
    """(PRESENT | NO_ANSWER | NOT_CFP, word) from identity registers read
    (the identifier, 0x8000, at least). NO_ANSWER: every register read
    0x0000, or every one 0xFFFF (an empty cage); NOT_CFP: the identifier is
    not a CFP code. The word is the identifier."""
    identifier = words[0x8000]
    if len(words) > 1 and identifier in (0x0000, 0xFFFF) and all(w == identifier for w in words.values()):
        return NO_ANSWER, identifier
    if identifier not in IDENTIFIERS:
        return NOT_CFP, identifier
    return PRESENT, identifier


def absence_message(presence, word, port):
    where = "MDIO port %d" % port
    if presence == NO_ANSWER:
        return "no module answers on %s: every register read 0x%04X (empty cage?)" % (where, word)
    return ("no CFP module on %s: the module identifier (register 0x8000) reads 0x%04X, not a CFP "
            "code (0x0E CFP, 0x11 CFP2, 0x12 CFP4)" % (where, word))


class NoModuleError(BrevantError):
    """No CFP module answers on the MDIO port: every identity register read
    the same 0x0000 or 0xFFFF (`presence` NO_ANSWER), or the identifier is
    not a CFP code (NOT_CFP). `word` is the identifier read."""

    def __init__(self, presence, word, port):
        self.presence = presence
        self.word = word
        self.port = port
        super().__init__("veskcfp2_getMDIO", absence_message(presence, word, port))


class ModuleReadError(BrevantError):
    """An MDIO read of the module failed or came short; `register` names
    where (the library's error is the cause)."""

    def __init__(self, register, port, cause):
        self.register = register
        self.port = port
        super().__init__("veskcfp2_getMDIO", "the MDIO read of register %s on port %d failed: %s"
                         % (describe_register(register), port, cause))


@dataclass(frozen=True)
class Code:
    """A code register: its number, and its name when the code is listed."""

    code: int
    name: Optional[str]

    def __str__(self):
        return "%s (%s)" % (_hex(self.code), self.name if self.name is not None else "unknown")


@dataclass(frozen=True)
class Lane:
    """One lane's monitors. A power of 0 mW is no light: its dBm is None."""

    lane: int
    laser_bias_ma: float
    tx_power_mw: float
    tx_power_dbm: Optional[float]
    rx_power_mw: float
    rx_power_dbm: Optional[float]


@dataclass(frozen=True)
class Module:
    """A CFP2 module's identity and monitors. `lane_count` is None when the
    application code is unknown and no lane count was given; then `lanes` is
    empty. A revision that is not a byte is None."""

    port: int
    identifier: Code
    connector: Code
    application: Code
    lane_count: Optional[int]
    vendor_name: str
    part_number: str
    serial_number: str
    hardware_revision: Optional[float]
    management_revision: Optional[float]
    temperature_c: float
    supply_voltage_v: float
    lanes: List[Lane]

    @property
    def powered(self) -> bool:
        """False when the supply voltage reads 0: the module is not powered,
        and its other monitors read 0 too, which are no readings."""
        return self.supply_voltage_v != 0

    def columns(self) -> Dict[str, Optional[float]]:
        """The monitor readings as named columns, in order (the names
        brevantctl logs): temperature_C, supplyVoltage_V, then per lane
        laneN_laserBias_mA, laneN_txPower_mW, laneN_txPower_dBm,
        laneN_rxPower_mW, laneN_rxPower_dBm. A module without power
        (`powered` false) has every column None: not available."""
        out = {"temperature_C": self.temperature_c, "supplyVoltage_V": self.supply_voltage_v}
        for lane in self.lanes:
            p = "lane%d_" % lane.lane
            out[p + "laserBias_mA"] = lane.laser_bias_ma
            out[p + "txPower_mW"] = lane.tx_power_mw
            out[p + "txPower_dBm"] = lane.tx_power_dbm
            out[p + "rxPower_mW"] = lane.rx_power_mw
            out[p + "rxPower_dBm"] = lane.rx_power_dbm
        if not self.powered:
            return {key: None for key in out}
        return out


def decode_module(port, words, lane_count=None):
    """A Module from `words` (register -> word), which hold the identity
    registers, the module monitors and the lane monitors of `lane_count`
    lanes (default: as the application code implies; none when unknown).
    Raises NoModuleError when no CFP module answered."""
    presence, word = check_presence({r: words[r] for r in registers_of(IDENTITY_FIELDS)})
    if presence != PRESENT:
        raise NoModuleError(presence, word, port)
    ident = {f.key: decode(f, words) for f in IDENTITY_FIELDS}
    mon = {f.key: decode(f, words) for f in MODULE_MONITOR_FIELDS}
    if lane_count is None:
        lane_count = lanes_of(words[0x8003])
    lanes = []
    for n in range(lane_count or 0):
        bias, tx, rx = (decode(f, words, n) for f in LANE_MONITOR_FIELDS)
        lanes.append(Lane(n, bias.number, tx.number, tx.dbm, rx.number, rx.dbm))

    def code(key):
        return Code(ident[key].raw, ident[key].name)

    def revision(key):
        return ident[key].number if ident[key].known else None

    return Module(port, code("identifier"), code("connector"), code("applicationCode"), lane_count,
                  ident["vendorName"].text, ident["partNumber"].text, ident["serialNumber"].text,
                  revision("hardwareRevision"), revision("managementRevision"),
                  mon["temperature"].number, mon["supplyVoltage"].number, lanes)


def _read(board, port, regs):
    words = {}
    for reg in regs:
        try:
            words[reg] = board.mdio_read(port, reg)
        except BrevantError as e:
            raise ModuleReadError(reg, port, e) from e
    return words


def read_module(board, port=1, lanes=None):
    """Reads and decodes the module behind MDIO port `port` of an open
    Board: the identity registers first (one round trip each), then only
    the monitors of the lanes shown. See Board.module()."""
    if isinstance(lanes, bool) or not (lanes is None or isinstance(lanes, int)):
        raise TypeError("lanes must be an integer or None")
    if lanes is not None and not 1 <= lanes <= MAX_LANES:
        raise ValueError("lanes must be 1 to %d, got %d" % (MAX_LANES, lanes))
    words = _read(board, port, registers_of(IDENTITY_FIELDS))
    presence, word = check_presence(words)
    if presence != PRESENT:
        raise NoModuleError(presence, word, port)
    count = lanes if lanes is not None else lanes_of(words[0x8003])
    words.update(_read(board, port, registers_of(MODULE_MONITOR_FIELDS) +
                       registers_of(LANE_MONITOR_FIELDS, count or 0)))
    return decode_module(port, words, count)
