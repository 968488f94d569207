// module_commands.cpp - the module view: brevantctl module info / monitor /
// status / dump read the CFP2 module's registers over MDIO, one round trip
// per register and only the registers a command shows, and print them
// decoded (cfp2module) or raw; status --module and watch --module add the
// module's state and monitors to the board's readings.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cfp2module.h"
#include "columns.h"
#include "context.h"
#include "monitoring.h"
#include "terminal.h"

namespace brevantctl {

namespace {

const char kModuleInfoDetails[] =
    "Reads the module's basic ID table (73 registers, one round trip each; a progress bar shows on a terminal) and decodes identifier, connector, application and the lane count it implies, SONET/SDH and OTN application codes (numbers; 0 is undefined), the module's own network and host lane counts, maximum network and host lane bit rates, vendor name, OUI, part and serial number, date code, hardware and management interface revisions, module hardware and firmware versions. Where the module's network lane count differs from the application code's, Lanes shows both. Fails (exit 1) when no module answers: every register reads 0x0000 or 0xFFFF, or the identifier is not a CFP code.";
const char kModuleMonitorDetails[] =
    "Reads the module state, the module temperature, supply voltage and, per lane, laser bias, Tx and Rx power (mW and dBm; 0 mW is no light). The lane count follows the application code; --lanes sets it.";
const char kModuleStatusDetails[] =
    "Reads the module state (register 0xA016) and shows it by name; a module that does not answer it (the word reads 0x0000 or 0xFFFF: in Reset or Initialize, or without power) is reported as such, and its alarm and status registers are not read. Otherwise shows the alarm and status registers as raw words with their names, marking the non-zero ones: global alarm summary (0xA018), module general status (0xA01D), module fault status (0xA01E), module alarms and warnings 1 and 2 (0xA01F, 0xA020), and per lane the alarms and warnings (0xA200 + lane) and the fault and status (0xA210 + lane). The meaning of their bits is not decoded. The lane count follows the application code; --lanes sets it.";
const char kModuleDumpDetails[] =
    "Prints the raw words of registers FIRST to LAST (default 0x8000 0x807F, the basic ID table), eight to a row with the printable characters beside them.";

const Option kMdioPortOption = {"--mdio-port", 0, "N",
                                "the MDIO port the board routes to the module (0-255, default 1)"};
const Option kLanesOption = {"--lanes", 0, "N", "the lane count (1-16), for a module whose application code is unknown"};
const Option kModuleOption = {"--module", 0, nullptr,
                              "adds the module's state and monitors: temperature, supply voltage, per-lane bias, Tx and Rx power"};

using cfp2module::Value;
using cfp2module::Words;

constexpr std::uint16_t kIdTableFirst = 0x8000, kIdTableLast = 0x807F;

std::uint8_t mdioPort(const Context &c) {
    return static_cast<std::uint8_t>(c.optionNumber(kMdioPortOption.name, 0, 0xFF).value_or(1));
}

// One MDIO read per register; the first that fails ends the command, naming
// its register. With a label, a progress bar shows on a terminal.
Words readRegisters(Context &c, std::uint8_t port, const std::vector<std::uint16_t> &regs, const char *label = "") {
    c.board();  // connected (and the simulator notice said) before the bar is drawn
    Progress progress(label, *label != '\0' ? static_cast<std::uint32_t>(regs.size()) : 0, "registers");
    Words words;
    for (std::size_t i = 0; i < regs.size(); ++i) {
        std::uint16_t value = 0;
        c.expectReply(veskcfp2_getMDIO(c.instance(), port, regs[i], &value),
                      "the MDIO read of register " + cfp2module::describeRegister(regs[i]) + " on port " +
                          std::to_string(port));
        words[regs[i]] = value;
        progress.update(static_cast<std::uint32_t>(i + 1));
    }
    return words;
}

void requireModule(const Words &words, std::uint8_t port) {
    const cfp2module::PresenceCheck check = cfp2module::checkPresence(words);
    if (check.presence != cfp2module::Presence::Module) throw BoardFailure(cfp2module::absenceMessage(check, port));
}

// "Label ...........: value", aligned for the longest label.
std::string labelled(const std::string &label, const std::string &value) {
    std::string text = label;
    text.resize(30, ' ');
    return text + ": " + value;
}

// The module state: {"code": 32, "name": "Ready", "answered": true}; a
// listed code has its name, an unlisted one null.
Json stateJson(const Value &v) {
    Json state = Json::object();
    state["code"] = v.raw;
    state["name"] = v.name ? Json(*v.name) : Json();
    state["answered"] = cfp2module::stateAnswered(v.raw);
    return state;
}

// Why a module's monitors are not shown when it does not answer its state
// register: what it reads there is no reading.
const char kStateSilentReason[] =
    "module does not answer its state register (in Reset or Initialize?)";

// The module state as a word for a status column: "Ready", "0x0003" for a
// state that is not listed, "no answer".
std::string stateWord(const Value &v) {
    if (v.name) return *v.name;
    return cfp2module::stateAnswered(v.raw) ? hex(v.raw, 4) : "no answer";
}

// The longest of the state words: a listed name, "0xFFFF" or "no answer".
std::size_t widestStateWord() {
    std::size_t widest = std::string("no answer").size();
    for (const cfp2module::Code &code : *cfp2module::stateField().codes) widest = std::max(widest, std::strlen(code.name));
    return widest;
}

Json valueJson(const Value &v) {
    using cfp2module::Encoding;
    switch (v.field->encoding) {
        case Encoding::Code: {
            Json code = Json::object();
            code["code"] = v.raw;
            code["name"] = v.name ? Json(*v.name) : Json();
            return code;
        }
        case Encoding::Text:
            return v.text;
        case Encoding::Revision:
            return v.known ? Json(v.number) : Json();
        case Encoding::MilliWatts: {
            Json power = Json::object();
            power["mW"] = v.number;
            power["dBm"] = v.dbm ? Json(*v.dbm) : Json();
            return power;
        }
        case Encoding::Number:
            return v.known ? Json(v.raw) : Json();
        case Encoding::BitRate:
            return v.known ? Json(v.number) : Json();
        case Encoding::LaneCounts: {
            if (!v.known) return Json();
            Json counts = Json::object();
            counts["network"] = v.parts[0];
            counts["host"] = v.parts[1];
            return counts;
        }
        case Encoding::Oui:
        case Encoding::Version:
            return v.known ? Json(v.display()) : Json();
        case Encoding::State:
            return stateJson(v);
        case Encoding::Raw:
            return v.raw;
        default:
            return v.number;
    }
}

// The lane count the application code implies and, where the module's own
// network lane count differs, that one too.
std::string laneCountText(const std::optional<unsigned> &lanes, const Value &counts) {
    std::string text = lanes ? std::to_string(*lanes) : std::string("unknown (application code not listed)");
    if (!counts.known || (lanes && *lanes == counts.parts[0])) return text;
    return (lanes ? text + " by the application code" : text) + ", " + std::to_string(counts.parts[0]) +
           " by the module's lane counts";
}

void runModuleInfo(Context &c) {
    const std::uint8_t port = mdioPort(c);
    const Words words = readRegisters(c, port, cfp2module::registersOf(cfp2module::identityFields()), "module info");
    requireModule(words, port);
    const std::optional<unsigned> lanes = cfp2module::lanesOf(words.at(cfp2module::kApplicationRegister));
    const Value counts = cfp2module::decode(*cfp2module::fieldByKey("laneCounts"), words);
    c.json()["port"] = port;
    for (const Value &v : cfp2module::decodeAll(cfp2module::identityFields(), words)) {
        c.line(labelled(v.field->label, v.display()));
        c.json()[v.field->key] = valueJson(v);
        if (std::string(v.field->key) == "applicationCode") {
            c.line(labelled("Lanes", laneCountText(lanes, counts)));
            c.json()["laneCount"] = lanes ? Json(*lanes) : Json();
        }
    }
}

// The module state, read on its own: a module that does not answer it reads
// 0x0000 or 0xFFFF, which the value says (see cfp2module::stateAnswered).
Value readState(Context &c, std::uint8_t port) {
    return cfp2module::decode(cfp2module::stateField(), readRegisters(c, port, {cfp2module::kStateRegister}));
}

// "Lanes : not shown: application code 0x42 is unknown; ..."
std::string unknownLanesText(const Words &id) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(id.at(cfp2module::kApplicationRegister)));
    return labelled("Lanes", std::string("not shown: application code ") + code +
                                 " is unknown; name the lane count with --lanes N");
}

