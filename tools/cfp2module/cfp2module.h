// cfp2module.h - decoding of a CFP2 module's management registers (the CFP
// MSA register map, read over MDIO) into named, typed fields with units.
//
// No I/O: the caller reads the registers a set of fields needs (registersOf)
// and hands the words over. Every field is a row of a table (its register,
// its width and its encoding); decode() turns any row into a Value the same
// way. Only the fields listed here are decoded; a code that is not in a
// field's code list comes back as its number, with no name.
//
//     Words words;                                   // register -> word
//     for (std::uint16_t reg : registersOf(identityFields())) words[reg] = read(reg);
//     if (checkPresence(words).presence == Presence::Module)
//         for (const Value &v : decodeAll(identityFields(), words)) print(v.field->label, v.display());
#ifndef CFP2MODULE_H
#define CFP2MODULE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cfp2module {

// How a field's registers turn into a value.
enum class Encoding {
    Code,        // one byte from a list of named codes
    Text,        // one ASCII character per register, space padded or ended by a 0 byte
    Revision,    // one byte, tenths: 0x0E is 1.4
    Celsius,     // signed 16 bits, 1/256 degree
    Volts,       // unsigned 16 bits, 0.1 mV
    MilliAmps,   // unsigned 16 bits, 2 uA
    MilliWatts,  // unsigned 16 bits, 0.1 uW; also shown in dBm
    Number,      // one byte whose names are not known: shown as its number; 0 is undefined
    LaneCounts,  // one byte: network lanes in bits 7-4, host lanes in bits 3-0; a count of 0 is 16
    BitRate,     // one byte, 0.2 Gb/s; 0 is undefined
    Oui,         // one byte a register, the first the most significant: XX-XX-XX
    Version,     // two bytes x and y: x.y
    State,       // a 16-bit word from a list of one-bit codes; 0x0000 or 0xFFFF is no answer
    Raw,         // a 16-bit word whose bits are not named: shown as it is, non-zero said
};

struct Code {
    std::uint16_t value;
    const char *name;
    unsigned lanes;  // network lanes an application code implies; 0 for other codes
};

struct Field {
    const char *key;     // JSON member and column name: "vendorName"
    const char *label;   // for people: "Vendor name"
    std::uint16_t reg;   // first register; for a lane field the register of lane 0
    std::uint8_t count;  // registers the field spans
    Encoding encoding;
    const std::vector<Code> *codes;  // Encoding::Code only
};

constexpr unsigned kMaxLanes = 16;  // registers per lane monitor block
constexpr std::uint16_t kIdentifierRegister = 0x8000;
constexpr std::uint16_t kApplicationRegister = 0x8003;  // gives the lane count
constexpr std::uint16_t kStateRegister = 0xA016;

// Whether a module state word is one the module gave: a module in Reset or
// Initialize may not answer, and an MDIO bus nobody drives reads all zeros
// or all ones.
inline bool stateAnswered(std::uint16_t word) { return word != 0x0000 && word != 0xFFFF; }

// The module's identity (basic ID table), its module-wide monitors, and the
// per-lane monitors (register = reg + lane); the module state; the alarm and
// status registers, module-wide and per lane, whose bits are not decoded.
const std::vector<Field> &identityFields();
const std::vector<Field> &moduleMonitorFields();
const std::vector<Field> &laneMonitorFields();
const Field &stateField();
const std::vector<Field> &moduleStatusFields();
const std::vector<Field> &laneStatusFields();
// Rows by key ("identifier", "applicationCode", ...); nullptr when unknown.
const Field *fieldByKey(const std::string &key);
// The field a register belongs to (lane fields included); nullptr if none.
const Field *fieldAt(std::uint16_t reg);
// "0x8021 (vendor name)", or "0x8001" outside every field.
std::string describeRegister(std::uint16_t reg);

using Words = std::map<std::uint16_t, std::uint16_t>;

