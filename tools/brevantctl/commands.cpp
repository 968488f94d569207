// commands.cpp - the commands of brevantctl, one handler per command, and the
// table that names them.
#include <algorithm>
#include <cstdio>

#include "columns.h"
#include "handlers.h"
#include "transport.h"

namespace brevantctl {

namespace {

std::string printable(const std::uint8_t *bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    return text;
}

// ---- Boards and the microcontroller --------------------------------------

// The board's identity block as text, for list -v; nullopt when it gave none.
std::optional<std::string> identityOf(const BoardId &id) {
    CFP2INSTANCE *instance = veskcfp2_createInstance(id.type, id.index);
    std::optional<std::string> text;
    std::uint8_t reply[20] = {};
    if (veskcfp2_connect(instance) == 1 && veskcfp2_ping(instance, reply) == VESKCFP2_CMD_OK) {
        std::size_t size = sizeof reply;
        while (size > 0 && (reply[size - 1] == 0 || reply[size - 1] == ' ')) --size;
        text = printable(reply, size);
    }
    veskcfp2_disconnect(instance);
    veskcfp2_destroyInstance(instance);
    return text;
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

void runList(Context &c) {
    const std::optional<std::string> &filter = c.invocation().type;
    std::optional<int> type;
    if (filter && *filter != "any") {
        if (*filter != "0" && *filter != "1") throw UsageError("--type must be 0, 1 or any, got '" + *filter + "'");
        type = *filter == "1" ? 1 : 0;
    }
    const bool verbose = c.invocation().flag("--verbose");
    Json boards = Json::array();
    const std::vector<BoardId> found = findBoards(type);
    // Simulated boards say so on every row and in the JSON.
    const bool sim = simulated();
    struct Row {
        BoardId id;
        SerialRead serial;
        std::optional<BoardLocation> location;
        std::string serialText, locationText;
    };
    std::vector<Row> rows;
    std::size_t serialWidth = 8, locationWidth = 8;
    for (const BoardId &id : found) {
        Row row{id, readSerial(id), std::nullopt, "", ""};
        // The device index follows where a board is attached: its USB port
        // path, or for a simulated board its line in the bench.
        row.location = locateBoard(id.type, id.index);
        row.serialText = row.serial.serial ? displaySerial(*row.serial.serial) : "(unreadable: " + row.serial.reason + ")";
        row.locationText = row.location ? row.location->brief : std::string("-");
        serialWidth = std::max(serialWidth, row.serialText.size());
        locationWidth = std::max(locationWidth, row.locationText.size());
        rows.push_back(std::move(row));
    }
    if (!rows.empty() && !verbose) {
        // The column names come from the table shared with the Python
        // package; the widths are the cells'.
        const std::vector<std::string> &names = listColumns();
        const std::size_t widths[] = {5, 4, 7, locationWidth, serialWidth};
        std::string header;
        for (std::size_t k = 0; k < names.size() && k < 6; ++k) {
            if (k == 5 && !sim) break;
            header += (k == 0 ? "" : "  ") + (k < 5 && k + 1 < names.size() ? padded(names[k], widths[k]) : names[k]);
        }
        while (!header.empty() && header.back() == ' ') header.pop_back();
        c.line(header);
    }
    for (const Row &row : rows) {
        const BoardId &id = row.id;
        Json board = Json::object();
        board["type"] = id.type;
        board["index"] = id.index;
        board["productId"] = hex(productId(id.type), 4);
        board["location"] = row.location ? Json(row.location->brief) : Json();
        board["serial"] = row.serial.serial ? Json(*row.serial.serial) : Json();
        if (!row.serial.serial) board["error"] = Json{{"message", row.serial.reason}};
        if (verbose) {
            const std::optional<std::string> identity = row.serial.serial ? identityOf(id) : std::nullopt;
            board["locationDetail"] = row.location ? Json(row.location->detail) : Json();
            board["identity"] = identity ? Json(*identity) : Json();
            if (&row != &rows.front()) c.line("");
            c.line("Board at device index " + std::to_string(id.index));
            c.line("  Type       " + std::to_string(id.type) + " (product " + hex(productId(id.type), 4) + ")");
            c.line("  Serial     " + row.serialText);
            c.line("  Location   " + (row.location ? row.location->detail : std::string("not known")));
            c.line("  Identity   " + (identity ? *identity : std::string("not read")));
            if (sim) c.line("  Source     simulated");
        } else {
            char cells[64];
            std::snprintf(cells, sizeof cells, "%5u  %4d  %s   ", static_cast<unsigned>(id.index), id.type,
                          hex(productId(id.type), 4).c_str());
            std::string text = cells + padded(row.locationText, locationWidth) + "  " + row.serialText;
            if (sim) text = padded(text, std::string(cells).size() + locationWidth + 2 + serialWidth) + "  simulated";
            c.line(text);
        }
        if (sim) board["simulated"] = true;
        boards.push_back(board);
    }
    c.json()["boards"] = boards;
    if (sim) c.json()["simulated"] = true;
    // As lsusb -d does, finding nothing is a failure scripts can test.
    if (found.empty()) {
        const std::optional<std::string> noUsb = whyNoUsb();
        if (noUsb) c.failAfterOutput("no boards found: " + *noUsb);
        else c.failAfterOutput(type ? "no type-" + std::to_string(*type) + " boards found" : std::string("no boards found"));
    }
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
    c.json()["reply"] = hexString(reply, sizeof reply);
    c.json()["text"] = printable(reply, sizeof reply);
}

void runReset(Context &c) {
    const bool boot = c.invocation().flag("--boot");
    if (boot) {
        c.confirm([&c] {
            return "Reset the " + c.board().describe() +
                   " into its boot loader? It leaves normal operation until new firmware is loaded or it is reset.";
        });
    }
    c.expectSent(boot ? veskcfp2_resetMCUBoot(c.instance()) : veskcfp2_resetMCU(c.instance()), "the reset");
    c.line(boot ? "reset into the boot loader" : "reset");
    c.json()["reset"] = boot ? "boot" : "normal";
}

// ---- Ports and registers ---------------------------------------------------

void runPortGet(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    std::uint8_t value = 0;
    c.expectReply(veskcfp2_getPort(c.instance(), port, &value), "the port query");
    c.line(hex(value, 2));
    c.json()["port"] = port;
    c.json()["value"] = value;
}

void runPortSet(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint8_t value = static_cast<std::uint8_t>(c.number(1, "VALUE", 0, 0xFF));
    c.expectSent(veskcfp2_setPort(c.instance(), port, value), "the port setting");
    c.line("port " + std::to_string(port) + " set to " + hex(value, 2));
    c.json()["port"] = port;
    c.json()["value"] = value;
}

void runVendorIO(Context &c) {
    const std::uint8_t value = static_cast<std::uint8_t>(c.number(0, "VALUE", 0, 0xFF));
    c.expectSent(veskcfp2_setVendorIO(c.instance(), value), "the vendor I/O setting");
    c.line("vendor I/O set to " + hex(value, 2));
    c.json()["vendorIO"] = value;
}

void runFtdi(Context &c) {
    const std::string &state = c.arg(0);
    if (state != "on" && state != "off") throw UsageError("STATE must be on or off, got '" + state + "'");
    c.requireType1("the FTDI supply switch");
    c.expectSent(veskcfp2_p3v3_FTDIEnable(c.instance(), state == "on" ? 1 : 0), "the FTDI supply switch");
    c.line("FTDI 3.3 V supply " + state);
    c.json()["ftdi"] = state == "on";
}

void runPower(Context &c) {
    const std::uint8_t value = static_cast<std::uint8_t>(c.number(0, "VALUE", 0, 0xFF));
    c.requireType1("the module power setting");
    c.expectSent(veskcfp2_setPower(c.instance(), value), "the power setting");
    c.line("power set to " + hex(value, 2));
    c.json()["power"] = value;
}

// ---- Current sense and monitors ------------------------------------------

void runSenseEnable(Context &c) {
    const std::uint16_t value = static_cast<std::uint16_t>(c.number(0, "VALUE", 0, 0xFFFF));
    const std::uint16_t selector = static_cast<std::uint16_t>(c.number(1, "SELECTOR", 0, 0xFFFF));
    c.expectSent(veskcfp2_enableCurrentSense(c.instance(), value, selector), "the current-sense setting");
    c.line("current sense " + hex(selector, 4) + " enabled with " + hex(value, 4));
    c.json()["selector"] = selector;
    c.json()["value"] = value;
}

void runSenseGet(Context &c) {
    const std::uint16_t selector = static_cast<std::uint16_t>(c.number(0, "SELECTOR", 0, 0xFFFF));
    std::uint8_t value = 0;
    c.expectReply(veskcfp2_getCurrentSense(c.instance(), selector, &value), "the current-sense query");
    c.line(hex(value, 2));
    c.json()["selector"] = selector;
    c.json()["value"] = value;
}

void runMonitor(Context &c) {
    std::uint16_t value = 0;
    c.expectReply(veskcfp2_currentMonitor(c.instance(), &value), "the current-monitor query");
    c.line(hex(value, 4) + " (" + std::to_string(value) + ")");
    c.json()["currentMonitor"] = value;
}

void runVcc(Context &c) {
    c.requireType1("the supply-voltage monitor");
    double volts = 0;
    c.expectReply(veskcfp2_getVCC(c.instance(), &volts), "the supply-voltage query");
    c.line(decimal(volts) + " V");
    c.json()["volts"] = volts;
}

void runTemp(Context &c) {
    const std::uint8_t sensor = static_cast<std::uint8_t>(c.number(0, "SENSOR", 0, 0xFF));
    c.requireType1("the temperature monitor");
    double celsius = 0;
    c.expectReply(veskcfp2_getTemperature(c.instance(), sensor, &celsius), "the temperature query");
    c.line(decimal(celsius) + " C");
    c.json()["sensor"] = sensor;
    c.json()["celsius"] = celsius;
}

// ---- MDIO ---------------------------------------------------------------------

void runMdioRead(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint16_t reg = static_cast<std::uint16_t>(c.number(1, "REG", 0, 0xFFFF));
    std::uint16_t value = 0;
    c.expectReply(veskcfp2_getMDIO(c.instance(), port, reg, &value), "the MDIO read");
    c.line(hex(value, 4));
    c.json()["port"] = port;
    c.json()["register"] = reg;
    c.json()["value"] = value;
}

void runMdioWrite(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint16_t reg = static_cast<std::uint16_t>(c.number(1, "REG", 0, 0xFFFF));
    const std::uint16_t data = static_cast<std::uint16_t>(c.number(2, "DATA", 0, 0xFFFF));
    c.expectSent(veskcfp2_setMDIO(c.instance(), port, reg, data), "the MDIO write");
    c.line("MDIO port " + std::to_string(port) + " register " + hex(reg, 4) + " set to " + hex(data, 4));
    c.json()["port"] = port;
    c.json()["register"] = reg;
    c.json()["value"] = data;
}

void runMdioDump(Context &c) {
    const std::uint8_t port = static_cast<std::uint8_t>(c.number(0, "PORT", 0, 0xFF));
    const std::uint32_t first = c.number(1, "FIRST", 0, 0xFFFF);
    const std::uint32_t count = c.number(2, first != 0 ? ("COUNT from " + hex(first, 4)).c_str() : "COUNT", 1, 0x10000 - first);
    Json registers = Json::array();
    for (std::uint32_t reg = first; reg < first + count; ++reg) {
        std::uint16_t value = 0;
        c.expectReply(veskcfp2_getMDIO(c.instance(), port, static_cast<std::uint16_t>(reg), &value),
                      "the MDIO read of register " + hex(reg, 4));
        c.line(hex(reg, 4) + "  " + hex(value, 4));
        Json entry = Json::object();
        entry["register"] = reg;
        entry["value"] = value;
        registers.push_back(entry);
    }
    c.json()["port"] = port;
    c.json()["registers"] = registers;
}

}  // namespace

std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

const std::vector<Command> &coreCommands() {
    static const std::vector<Command> table = {
        {"list", "", 0, 0, "the boards found: device index, type, product id, serial number",
         "Columns: INDEX the device index (what --index takes), TYPE the board type (0 or 1, what --type takes), "
         "PRODUCT the USB product id (0x8248 for type 0, 0x8348 for type 1), LOCATION where the board is attached, "
         "on which its index depends (on Linux the USB bus and port path, 1-4.1; on Windows the device instance of its "
         "interface; bench:N for a simulated board), "
         "SERIAL the serial number ((blank) when it is blank, (unreadable: REASON) when the board did not give it; "
         "other bytes as \\xNN), SOURCE \"simulated\" on every board of the simulated bench (shown only with the "
         "simulator). --verbose shows each board in detail, with its identity block. --type 0|1|any (default any) "
         "lists the boards of one type. Finding no board exits with status 1.",
         false, runList, {{"--verbose", 'v', nullptr, "each board in detail: location, serial number, identity"}}},
        {"ping", "", 0, 0, "the board's 20-byte identity block, in hex and as text", "", true, runPing},
        {"reset", "", 0, 0, "resets the board microcontroller (--boot: into its boot loader)",
         "--boot resets into the boot loader, after confirmation (--yes skips it).", true, runReset,
         {{"--boot", 0, nullptr, "reset into the boot loader"}}},
        {"status", "", 0, 0, "every reading of the board at once: supply, temperatures, current, port 3",
         kStatusDetails, true, runStatus, {{"--sensors", 0, "LIST", "temperature sensors to read, e.g. 0,1 (default 0)"}}},
        {"watch", "", 0, 0, "the readings of status every few seconds, as a table or CSV", kWatchDetails, true,
         runWatch,
         {{"--sensors", 0, "LIST", "temperature sensors to read, e.g. 0,1 (default 0)"},
          {"--interval", 0, "SECONDS", "time between samples (default 1; decimals allowed)"},
          {"--count", 'n', "N", "stop after N samples (default: until Ctrl-C)"},
          {"--csv", 0, nullptr, "comma-separated values with an ISO-8601 time column"},
          {"--all", 0, nullptr, "every board (of --type), one row per board with its serial number"},
          {"--summary", 0, nullptr, "min, max and mean of each column at the end (Ctrl-C too)"}}},
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
         "ADDR is 0-0x1FFFF; COUNT 1 up to the end of the EEPROM. Rows of 16 bytes; a row equal to the one "
         "before is shown as a single '*', as hexdump -C does.",
         true, runEepromRead},
        {"eeprom write", "ADDR BYTE...", 2, kMany, "writes bytes to the EEPROM from ADDR",
         "ADDR is 0-0x1FFFF, each BYTE 0-255; the bytes must fit before the end of the EEPROM. Asks for "
         "confirmation (--yes skips it).",
         true, runEepromWrite},
        {"eeprom save", "FILE", 1, 1, "saves the EEPROM (all 131072 bytes, or a range) to FILE ('-': standard output)",
         "FILE is created before the first byte is read, written beside as a temporary file and renamed over FILE "
         "only when every byte came, so a failed or interrupted save leaves FILE as it was. A write-protected FILE is "
         "refused unless --force. One round trip per "
         "byte (about 4.4 minutes for the whole EEPROM on a board); a progress bar with rate and time left shows "
         "on a terminal.",
         true, runEepromSave,
         {{"--offset", 0, "ADDR", "first address (default 0)"},
          {"--length", 0, "N", "number of bytes (default: up to the end)"},
          {"--force", 'f', nullptr, "replace FILE even when it is write-protected"}}},
        {"eeprom load", "FILE", 1, 1, "writes an EEPROM image from FILE ('-': standard input) to the board",
         "Without --offset and --length FILE must hold the whole EEPROM (131072 bytes). With them the file's "
         "bytes go from --offset on (--length of them; the file must hold that many). Warns when the image's "
         "serial number (its first 8 bytes) differs from the board's, then asks for confirmation (--yes skips "
         "it; from standard input --yes is needed). --verify reads every byte back and reports the first "
         "address that differs.",
         true, runEepromLoad,
         {{"--offset", 0, "ADDR", "first address (default 0)"},
          {"--length", 0, "N", "number of bytes (default: the file's size)"},
          {"--verify", 0, nullptr, "read back and compare after writing"}}},
        {"sn get", "", 0, 0, "reads the serial number (EEPROM bytes 0-7)", "", true, runSnGet},
        {"sn set", "TEXT", 1, 1, "writes the serial number, padded with spaces to 8 characters",
         "TEXT is 1 to 8 printable ASCII characters without spaces. Asks for confirmation (--yes skips it).", true,
         runSnSet},
        {"sn clear", "", 0, 0, "blanks the serial number (8 spaces)", "Asks for confirmation (--yes skips it).",
         true, runSnClear},
    };
    return table;
}

}  // namespace brevantctl