std::string lowerFirst(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// What module status and module monitor begin with: the port, a module
// that is there, its lane count (--lanes, else the application code's) and
// its state, whose line comes first.
struct ModuleStart {
    std::uint8_t port;
    std::optional<unsigned> lanes;
    Words id;
    Value state;
};

ModuleStart startModuleCommand(Context &c) {
    const std::uint8_t port = mdioPort(c);
    std::optional<unsigned> lanes = c.optionNumber(kLanesOption.name, 1, cfp2module::kMaxLanes);
    Words id = readRegisters(c, port, {cfp2module::kIdentifierRegister, cfp2module::kApplicationRegister});
    requireModule(id, port);
    if (!lanes) lanes = cfp2module::lanesOf(id.at(cfp2module::kApplicationRegister));
    Value state = readState(c, port);
    c.line(labelled(state.field->label, state.display()));
    return {port, lanes, std::move(id), std::move(state)};
}

void runModuleStatus(Context &c) {
    const auto &[port, lanes, id, state] = startModuleCommand(c);
    c.json()["port"] = port;
    c.json()["state"] = stateJson(state);
    c.json()["laneCount"] = lanes ? Json(*lanes) : Json();
    if (!cfp2module::stateAnswered(state.raw)) {
        // Reset and Initialize may leave the module silent: that is its state
        // to report, not a failure, and its alarm registers would say no more.
        c.line(labelled("Alarm and status registers",
                        "not read: the module does not answer its state register (in Reset or Initialize, or "
                        "without power?)"));
        c.json()["registers"] = Json();
        return;
    }
    std::vector<std::uint16_t> regs = cfp2module::registersOf(cfp2module::moduleStatusFields());
    const std::vector<std::uint16_t> laneRegs = cfp2module::registersOf(cfp2module::laneStatusFields(), lanes.value_or(0));
    regs.insert(regs.end(), laneRegs.begin(), laneRegs.end());
    const Words words = readRegisters(c, port, regs);

    std::vector<Value> values = cfp2module::decodeAll(cfp2module::moduleStatusFields(), words);
    for (const cfp2module::Field &field : cfp2module::laneStatusFields()) {
        for (unsigned lane = 0; lane < lanes.value_or(0); ++lane) values.push_back(cfp2module::decode(field, words, lane));
    }
    // One row a register, in register order: "0xA01E  module fault status  0x0040 (non-zero)".
    char header[96];
    std::snprintf(header, sizeof header, "%-10s%-32s%s", "Register", "Name", "Word (bits not decoded)");
    c.line(header);
    Json registers = Json::array();
    std::vector<std::string> nonZero;
    for (const Value &v : values) {
        const std::uint16_t reg = static_cast<std::uint16_t>(v.field->reg + v.lane);
        const std::vector<cfp2module::Field> &laneFields = cfp2module::laneStatusFields();
        const bool perLane = v.field >= &laneFields.front() && v.field <= &laneFields.back();
        const std::string name =
            perLane ? "lane " + std::to_string(v.lane) + " " + lowerFirst(v.field->label) : lowerFirst(v.field->label);
        char row[128];
        std::snprintf(row, sizeof row, "%-10s%-32s%s", hex(reg, 4).c_str(), name.c_str(), v.display().c_str());
        c.line(row);
        if (v.raw != 0) nonZero.push_back(name);
        Json entry = Json::object();
        entry["register"] = reg;
        entry["key"] = v.field->key;
        entry["lane"] = perLane ? Json(v.lane) : Json();
        entry["name"] = name;
        entry["word"] = v.raw;
        entry["nonZero"] = v.raw != 0;
        registers.push_back(entry);
    }
    if (!lanes) c.line(unknownLanesText(id));
    std::string summary = "all " + std::to_string(values.size()) + " registers read 0";
    if (!nonZero.empty()) {
        summary = std::to_string(nonZero.size()) + " of " + std::to_string(values.size()) + " registers non-zero:";
        for (std::size_t i = 0; i < nonZero.size(); ++i) summary += (i == 0 ? " " : ", ") + nonZero[i];
    }
    c.line(summary);
    c.json()["registers"] = registers;
    c.json()["nonZero"] = nonZero.size();
}

void runModuleMonitor(Context &c) {
    const auto &[port, lanes, id, state] = startModuleCommand(c);
    std::vector<std::uint16_t> regs = cfp2module::registersOf(cfp2module::moduleMonitorFields());
    const std::vector<std::uint16_t> laneRegs = cfp2module::registersOf(cfp2module::laneMonitorFields(), lanes.value_or(0));
    regs.insert(regs.end(), laneRegs.begin(), laneRegs.end());
    const cfp2module::Monitors m = cfp2module::decodeMonitors(readRegisters(c, port, regs), lanes.value_or(0));

    c.json()["port"] = port;
    c.json()["laneCount"] = lanes ? Json(*lanes) : Json();
    c.json()["state"] = stateJson(state);
    if (!cfp2module::powered(m)) {
        // Zeros of a module without power are no readings: say what is wrong
        // instead of showing 0.00 C and 0.0000 V.
        c.line(labelled("Module power", "off (supply voltage reads 0 V)"));
        for (const Value &v : m.module) {
            if (std::string(v.field->key) != "supplyVoltage") c.line(labelled(v.field->label, "not available"));
        }
        c.json()["powered"] = false;
        c.json()["lanes"] = Json::array();
        c.failAfterOutput("not powered: the module on MDIO port " + std::to_string(port) +
                          " reads a supply voltage of 0 V; its readings are not available");
        return;
    }
    if (!cfp2module::stateAnswered(state.raw)) {
        // Powered but silent (Reset, Initialize): its monitor registers read
        // 0xFFFF, which are no readings either.
        c.line(labelled("Module monitors", "not available: the module does not answer its state register (in "
                                           "Reset or Initialize?)"));
        c.json()["powered"] = Json();  // its supply voltage reads no value either
        c.json()["lanes"] = Json::array();
        c.failAfterOutput("the module on MDIO port " + std::to_string(port) +
                          " does not answer its state register (in Reset or Initialize?); its readings are not "
                          "available");
        return;
    }
    c.json()["powered"] = true;
    for (const Value &v : m.module) {
        c.line(labelled(v.field->label, v.display()));
        c.json()[v.field->key] = valueJson(v);
    }
    if (!lanes) {
        c.line(unknownLanesText(id));
    } else {
        char header[96];
        std::snprintf(header, sizeof header, "%-4s  %-10s  %-22s  %s", "Lane", "Laser bias", "Tx power", "Rx power");
        c.line(header);
    }
    Json laneArray = Json::array();
    for (const std::vector<Value> &lane : m.lanes) {
        char row[128];
        std::snprintf(row, sizeof row, "%4u  %-10s  %-22s  %s", lane[0].lane, lane[0].display().c_str(),
                      lane[1].display().c_str(), lane[2].display().c_str());
        c.line(row);
        Json entry = Json::object();
        entry["lane"] = lane[0].lane;
        for (const Value &v : lane) entry[v.field->key] = valueJson(v);
        laneArray.push_back(entry);
    }
    c.json()["lanes"] = laneArray;
}

void runModuleDump(Context &c) {
    const std::uint8_t port = mdioPort(c);
    if (c.argCount() == 1) throw UsageError("give both FIRST and LAST, or neither (the basic ID table)");
    const std::uint32_t first = c.argCount() == 2 ? c.number(0, "FIRST", 0, 0xFFFF) : kIdTableFirst;
    const std::uint32_t last = c.argCount() == 2 ? c.number(1, "LAST", first, 0xFFFF) : kIdTableLast;
    std::vector<std::uint16_t> regs;
    for (std::uint32_t reg = first; reg <= last; ++reg) regs.push_back(static_cast<std::uint16_t>(reg));
    const Words words = readRegisters(c, port, regs, "module dump");

    // Rows of eight words: "0x8020  0000 0056 0049 ...  .VI...", the text
    // column showing each register that holds a printable character.
    Json values = Json::array();
    for (std::size_t row = 0; row < regs.size(); row += 8) {
        std::string hexPart, textPart;
        for (std::size_t i = row; i < row + 8 && i < regs.size(); ++i) {
            const std::uint16_t word = words.at(regs[i]);
            char cell[8];
            std::snprintf(cell, sizeof cell, " %04X", static_cast<unsigned>(word));
            hexPart += cell;
            textPart += word >= 0x20 && word < 0x7F ? static_cast<char>(word) : '.';
            values.push_back(word);
        }
        hexPart.resize(8 * 5, ' ');
        c.line(hex(regs[row], 4) + " " + hexPart + "  " + textPart);
    }
    c.json()["port"] = port;
    c.json()["first"] = first;
    c.json()["last"] = last;
    c.json()["words"] = values;
}

// ---- status --module and watch --module ---------------------------------------

// The module's monitors as readings: one per column of the decoder (lanes as
// the application code gives them). No module is not a failure of the board:
// its readings are then not available.
// --mdio-port only says where the module's readings come from: alone it
// would be ignored, whatever it says.
void checkModuleOptions(const Invocation &inv) {
    if (!inv.flag(kModuleOption.name) && inv.value(kMdioPortOption.name))
        throw UsageError(std::string(kMdioPortOption.name) + " chooses the port of the module's readings: add " +
                         kModuleOption.name);
    if (inv.value(kMdioPortOption.name)) parseNumber(*inv.value(kMdioPortOption.name), kMdioPortOption.name, 0, 0xFF);
}

void readModule(Sample &s) {
    const Invocation &inv = s.invocation();
    if (!inv.flag(kModuleOption.name)) return;
    const auto port = static_cast<std::uint8_t>(
        inv.value(kMdioPortOption.name) ? parseNumber(*inv.value(kMdioPortOption.name), kMdioPortOption.name, 0, 0xFF) : 1);
    CFP2INSTANCE *board = s.board().get();
    Words words;
    auto read = [&](const std::vector<std::uint16_t> &regs) -> std::optional<std::string> {
        for (std::uint16_t reg : regs) {
            std::uint16_t value = 0;
            const std::int32_t result = veskcfp2_getMDIO(board, port, reg, &value);
            if (result != VESKCFP2_CMD_OK)
                return Sample::failure(result) + " to the MDIO read of register " + cfp2module::describeRegister(reg);
            words[reg] = value;
        }
        return std::nullopt;
    };
    std::optional<std::string> failed = read({cfp2module::kIdentifierRegister, cfp2module::kApplicationRegister});
    if (failed) return s.add(Reading::failed("module", "module", "", *failed));
    const cfp2module::PresenceCheck check = cfp2module::checkPresence(words);
    if (check.presence != cfp2module::Presence::Module)
        return s.add(Reading::unavailable("module", "module", "", cfp2module::absenceMessage(check, port)));
    // The state first: a word ("Ready", "0x0003", "no answer"), for people
    // and logs alike; a module that does not answer it is in that state, not
    // a failed reading.
    const ReadingColumn stateColumn = readingColumn("module_state");
    bool stateSilent = false;
    failed = read({cfp2module::kStateRegister});
    if (failed) {
        Reading r = Reading::failed(stateColumn.key, stateColumn.label, "", *failed);
        r.widestText = widestStateWord();  // a later sample may have a state
        s.add(r);
    } else {
        const Value state = cfp2module::decode(cfp2module::stateField(), words);
        stateSilent = !cfp2module::stateAnswered(state.raw);
        Reading r = Reading::integer(stateColumn.key, stateColumn.label, "", 0, stateWord(state));
        r.value = r.text;
        r.widestText = widestStateWord();
        s.add(r);
    }
    const unsigned lanes = cfp2module::lanesOf(words.at(cfp2module::kApplicationRegister)).value_or(0);
    std::vector<std::uint16_t> regs = cfp2module::registersOf(cfp2module::moduleMonitorFields());
    const std::vector<std::uint16_t> laneRegs = cfp2module::registersOf(cfp2module::laneMonitorFields(), lanes);
    regs.insert(regs.end(), laneRegs.begin(), laneRegs.end());
    failed = read(regs);
    const bool unpowered = !failed && !cfp2module::powered(cfp2module::decodeMonitors(words, lanes));
    // Zero readings of every register keep the columns whole when a read failed.
    for (std::uint16_t reg : regs) words.emplace(reg, 0);
    for (const cfp2module::Column &column : cfp2module::monitorColumns(cfp2module::decodeMonitors(words, lanes))) {
        // The key carries the unit ("module_lane0_txPower_dBm"), so the CSV
        // header and the JSON member name it; the text shows it too.
        const std::string key = "module_" + column.name;
        if (failed) {
            s.add(Reading::failed(key, column.label, "", *failed));
        } else if (unpowered) {
            // A module without power reads 0 everywhere: no readings.
            Reading r = Reading::unavailable(key, column.label, "", "module not powered: supply voltage reads 0 V");
            r.keepsColumn = true;
            s.add(r);
        } else if (stateSilent) {
            // Held in Reset or Initialize, the module reads 0xFFFF beyond its
            // ID table: 6.5535 V and 131 mA would be no readings.
            Reading r = Reading::unavailable(key, column.label, "", kStateSilentReason);
            r.keepsColumn = true;
            s.add(r);
        } else if (!column.value) {
            Reading r = Reading::number(key, column.label, "", 0);
            r.value = Json();  // a dBm of no light: null, an empty cell
            r.text = column.text;
            s.add(r);
        } else {
            // The unit is in the key (a CSV column of its own); the cell
            // takes the unit's decimals, as the text does.
            Reading r = Reading::number(key, column.label, "", *column.value);
            r.decimals = decimalsOf(column.unit);
            r.text = column.text;
            s.add(r);
        }
    }
}

CommandRegistration registration({
    {"module info", "", 0, 0, "the CFP2 module's identity: type, vendor, part and serial number", kModuleInfoDetails,
     true, runModuleInfo, {kMdioPortOption}},
    {"module monitor", "", 0, 0, "the module's temperature, supply voltage and per-lane bias and optical power",
     kModuleMonitorDetails, true, runModuleMonitor, {kMdioPortOption, kLanesOption}},
    {"module status", "", 0, 0, "the module's state and its alarm and status registers, raw", kModuleStatusDetails,
     true, runModuleStatus, {kMdioPortOption, kLanesOption}},
    {"module dump", "[FIRST LAST]", 0, 2, "the raw words of module registers FIRST to LAST", kModuleDumpDetails, true,
     runModuleDump, {kMdioPortOption}},
});
ReadingSourceRegistration source({"module", {kModuleOption, kMdioPortOption}, readModule, checkModuleOptions});

}  // namespace
}  // namespace brevantctl
