// module_commands.cpp - the module view: brevantctl module info / monitor /
// dump read the CFP2 module's registers over MDIO, one round trip per
// register and only the registers a command shows, and print them decoded
// (cfp2module) or raw; status --module and watch --module add the module's
// monitors to the board's readings.
#include <cstdio>

#include "cfp2module.h"
#include "context.h"
#include "monitoring.h"
#include "terminal.h"

namespace brevantctl {

namespace {

const char kModuleInfoDetails[] =
    "Reads the module's basic ID table (53 registers, one round trip each; a progress bar shows on a terminal) and decodes identifier, connector, application and lane count, vendor name, part and serial number, hardware and management interface revisions. Fails (exit 1) when no module answers: every register reads 0x0000 or 0xFFFF, or the identifier is not a CFP code.";
const char kModuleMonitorDetails[] =
    "Reads the module temperature, supply voltage and, per lane, laser bias, Tx and Rx power (mW and dBm; 0 mW is no light). The lane count follows the application code; --lanes sets it.";
const char kModuleDumpDetails[] =
    "Prints the raw words of registers FIRST to LAST (default 0x8000 0x807F, the basic ID table), eight to a row with the printable characters beside them.";

const Option kMdioPortOption = {"--mdio-port", 0, "N",
                                "the MDIO port the board routes to the module (0-255, default 1)"};
const Option kLanesOption = {"--lanes", 0, "N", "the lane count (1-16), for a module whose application code is unknown"};
const Option kModuleOption = {"--module", 0, nullptr,
                              "adds the module's monitors: temperature, supply voltage, per-lane bias, Tx and Rx power"};

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
        default:
            return v.number;
    }
}

std::string laneCountText(const std::optional<unsigned> &lanes) {
    return lanes ? std::to_string(*lanes) : std::string("unknown (application code not listed)");
}

void runModuleInfo(Context &c) {
    const std::uint8_t port = mdioPort(c);
    const Words words = readRegisters(c, port, cfp2module::registersOf(cfp2module::identityFields()), "module info");
    requireModule(words, port);
    const std::optional<unsigned> lanes = cfp2module::lanesOf(words.at(cfp2module::kApplicationRegister));
    c.json()["port"] = port;
    for (const Value &v : cfp2module::decodeAll(cfp2module::identityFields(), words)) {
        c.line(labelled(v.field->label, v.display()));
        c.json()[v.field->key] = valueJson(v);
        if (std::string(v.field->key) == "applicationCode") {
            c.line(labelled("Lanes", laneCountText(lanes)));
            c.json()["laneCount"] = lanes ? Json(*lanes) : Json();
        }
    }
}

void runModuleMonitor(Context &c) {
    const std::uint8_t port = mdioPort(c);
    std::optional<unsigned> lanes = c.optionNumber(kLanesOption.name, 1, cfp2module::kMaxLanes);

    const Words id = readRegisters(c, port, {cfp2module::kIdentifierRegister, cfp2module::kApplicationRegister});
    requireModule(id, port);
    if (!lanes) lanes = cfp2module::lanesOf(id.at(cfp2module::kApplicationRegister));
    std::vector<std::uint16_t> regs = cfp2module::registersOf(cfp2module::moduleMonitorFields());
    const std::vector<std::uint16_t> laneRegs = cfp2module::registersOf(cfp2module::laneMonitorFields(), lanes.value_or(0));
    regs.insert(regs.end(), laneRegs.begin(), laneRegs.end());
    const cfp2module::Monitors m = cfp2module::decodeMonitors(readRegisters(c, port, regs), lanes.value_or(0));

    c.json()["port"] = port;
    c.json()["laneCount"] = lanes ? Json(*lanes) : Json();
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
    c.json()["powered"] = true;
    for (const Value &v : m.module) {
        c.line(labelled(v.field->label, v.display()));
        c.json()[v.field->key] = valueJson(v);
    }
    if (!lanes) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(id.at(cfp2module::kApplicationRegister)));
        c.line(labelled("Lanes", std::string("not shown: application code ") + code +
                                     " is unknown; name the lane count with --lanes N"));
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
    {"module dump", "[FIRST LAST]", 0, 2, "the raw words of module registers FIRST to LAST", kModuleDumpDetails, true,
     runModuleDump, {kMdioPortOption}},
});
ReadingSourceRegistration source({"module", {kModuleOption, kMdioPortOption}, readModule, checkModuleOptions});

}  // namespace
}  // namespace brevantctl
