// commands.cpp - the commands of brevantctl, one handler per command, and the
// table that names them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "context.h"
#include "module_commands.h"
#include "terminal.h"

namespace brevantctl {

namespace {

constexpr std::uint32_t kEepromSize = 0x20000;
constexpr std::uint32_t kEepromLast = kEepromSize - 1;

Json boardJson(const BoardId &id) {
    Json board = Json::object();
    board.set("type", id.type).set("index", id.index);
    return board;
}

// Rows of 16 bytes: "0x00010  41 42 ...  AB.."
void hexDump(Context &c, std::uint32_t address, const std::vector<std::uint8_t> &bytes) {
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        std::string hexPart, textPart;
        for (std::size_t i = row; i < row + 16 && i < bytes.size(); ++i) {
            char cell[4];
            std::snprintf(cell, sizeof cell, " %02X", static_cast<unsigned>(bytes[i]));
            hexPart += cell;
            textPart += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
        }
        hexPart.resize(16 * 3, ' ');
        c.line(hex(static_cast<std::uint32_t>(address + row), 5) + " " + hexPart + "  " + textPart);
    }
}

Json byteArray(const std::vector<std::uint8_t> &bytes) {
    Json array = Json::array();
    for (std::uint8_t b : bytes) array.push(b);
    return array;
}

std::string printable(const std::uint8_t *bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    return text;
}

// The shortest decimal text of a reading (they are multiples of 1/256).
std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// ---- Boards and the microcontroller --------------------------------------

void runList(Context &c) {
    const std::optional<std::string> &filter = c.invocation().type;
    std::optional<int> type;
    if (filter && *filter != "any") {
        if (*filter != "0" && *filter != "1") throw UsageError("--type must be 0, 1 or any, got '" + *filter + "'");
        type = *filter == "1" ? 1 : 0;
    }
    Json boards = Json::array();
    const std::vector<BoardId> found = findBoards(type);
    if (found.empty()) c.line("no boards found");
    else c.line("INDEX  TYPE  PRODUCT  SERIAL");
    for (const BoardId &id : found) {
        const std::optional<std::string> serial = readSerial(id);
        char row[64];
        std::snprintf(row, sizeof row, "%5u  %4d  %s   ", static_cast<unsigned>(id.index), id.type,
                      id.type == 1 ? "0x8348" : "0x8248");
        c.line(row + (serial ? *serial : std::string("(unreadable)")));
        Json board = boardJson(id);
        board.set("serial", serial ? Json(*serial) : Json());
        boards.push(board);
    }
    c.json().set("boards", boards);
}

void runPing(Context &c) {
    std::uint8_t reply[20] = {};
    c.expectReply(veskcfp2_ping(c.instance(), reply), "the ping");
    std::string bytes;
    for (std::uint8_t b : reply) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%s%02X", bytes.empty() ? "" : " ", static_cast<unsigned>(b));
        bytes += cell;
    }
    c.line(bytes);
    c.line("\"" + printable(reply, sizeof reply) + "\"");
    c.json().set("reply", byteArray(std::vector<std::uint8_t>(reply, reply + sizeof reply)));
    c.json().set("text", printable(reply, sizeof reply));
}

void runReset(Context &c) {
    const bool boot = c.invocation().boot;
    c.expectSent(boot ? veskcfp2_resetMCUBoot(c.instance()) : veskcfp2_resetMCU(c.instance()), "the reset");
    c.line(boot ? "reset into the boot loader" : "reset");
    c.json().set("reset", boot ? "boot" : "normal");
}

// ---- Ports and registers ---------------------------------------------------

void runPortGet(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    std::uint8_t value = 0;
    c.expectReply(veskcfp2_getPort(c.instance(), port, &value), "the port query");
    c.line(hex(value, 2));
    c.json().set("port", port).set("value", value);
}

