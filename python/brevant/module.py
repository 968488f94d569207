"""The CFP2 module on a board, decoded from its management registers (the
CFP MSA register map, read over MDIO): identity, state and monitors as a
Module dataclass, the state and the raw alarm and status registers as a
ModuleStatus. Board.module() and Board.module_status() read the registers;
everything here but read_module() and read_module_status() is decoding,
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
    "ModuleState",
    "ModuleStatus",
    "RawRegister",
    "ModuleReadError",
    "NoModuleError",
    "IDENTITY_FIELDS",
    "MODULE_MONITOR_FIELDS",
    "LANE_MONITOR_FIELDS",
    "STATE_FIELD",
    "MODULE_STATUS_FIELDS",
    "LANE_STATUS_FIELDS",
    "MAX_LANES",
    "decode",
    "decode_module",
    "decode_status",
    "read_module",
    "read_module_status",
    "state_answered",
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
NUMBER = "number"          # one byte whose names are not known; 0 is undefined
LANE_COUNTS = "lane counts"  # network lanes in bits 7-4, host lanes in bits 3-0; 0 is 16
BIT_RATE = "bit rate"      # one byte, 0.2 Gb/s; 0 is undefined
OUI = "oui"                # one byte a register, the first the most significant
VERSION = "version"        # two bytes x and y: x.y
STATE = "state"            # a 16-bit word from a list of one-bit codes
RAW = "raw"                # a 16-bit word whose bits are not named

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
# Module states: exactly one bit set. Reset has no code.
STATES = {
    0x0001: ("Initialize", 0), 0x0002: ("Low-Power", 0), 0x0004: ("High-Power-up", 0),
    0x0008: ("TX-Off", 0), 0x0010: ("TX-Turn-on", 0), 0x0020: ("Ready", 0), 0x0040: ("Fault", 0),
    0x0080: ("TX-Turn-off", 0), 0x0100: ("High-Power-down", 0),
}
STATE_REGISTER = 0xA016


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
    Field("sonetApplicationCode", "SONET/SDH application code", 0x8006, 1, NUMBER),
    Field("otnApplicationCode", "OTN application code", 0x8007, 1, NUMBER),
    Field("laneCounts", "Lane counts", 0x8009, 1, LANE_COUNTS),
    Field("maxNetworkLaneRate", "Maximum network lane rate", 0x800B, 1, BIT_RATE),
    Field("maxHostLaneRate", "Maximum host lane rate", 0x800C, 1, BIT_RATE),
    Field("vendorName", "Vendor name", 0x8021, 16, TEXT),
    Field("vendorOui", "Vendor OUI", 0x8031, 3, OUI),
    Field("partNumber", "Vendor part number", 0x8034, 16, TEXT),
    Field("serialNumber", "Vendor serial number", 0x8044, 16, TEXT),
    Field("dateCode", "Date code", 0x8054, 8, TEXT),
    Field("hardwareRevision", "Hardware revision", 0x8068, 1, REVISION),
    Field("managementRevision", "Management interface revision", 0x8069, 1, REVISION),
    Field("hardwareVersion", "Module hardware version", 0x806A, 2, VERSION),
    Field("firmwareVersion", "Module firmware version", 0x806C, 2, VERSION),
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

STATE_FIELD = Field("state", "Module state", STATE_REGISTER, 1, STATE, STATES)
# Alarm and status registers: their addresses are known, the meaning of
# their bits is not, so they stay raw words.
MODULE_STATUS_FIELDS = (
    Field("globalAlarmSummary", "Global alarm summary", 0xA018, 1, RAW),
    Field("generalStatus", "Module general status", 0xA01D, 1, RAW),
    Field("faultStatus", "Module fault status", 0xA01E, 1, RAW),
    Field("alarmsWarnings1", "Module alarms and warnings 1", 0xA01F, 1, RAW),
    Field("alarmsWarnings2", "Module alarms and warnings 2", 0xA020, 1, RAW),
)
LANE_STATUS_FIELDS = (
    Field("laneAlarmsWarnings", "Alarms and warnings", 0xA200, 1, RAW),
    Field("laneFaultStatus", "Fault and status", 0xA210, 1, RAW),
)
_LANE_FIELDS = LANE_MONITOR_FIELDS + LANE_STATUS_FIELDS
_ALL_FIELDS = (IDENTITY_FIELDS + MODULE_MONITOR_FIELDS + LANE_MONITOR_FIELDS + (STATE_FIELD,)
               + MODULE_STATUS_FIELDS + LANE_STATUS_FIELDS)
_BY_KEY = {f.key: f for f in _ALL_FIELDS}


def field(key):
    """The field row named `key` ("vendorName", "txPower", ...)."""
    return _BY_KEY[key]


def describe_register(reg):
    """'0x8021 (vendor name)', or just '0x8001' outside every field."""
    for f in _ALL_FIELDS:
        label = f.label[0].lower() + f.label[1:]
        if f in _LANE_FIELDS:
            if f.reg <= reg < f.reg + MAX_LANES:
                return "0x%04X (lane %d %s)" % (reg, reg - f.reg, label)
        elif f.reg <= reg < f.reg + f.count:
            return "0x%04X (%s)" % (reg, label)
    return "0x%04X" % reg


def registers_of(fields, lanes=0):
    """The registers `fields` need, ascending; lane fields for `lanes` lanes."""
    regs = []
    for f in fields:
        for lane in range(lanes if f in _LANE_FIELDS else 1):
            regs.extend(range(f.reg + lane, f.reg + lane + f.count))
    return sorted(regs)


@dataclass(frozen=True)
class Value:
    """A decoded field. `raw` is the byte of a byte field (the whole word
    when its upper byte is not 0, which makes it unknown) or the word of a
    reading, state or raw register (of Oui and Version: the first one's);
    `number` is a revision, bit rate or reading in `unit`; `parts` the
    network and host lane counts, the OUI's bytes, or a version's x and y.
    `known`: a listed code or state; a byte that is not 0 for the number
    and bit rate; bytes for the other byte fields."""

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
    parts: Tuple[int, ...] = ()

    def display(self):
        """One line of text, as brevantctl prints it."""
        enc = self.field.encoding
        if enc == CODE:
            return "%s (%s)" % (_hex(self.raw), self.name if self.name is not None else "unknown")
        if enc == TEXT:
            return self.text
        if enc == REVISION:
            return "%.1f" % self.number if self.known else "%s (unknown)" % _hex(self.raw)
        if enc == NUMBER:
            return _hex(self.raw) + ("" if self.known else " (undefined)" if self.raw == 0 else " (unknown)")
        if enc == LANE_COUNTS:
            return "%d network, %d host" % self.parts if self.known else "%s (unknown)" % _hex(self.raw)
        if enc == BIT_RATE:
            if self.known:
                return "%.1f Gb/s" % self.number
            return "undefined" if self.raw == 0 else "%s (unknown)" % _hex(self.raw)
        if enc == OUI:
            return "%02X-%02X-%02X" % self.parts if self.known else _unknown_words(self.words)
        if enc == VERSION:
            return "%d.%d" % self.parts if self.known else _unknown_words(self.words)
        if enc == STATE:
            return "0x%04X (%s)" % (self.raw, self.name if self.name is not None else
                                    "unknown" if state_answered(self.raw) else "no answer")
        if enc == RAW:
            return "0x%04X" % self.raw + (" (non-zero)" if self.raw else "")
        digits = {CELSIUS: 2, VOLTS: 4, MILLIAMPS: 3, MILLIWATTS: 4}[enc]
        text = "%.*f %s" % (digits, self.number, self.unit)
        if enc == MILLIWATTS:
            text += " (%+.2f dBm)" % self.dbm if self.dbm is not None else " (no light)"
        return text


def _hex(word):
    return "0x%04X" % word if word > 0xFF else "0x%02X" % word


def _unknown_words(words):
    return " ".join(_hex(w) for w in words) + " (unknown)"


def state_answered(word):
    """Whether a module state word is one the module gave: a module in Reset
    or Initialize may not answer, and an MDIO bus nobody drives reads all
    zeros or all ones."""
    return word not in (0x0000, 0xFFFF)


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
    if not 0 <= lane < MAX_LANES or (lane and f not in _LANE_FIELDS):
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
    if enc == NUMBER:
        return Value(f, lane, got, word, 0 < word <= 0xFF, number=float(word))
    if enc == LANE_COUNTS:
        counts = ((word >> 4 & 0xF) or 16, (word & 0xF) or 16)
        return Value(f, lane, got, word, word <= 0xFF, parts=counts if word <= 0xFF else ())
    if enc == BIT_RATE:
        return Value(f, lane, got, word, 0 < word <= 0xFF, number=word * 0.2, unit="Gb/s")
    if enc in (OUI, VERSION):
        return Value(f, lane, got, word, all(w <= 0xFF for w in got), parts=got)
    if enc == STATE:
        code = f.codes.get(word)
        return Value(f, lane, got, word, code is not None, code[0] if code else None)
    if enc == RAW:
        return Value(f, lane, got, word)
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
class ModuleState:
    """The module state register: its word, and the state's name when the
    word is a listed one (Ready, Fault, Low-Power, ...). A module in Reset
    or Initialize may not answer: the word then reads 0x0000 or 0xFFFF and
    `answered` is False."""

    code: int
    name: Optional[str]

    @property
    def answered(self):
        return state_answered(self.code)

    def __str__(self):
        return "0x%04X (%s)" % (self.code, self.name if self.name is not None else
                                "unknown" if self.answered else "no answer")


@dataclass(frozen=True)
class RawRegister:
    """An alarm or status register, whose bits are not decoded: `key` and
    `name` ("lane 2 fault and status"), `lane` (None for a module-wide one)
    and the `word` read."""

    register: int
    key: str
    name: str
    lane: Optional[int]
    word: int

    @property
    def non_zero(self):
        return self.word != 0


@dataclass(frozen=True)
class ModuleStatus:
    """The module state and its alarm and status registers, raw.
    `registers` is None when the module does not answer its state register
    (they are then not read); otherwise the module-wide ones and those of
    each of `lane_count` lanes (none when the application code is unknown
    and no lane count was given), in register order."""

    port: int
    state: ModuleState
    lane_count: Optional[int]
    registers: Optional[List[RawRegister]]

    @property
    def non_zero(self) -> List[RawRegister]:
        """The registers that read other than 0."""
        return [r for r in self.registers or [] if r.non_zero]


@dataclass(frozen=True)
class Module:
    """A CFP2 module's identity, state and monitors. `lane_count` is None
    when the application code is unknown and no lane count was given; then
    `lanes` is empty. A revision, version, OUI, lane count or rate that is
    not a byte is None; so are an undefined (0) application code or rate.
    `network_lanes` and `host_lanes` are the module's own lane counts
    (0x8009), which may differ from `lane_count`."""

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
    sonet_application_code: Optional[int] = None
    otn_application_code: Optional[int] = None
    network_lanes: Optional[int] = None
    host_lanes: Optional[int] = None
    max_network_lane_rate_gbps: Optional[float] = None
    max_host_lane_rate_gbps: Optional[float] = None
    vendor_oui: Optional[str] = None
    date_code: str = ""
    hardware_version: Optional[str] = None
    firmware_version: Optional[str] = None
    state: Optional[ModuleState] = None

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

    def revision(key):  # revisions and rates
        return ident[key].number if ident[key].known else None

    def number(key):
        return int(ident[key].number) if ident[key].known else None

    def text(key):  # the OUI and the versions as shown: "02-56-4F", "3.7"
        return ident[key].display() if ident[key].known else None

    counts = ident["laneCounts"].parts or (None, None)
    state = None
    if STATE_REGISTER in words:
        state_value = decode(STATE_FIELD, words)
        state = ModuleState(state_value.raw, state_value.name)
    return Module(port, code("identifier"), code("connector"), code("applicationCode"), lane_count,
                  ident["vendorName"].text, ident["partNumber"].text, ident["serialNumber"].text,
                  revision("hardwareRevision"), revision("managementRevision"),
                  mon["temperature"].number, mon["supplyVoltage"].number, lanes,
                  number("sonetApplicationCode"), number("otnApplicationCode"), counts[0], counts[1],
                  revision("maxNetworkLaneRate"), revision("maxHostLaneRate"), text("vendorOui"),
                  ident["dateCode"].text, text("hardwareVersion"), text("firmwareVersion"), state)


def _read(board, port, regs):
    words = {}
    for reg in regs:
        try:
            words[reg] = board.mdio_read(port, reg)
        except BrevantError as e:
            raise ModuleReadError(reg, port, e) from e
    return words


def _check_lanes(lanes):
    if isinstance(lanes, bool) or not (lanes is None or isinstance(lanes, int)):
        raise TypeError("lanes must be an integer or None")
    if lanes is not None and not 1 <= lanes <= MAX_LANES:
        raise ValueError("lanes must be 1 to %d, got %d" % (MAX_LANES, lanes))


def decode_status(port, words, lane_count):
    """A ModuleStatus from `words`, which hold the state register and,
    when the module answers it, the alarm and status registers of the
    module and of `lane_count` lanes."""
    state_value = decode(STATE_FIELD, words)
    state = ModuleState(state_value.raw, state_value.name)
    if not state.answered:
        return ModuleStatus(port, state, lane_count, None)
    registers = []
    for f in MODULE_STATUS_FIELDS:
        registers.append(RawRegister(f.reg, f.key, f.label[0].lower() + f.label[1:], None, words[f.reg]))
    for f in LANE_STATUS_FIELDS:
        for n in range(lane_count or 0):
            name = "lane %d %s" % (n, f.label[0].lower() + f.label[1:])
            registers.append(RawRegister(f.reg + n, f.key, name, n, words[f.reg + n]))
    return ModuleStatus(port, state, lane_count, registers)


def read_module_status(board, port=1, lanes=None):
    """Reads the module state behind MDIO port `port` of an open Board
    and, when the module answers it, its alarm and status registers (those
    of the lanes the application code gives, or `lanes`). See
    Board.module_status()."""
    _check_lanes(lanes)
    words = _read(board, port, [0x8000, 0x8003])
    presence, word = check_presence(words)
    if presence != PRESENT:
        raise NoModuleError(presence, word, port)
    count = lanes if lanes is not None else lanes_of(words[0x8003])
    words.update(_read(board, port, [STATE_REGISTER]))
    if state_answered(words[STATE_REGISTER]):
        words.update(_read(board, port, registers_of(MODULE_STATUS_FIELDS) +
                           registers_of(LANE_STATUS_FIELDS, count or 0)))
    return decode_status(port, words, count)


def read_module(board, port=1, lanes=None):
    """Reads and decodes the module behind MDIO port `port` of an open
    Board: the identity registers first (one round trip each), then the
    state and only the monitors of the lanes shown. See Board.module()."""
    _check_lanes(lanes)
    words = _read(board, port, registers_of(IDENTITY_FIELDS))
    presence, word = check_presence(words)
    if presence != PRESENT:
        raise NoModuleError(presence, word, port)
    count = lanes if lanes is not None else lanes_of(words[0x8003])
    words.update(_read(board, port, [STATE_REGISTER] + registers_of(MODULE_MONITOR_FIELDS) +
                       registers_of(LANE_MONITOR_FIELDS, count or 0)))
    return decode_module(port, words, count)