// The registers the fields need, in ascending order; lane fields for lanes
// 0 to lanes-1.
std::vector<std::uint16_t> registersOf(const std::vector<Field> &fields, unsigned lanes = 0);

struct Value {
    const Field *field = nullptr;
    unsigned lane = 0;
    std::vector<std::uint16_t> words;  // as read
    // Byte fields: the byte; words: the word. A byte register whose upper
    // byte is not 0 is not a byte: its whole word is kept here and it
    // decodes as unknown. Oui and Version: the first register's.
    std::uint16_t raw = 0;
    // Code and State: a listed code; Number and BitRate: a byte that is not
    // 0 (undefined); the other byte fields: bytes; the rest: always.
    bool known = false;
    std::optional<std::string> name;  // Code and State: the code's name when listed
    std::string text;               // Text: the characters up to the padding (\xNN, \\: see display)
    double number = 0;              // Revision, BitRate and readings, in the unit below
    std::optional<double> dbm;      // MilliWatts above zero; zero is no light
    // LaneCounts: network and host lanes; Oui: its three bytes; Version: x and y.
    std::vector<unsigned> parts;
    const char *unit = "";          // "C", "V", "mA", "mW", "Gb/s", or "" for the rest

    // One line of text: "0x11 (CFP2)", "0x42 (unknown)", "VIRTUAL OPTICS",
    // "1.4", "55.10 C", "3.3000 V", "63.048 mA", "1.9954 mW (+3.00 dBm)",
    // "0.0000 mW (no light)", "0x05", "0x00 (undefined)", "4 network, 16
    // host", "25.8 Gb/s", "undefined", "00-90-65", "1.2", "0x0020 (Ready)",
    // "0xFFFF (no answer)", "0x0000", "0x0040 (non-zero)".
    std::string display() const;
};

// Decodes one field (lane: which lane, for lane fields) from `words`, which
// must hold every register of the field (std::out_of_range otherwise).
Value decode(const Field &field, const Words &words, unsigned lane = 0);
std::vector<Value> decodeAll(const std::vector<Field> &fields, const Words &words, unsigned lane = 0);

// The lane count an application code word implies; none for an unknown code.
std::optional<unsigned> lanesOf(std::uint16_t applicationWord);

// Whether a module answers, judged from identity registers that were read
// (at least the identifier, 0x8000).
enum class Presence {
    Module,    // the identifier is a CFP code
    NoAnswer,  // every register read 0x0000, or every one 0xFFFF (an empty cage)
    NotCfp,    // the identifier is not a CFP code
};
struct PresenceCheck {
    Presence presence;
    std::uint16_t word;  // the identifier, which for NoAnswer is what every register read
};
PresenceCheck checkPresence(const Words &words);
// A sentence for a check that found no module: "every register on MDIO port
// 1 reads 0xFFFF: no module answers (empty cage?)".
std::string absenceMessage(const PresenceCheck &check, unsigned port);

// The monitors of a module: module-wide readings and one set per lane.
struct Monitors {
    std::vector<Value> module;
    std::vector<std::vector<Value>> lanes;
};
Monitors decodeMonitors(const Words &words, unsigned lanes);
// A module whose supply voltage reads 0 is not powered: its other monitors
// read 0 too and are no readings at all.
bool powered(const Monitors &monitors);

// The monitor readings as named columns, for logging one row per sample:
// temperature_C, supplyVoltage_V, then per lane laneN_laserBias_mA,
// laneN_txPower_mW, laneN_txPower_dBm, laneN_rxPower_mW, laneN_rxPower_dBm.
// A dBm column of a zero reading has no value.
struct Column {
    std::string name;   // "lane0_txPower_mW": the key and its unit
    std::string label;  // "lane 0 Tx power"
    std::string unit;   // "mW"
    std::optional<double> value;
    std::string text;   // the value as display() shows it: "0.8549 mW", "+3.00 dBm", "no light"
};
std::vector<Column> monitorColumns(const Monitors &monitors);

}  // namespace cfp2module

#endif