void runPortSet(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint8_t value = static_cast<std::uint8_t>(c.number(1, "VALUE", 0, 0xFF));
    c.expectSent(veskcfp2_setPort(c.instance(), port, value), "the port setting");
    c.line("port " + std::to_string(port) + " set to " + hex(value, 2));
    c.json().set("port", port).set("value", value);
}

void runVendorIO(Context &c) {
    const std::uint8_t value = static_cast<std::uint8_t>(c.number(0, "VALUE", 0, 0xFF));
    c.expectSent(veskcfp2_setVendorIO(c.instance(), value), "the vendor I/O setting");
    c.line("vendor I/O set to " + hex(value, 2));
    c.json().set("vendorIO", value);
}

void runFtdi(Context &c) {
    const std::string &state = c.arg(0);
    if (state != "on" && state != "off") throw UsageError("STATE must be on or off, got '" + state + "'");
    c.requireType1("the FTDI supply switch");
    c.expectSent(veskcfp2_p3v3_FTDIEnable(c.instance(), state == "on" ? 1 : 0), "the FTDI supply switch");
    c.line("FTDI 3.3 V supply " + state);
    c.json().set("ftdi", state == "on");
}

void runPower(Context &c) {
    const std::uint8_t value = static_cast<std::uint8_t>(c.number(0, "VALUE", 0, 0xFF));
    c.requireType1("the module power setting");
    c.expectSent(veskcfp2_setPower(c.instance(), value), "the power setting");
    c.line("power set to " + hex(value, 2));
    c.json().set("power", value);
}

// ---- Current sense and monitors ------------------------------------------

void runSenseEnable(Context &c) {
    const std::uint16_t value = static_cast<std::uint16_t>(c.number(0, "VALUE", 0, 0xFFFF));
    const std::uint16_t selector = static_cast<std::uint16_t>(c.number(1, "SELECTOR", 0, 0xFFFF));
    c.expectSent(veskcfp2_enableCurrentSense(c.instance(), value, selector), "the current-sense setting");
    c.line("current sense " + hex(selector, 4) + " enabled with " + hex(value, 4));
    c.json().set("selector", selector).set("value", value);
}

void runSenseGet(Context &c) {
    const std::uint16_t selector = static_cast<std::uint16_t>(c.number(0, "SELECTOR", 0, 0xFFFF));
    std::uint8_t value = 0;
    c.expectReply(veskcfp2_getCurrentSense(c.instance(), selector, &value), "the current-sense query");
    c.line(hex(value, 2));
    c.json().set("selector", selector).set("value", value);
}

void runMonitor(Context &c) {
    std::uint16_t value = 0;
    c.expectReply(veskcfp2_currentMonitor(c.instance(), &value), "the current-monitor query");
    c.line(hex(value, 4) + " (" + std::to_string(value) + ")");
    c.json().set("currentMonitor", value);
}

void runVcc(Context &c) {
    c.requireType1("the supply-voltage monitor");
    double volts = 0;
    c.expectReply(veskcfp2_getVCC(c.instance(), &volts), "the supply-voltage query");
    c.line(decimal(volts) + " V");
    c.json().set("volts", volts);
}

void runTemp(Context &c) {
    const std::uint8_t sensor = static_cast<std::uint8_t>(c.number(0, "SENSOR", 0, 0xFF));
    c.requireType1("the temperature monitor");
    double celsius = 0;
    c.expectReply(veskcfp2_getTemperature(c.instance(), sensor, &celsius), "the temperature query");
    c.line(decimal(celsius) + " C");
    c.json().set("sensor", sensor).set("celsius", celsius);
}

// ---- MDIO ---------------------------------------------------------------------

void runMdioRead(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint16_t reg = static_cast<std::uint16_t>(c.number(1, "REG", 0, 0xFFFF));
    std::uint16_t value = 0;
    c.expectReply(veskcfp2_getMDIO(c.instance(), port, reg, &value), "the MDIO read");
    c.line(hex(value, 4));
    c.json().set("port", port).set("register", reg).set("value", value);
}

