// module_commands.cpp - brevantctl module info / monitor / dump: the CFP2
// module's registers read over MDIO, one round trip per register, reading
// only the registers a command shows.
#include "module_commands.h"

#include <cstdio>

#include "cfp2module.h"
#include "context.h"
#include "terminal.h"

namespace brevantctl {

const char kModuleInfoDetails[] =
    "Reads the module's basic ID table (53 registers, one round trip each; a progress bar shows on a\n"
    "terminal) and decodes identifier, connector, application and lane count, vendor name, part and\n"
    "serial number, hardware and management interface revisions. Fails (exit 1) when no module answers:\n"
    "every register reads 0x0000 or 0xFFFF, or the identifier is not a CFP code.\n"
    "Options: --mdio-port N (0-255, default 1) is the MDIO port the board routes to the module.";
const char kModuleMonitorDetails[] =
    "Reads the module temperature, supply voltage and, per lane, laser bias, Tx and Rx power (mW and\n"
    "dBm; 0 mW is no light). The lane count follows the application code.\n"
    "Options: --mdio-port N (0-255, default 1); --lanes N (1-16) sets the lane count, for a module\n"
    "whose application code is unknown.";
const char kModuleDumpDetails[] =
    "Prints the raw words of registers FIRST to LAST (default 0x8000 0x807F, the basic ID table), eight\n"
    "to a row with the printable characters beside them.\n"
    "Options: --mdio-port N (0-255, default 1).";

namespace {

using cfp2module::Value;
using cfp2module::Words;

constexpr std::uint16_t kIdTableFirst = 0x8000, kIdTableLast = 0x807F;

std::uint8_t mdioPort(const Context &c) {
    const std::optional<std::string> &option = c.invocation().mdioPort;
    return static_cast<std::uint8_t>(option ? parseNumber(*option, "--mdio-port", 0, 0xFF) : 1);
}

void refuseLanes(const Context &c) {
    if (c.invocation().lanes) throw UsageError("--lanes belongs to module monitor only");
}

// One MDIO read per register; the first that fails ends the command, naming
// its register. With a label, a progress bar shows on a terminal.
Words readRegisters(Context &c, std::uint8_t port, const std::vector<std::uint16_t> &regs, const char *label = "") {
    Progress progress(label, *label != '\0' ? static_cast<std::uint32_t>(regs.size()) : 0);
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
            code.set("code", v.raw).set("name", v.name ? Json(*v.name) : Json());
            return code;
        }
        case Encoding::Text:
            return v.text;
        case Encoding::Revision:
            return v.known ? Json(v.number) : Json();
        case Encoding::MilliWatts: {
            Json power = Json::object();
            power.set("mW", v.number).set("dBm", v.dbm ? Json(*v.dbm) : Json());
            return power;
        }
        default:
            return v.number;
    }
}

std::string laneCountText(const std::optional<unsigned> &lanes) {
    return lanes ? std::to_string(*lanes) : std::string("unknown (application code not listed)");
}

}  // namespace

void runModuleInfo(Context &c) {
    refuseLanes(c);
    const std::uint8_t port = mdioPort(c);
    const Words words = readRegisters(c, port, cfp2module::registersOf(cfp2module::identityFields()), "module info");
    requireModule(words, port);
    const std::optional<unsigned> lanes = cfp2module::lanesOf(words.at(cfp2module::kApplicationRegister));
    c.json().set("port", port);
    for (const Value &v : cfp2module::decodeAll(cfp2module::identityFields(), words)) {
        c.line(labelled(v.field->label, v.display()));
        c.json().set(v.field->key, valueJson(v));
        if (std::string(v.field->key) == "applicationCode") {
            c.line(labelled("Lanes", laneCountText(lanes)));
            c.json().set("laneCount", lanes ? Json(*lanes) : Json());
        }
    }
}

void runModuleMonitor(Context &c) {
    const std::uint8_t port = mdioPort(c);
    const std::optional<std::string> &lanesOption = c.invocation().lanes;
    std::optional<unsigned> lanes;
    if (lanesOption) lanes = parseNumber(*lanesOption, "--lanes", 1, cfp2module::kMaxLanes);

    const Words id = readRegisters(c, port, {cfp2module::kIdentifierRegister, cfp2module::kApplicationRegister});
    requireModule(id, port);
    if (!lanes) lanes = cfp2module::lanesOf(id.at(cfp2module::kApplicationRegister));
    std::vector<std::uint16_t> regs = cfp2module::registersOf(cfp2module::moduleMonitorFields());
    const std::vector<std::uint16_t> laneRegs = cfp2module::registersOf(cfp2module::laneMonitorFields(), lanes.value_or(0));
    regs.insert(regs.end(), laneRegs.begin(), laneRegs.end());
    const cfp2module::Monitors m = cfp2module::decodeMonitors(readRegisters(c, port, regs), lanes.value_or(0));

    c.json().set("port", port).set("laneCount", lanes ? Json(*lanes) : Json());
    for (const Value &v : m.module) {
        c.line(labelled(v.field->label, v.display()));
        c.json().set(v.field->key, valueJson(v));
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
        entry.set("lane", lane[0].lane);
        for (const Value &v : lane) entry.set(v.field->key, valueJson(v));
        laneArray.push(entry);
    }
    c.json().set("lanes", laneArray);
}

void runModuleDump(Context &c) {
    refuseLanes(c);
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
            values.push(word);
        }
        hexPart.resize(8 * 5, ' ');
        c.line(hex(regs[row], 4) + " " + hexPart + "  " + textPart);
    }
    c.json().set("port", port).set("first", first).set("last", last).set("words", values);
}

}  // namespace brevantctl