void runMdioWrite(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint16_t reg = static_cast<std::uint16_t>(c.number(1, "REG", 0, 0xFFFF));
    const std::uint16_t data = static_cast<std::uint16_t>(c.number(2, "DATA", 0, 0xFFFF));
    c.expectSent(veskcfp2_setMDIO(c.instance(), port, reg, data), "the MDIO write");
    c.line("MDIO port " + std::to_string(port) + " register " + hex(reg, 4) + " set to " + hex(data, 4));
    c.json().set("port", port).set("register", reg).set("value", data);
}

void runMdioDump(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint32_t first = c.number(1, "FIRST", 0, 0xFFFF);
    const std::uint32_t count = c.number(2, "COUNT", 1, 0x10000 - first);
    Json registers = Json::array();
    for (std::uint32_t reg = first; reg < first + count; ++reg) {
        std::uint16_t value = 0;
        c.expectReply(veskcfp2_getMDIO(c.instance(), port, static_cast<std::uint16_t>(reg), &value),
                      "the MDIO read of register " + hex(reg, 4));
        c.line(hex(reg, 4) + "  " + hex(value, 4));
        Json entry = Json::object();
        entry.set("register", reg).set("value", value);
        registers.push(entry);
    }
    c.json().set("port", port).set("registers", registers);
}

// ---- EEPROM and serial number --------------------------------------------

std::vector<std::uint8_t> readEeprom(Context &c, std::uint32_t address, std::uint32_t count, const char *label) {
    std::vector<std::uint8_t> bytes(count);
    Progress progress(label, count >= 4096 ? count : 0);  // a bar only for long transfers
    for (std::uint32_t i = 0; i < count; ++i) {
        c.expectReply(veskcfp2_eepromRead(c.instance(), static_cast<std::int32_t>(address + i), &bytes[i]),
                      "the EEPROM read at " + hex(address + i, 5));
        progress.update(i + 1);
    }
    return bytes;
}

void writeEeprom(Context &c, std::uint32_t address, const std::vector<std::uint8_t> &bytes, const char *label) {
    const std::uint32_t count = static_cast<std::uint32_t>(bytes.size());
    Progress progress(label, count >= 4096 ? count : 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        c.expectSent(veskcfp2_eepromWrite(c.instance(), static_cast<std::int32_t>(address + i), bytes[i]),
                     "the EEPROM write at " + hex(address + i, 5));
        progress.update(i + 1);
    }
}

void runEepromRead(Context &c) {
    const std::uint32_t address = c.number(0, "ADDR", 0, kEepromLast);
    const std::uint32_t count = c.argCount() > 1 ? c.number(1, "COUNT", 1, kEepromSize - address) : 1;
    const std::vector<std::uint8_t> bytes = readEeprom(c, address, count, "eeprom read");
    hexDump(c, address, bytes);
    c.json().set("address", address).set("bytes", byteArray(bytes));
}

void runEepromWrite(Context &c) {
    const std::uint32_t address = c.number(0, "ADDR", 0, kEepromLast);
    if (c.argCount() - 1 > kEepromSize - address)
        throw UsageError(std::to_string(c.argCount() - 1) + " bytes from " + hex(address, 5) +
                         " run past the end of the EEPROM (" + hex(kEepromLast, 5) + ")");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < c.argCount(); ++i) bytes.push_back(static_cast<std::uint8_t>(c.number(i, "BYTE", 0, 0xFF)));
    writeEeprom(c, address, bytes, "eeprom write");
    c.line("wrote " + std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte at " : " bytes from ") + hex(address, 5));
    c.json().set("address", address).set("bytes", byteArray(bytes));
}

void runEepromSave(Context &c) {
    const std::string &file = c.arg(0);
    const std::vector<std::uint8_t> image = readEeprom(c, 0, kEepromSize, "eeprom save");
    // The file is written only once the whole image came, so a failed
    // transfer never leaves a partial image behind.
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) throw BoardFailure("cannot write '" + file + "': " + std::strerror(errno));
    c.line("saved " + std::to_string(image.size()) + " bytes to " + file);
    c.json().set("file", file).set("bytes", image.size());
}

void runEepromLoad(Context &c) {
    const std::string &file = c.arg(0);
    std::ifstream in(file, std::ios::binary);
    if (!in) throw UsageError("FILE: cannot read '" + file + "': " + std::strerror(errno));
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (image.size() != kEepromSize)
        throw UsageError("FILE must be a whole EEPROM image of " + std::to_string(kEepromSize) + " bytes; '" + file +
                         "' has " + std::to_string(image.size()));
    writeEeprom(c, 0, image, "eeprom load");
    c.line("loaded " + std::to_string(image.size()) + " bytes from " + file);
    c.json().set("file", file).set("bytes", image.size());
}

void runSnGet(Context &c) {
    std::uint8_t serial[8] = {};
    if (veskcfp2_getSN(c.instance(), serial) != 1) throw BoardFailure("no reply: the serial number could not be read");
    std::string text(serial, serial + 8);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    c.line(text);
    c.json().set("serial", text);
}

void runSnSet(Context &c) {
    const std::string &text = c.arg(0);
    if (text.size() > 8) throw UsageError("TEXT must be at most 8 characters, got " + std::to_string(text.size()));
    if (veskcfp2_setSN(c.instance(), reinterpret_cast<const std::uint8_t *>(text.data()),
                       static_cast<std::int32_t>(text.size())) != 1)
        throw BoardFailure("failed: the serial number was not written (it may now be partly written)");
    c.line("serial number set to '" + text + "'");
    c.json().set("serial", text);
}

}  // namespace

const std::vector<Command> &commands() {
    static const std::vector<Command> table = {
        {"list", "[--type 0|1|any]", 0, 0, "the boards found: device index, type, serial number",
         "Options: --type 0|1|any (default any) lists the boards of one type.", false, runList},
        {"ping", "", 0, 0, "the board's 20-byte identity block, in hex and as text", "", true, runPing},
        {"reset", "[--boot]", 0, 0, "resets the board microcontroller (--boot: into its boot loader)",
         "Options: --boot resets into the boot loader.", true, runReset},
        {"port get", "PORT", 1, 1, "reads a board port", "PORT is 0-255.", true, runPortGet},
        {"port set", "PORT VALUE", 2, 2, "sets a board port", "PORT and VALUE are 0-255.", true, runPortSet},
        {"vendor-io", "VALUE", 1, 1, "sets the vendor I/O register", "VALUE is 0-255.", true, runVendorIO},
        {"ftdi", "on|off", 1, 1, "switches the FTDI chip's 3.3 V supply (type 1)",
         "Keeps the other bits of port 3. Type-1 boards only.", true, runFtdi},
        {"power", "VALUE", 1, 1, "sets the module power value (type 1)", "VALUE is 0-255. Type-1 boards only.", true,
         runPower},
        {"sense enable", "VALUE SELECTOR", 2, 2, "enables current sensing on a selector",
         "VALUE and SELECTOR are 0-65535.", true, runSenseEnable},
        {"sense get", "SELECTOR", 1, 1, "reads the current-sense value of a selector", "SELECTOR is 0-65535.", true,
         runSenseGet},
        {"monitor", "", 0, 0, "reads the 16-bit current monitor", "", true, runMonitor},
        {"mdio read", "PORT REG", 2, 2, "reads a module register over MDIO", "PORT is 0-255, REG 0-65535.", true,
         runMdioRead},
        {"mdio write", "PORT REG DATA", 3, 3, "writes a module register over MDIO",
         "PORT is 0-255, REG and DATA 0-65535.", true, runMdioWrite},
        {"mdio dump", "PORT FIRST COUNT", 3, 3, "reads COUNT module registers from FIRST",
         "PORT is 0-255, FIRST 0-65535, COUNT 1 up to the last register.", true, runMdioDump},
        {"vcc", "", 0, 0, "reads the supply voltage in volts (type 1)", "Type-1 boards only.", true, runVcc},
        {"temp", "SENSOR", 1, 1, "reads a temperature sensor in degrees Celsius (type 1)",
         "SENSOR is 0-255. Type-1 boards only.", true, runTemp},
        {"eeprom read", "ADDR [COUNT]", 1, 2, "reads COUNT EEPROM bytes (default 1) as a hex dump",
         "ADDR is 0-0x1FFFF; COUNT 1 up to the end of the EEPROM.", true, runEepromRead},
        {"eeprom write", "ADDR BYTE...", 2, kMany, "writes bytes to the EEPROM from ADDR",
         "ADDR is 0-0x1FFFF, each BYTE 0-255; the bytes must fit before the end of the EEPROM.", true,
         runEepromWrite},
        {"eeprom save", "FILE", 1, 1, "saves the whole EEPROM (131072 bytes) to FILE",
         "One round trip per byte; a progress bar shows on a terminal. FILE is written only when every byte "
         "came.",
         true, runEepromSave},
        {"eeprom load", "FILE", 1, 1, "writes a whole EEPROM image from FILE to the board",
         "FILE must hold exactly 131072 bytes. One round trip per byte; a progress bar shows on a terminal.", true,
         runEepromLoad},
        {"sn get", "", 0, 0, "reads the serial number (EEPROM bytes 0-7)", "", true, runSnGet},
        {"sn set", "TEXT", 1, 1, "writes the serial number, padded with spaces to 8 characters",
         "TEXT has at most 8 characters.", true, runSnSet},
        {"module info", "[--mdio-port N]", 0, 0, "the CFP2 module's identity: type, vendor, part and serial number",
         kModuleInfoDetails, true, runModuleInfo},
        {"module monitor", "[--mdio-port N] [--lanes N]", 0, 0,
         "the module's temperature, supply voltage and per-lane bias and optical power", kModuleMonitorDetails, true,
         runModuleMonitor},
        {"module dump", "[--mdio-port N] [FIRST LAST]", 0, 2, "the raw words of module registers FIRST to LAST",
         kModuleDumpDetails, true, runModuleDump},
    };
    return table;
}

// ---- Context ------------------------------------------------------------------

Context::Context(const Invocation &invocation, std::vector<std::string> args)
    : invocation_(invocation), args_(std::move(args)) {}

std::uint32_t Context::number(std::size_t i, const char *name, std::uint32_t min, std::uint32_t max) const {
    return parseNumber(arg(i), name, min, max);
}

Link &Context::board() {
    if (!link_) {
        link_ = std::make_unique<Link>(selectBoard(invocation_));
        json_.set("board", boardJson(link_->id()));
    }
    return *link_;
}

void Context::requireType1(const std::string &feature) {
    if (board().id().type != 1)
        throw BoardFailure("not available: " + feature + " exists on type-1 boards only; this is the " +
                           board().describe());
}

void Context::expectReply(std::int32_t result, const std::string &what) {
    if (result == VESKCFP2_CMD_OK) return;
    if (result == VESKCFP2_CMD_SHORT)
        throw BoardFailure("short reply: the " + board().describe() + " answered " + what +
                           " with fewer bytes than expected");
    throw BoardFailure("no reply: the " + board().describe() + " did not answer " + what);
}

void Context::expectSent(std::int32_t result, const std::string &what) {
    if (result != VESKCFP2_CMD_OK) throw BoardFailure("failed: the " + board().describe() + " did not take " + what);
}

void Context::print() const {
    if (invocation_.json) {
        std::printf("%s\n", json_.dump().c_str());
    } else {
        for (const std::string &text : lines_) std::printf("%s\n", text.c_str());
    }
}

}  // namespace brevantctl
