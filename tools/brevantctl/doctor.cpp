// doctor.cpp - brevantctl doctor: the battery of checks an engineer bringing
// up a board wants in one command, on one board or every board, printed as a
// readable summary or one JSON object, and written with the run's wire log
// into one file to attach to a bug report (--report).
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "context.h"
#include "docs.h"
#include "doctor_checks.h"
#include "files.h"
#include "transport.h"

namespace brevantctl {

namespace {

using Status = Check::Status;

const char kDoctorDetails[] =
    "Runs a battery of checks and says for each ok, warning, failed or skipped, with the reason: enumeration "
    "(device indices, types, first EEPROM bytes, time taken), and per board: connect and its drain, ping (the 20 "
    "bytes raw), each query family once with its raw reply bytes, 200 pings' round-trip times (min, median, p99, "
    "max), reply framing (the board's replies read as whole packets: padded or longer than asked, and what that "
    "means for the library on this system), whether byte 0 of a reply echoes the command code (a fact; the library "
    "does not rely on it), replies that come after the library's 100 ms read wait gave up, the EEPROM head (serial "
    "number, bytes 0-15), the module on --mdio-port (present, identity, state, global alarm), supply voltage and "
    "temperatures (type 1). Without a selection every board is checked. Nothing is written to a board unless "
    "--writes: then port 3 is read, written back with the value it holds (named on standard error before it "
    "runs) and read again; no module register is written. The raw bytes come from the run's wire log "
    "(BREVANT_WIRE_LOG when set, otherwise a temporary file). --report FILE writes the summary, the JSON report "
    "and the run's wire log into FILE, to attach to a bug report; the log holds the EEPROM bytes read (serial "
    "numbers). Exits with 1 when a check failed; warnings and skipped checks exit with 0.";

const Option kWritesOption = {"--writes", 0, nullptr, "write port 3 back with the value it holds, and read it again"};
const Option kReportOption = {"--report", 0, "FILE", "write the summary, the JSON report and the run's wire log to FILE"};
const Option kMdioPortOption = {"--mdio-port", 0, "N", "the MDIO port the board routes to the module (0-255, default 1)"};

std::string padRight(std::string text, std::size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

Json checkJson(const Check &check) {
    Json j = Json::object();
    j["check"] = check.name;
    j["status"] = statusWord(check.status);
    j["reason"] = check.reason;
    j["measured"] = check.measured.empty() ? Json() : Json(check.measured);
    j["facts"] = check.facts;
    return j;
}

void summaryLines(const Check &check, std::vector<std::string> &out, const std::string &indent) {
    std::string line = indent + padRight(check.name, 24) + padRight(statusWord(check.status), 9) + check.reason;
    if (!check.measured.empty()) line += " [" + check.measured + "]";
    out.push_back(line);
    for (const std::string &detail : check.detail) out.push_back(indent + std::string(33, ' ') + detail);
}

std::string printableByte(std::uint8_t b) {
    return b >= 0x20 && b < 0x7F ? std::string(" '") + static_cast<char>(b) + "'" : std::string();
}

// Enumeration of both board types, with the first EEPROM byte of each.
Check enumeration() {
    Check c;
    c.name = "enumeration";
    struct Found {
        std::uint16_t index;
        int type;
        std::uint8_t first;
    };
    std::vector<Found> all;
    const auto start = std::chrono::steady_clock::now();
    for (int type : {0, 1}) {
        std::uint16_t indices[VESKCFP2_MAX_DEVICES] = {};
        std::uint8_t firstBytes[2 * VESKCFP2_MAX_DEVICES] = {};
        const int count = veskcfp2_enumerateDevices(type, indices, firstBytes);
        for (int k = 0; k < count && k < VESKCFP2_MAX_DEVICES; ++k) all.push_back({indices[k], type, firstBytes[2 * k]});
    }
    const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::sort(all.begin(), all.end(), [](const Found &a, const Found &b) { return a.index < b.index; });
    Json boards = Json::array();
    std::vector<std::string> found, zero;
    for (const Found &f : all) {
        Json board = Json::object();
        board["index"] = f.index;
        board["type"] = f.type;
        board["firstByte"] = f.first;
        boards.push_back(board);
        found.push_back("index " + std::to_string(f.index) + " type " + std::to_string(f.type));
        c.detail.push_back("index " + std::to_string(f.index) + ": type " + std::to_string(f.type) +
                           ", first EEPROM byte " + hex(f.first, 2) + printableByte(f.first));
        if (f.first == 0) zero.push_back(std::to_string(f.index));
    }
    char text[32];
    std::snprintf(text, sizeof text, "in %.3g ms", took);
    c.measured = text;
    c.facts["boards"] = boards;
    c.facts["ms"] = took;
    if (found.empty()) {
        c.status = Status::Failed;
        const std::optional<std::string> noUsb = whyNoUsb();
        c.reason = "no boards found" + (noUsb ? ": " + *noUsb : std::string());
        return c;
    }
    c.reason = std::to_string(found.size()) + (found.size() == 1 ? " board: " : " boards: ");
    for (std::size_t i = 0; i < found.size(); ++i) c.reason += (i == 0 ? "" : ", ") + found[i];
    if (!zero.empty()) {
        c.status = Status::Warning;
        c.reason += "; the first EEPROM byte reads 0x00 at index " + zero.front() +
                    (zero.size() > 1 ? " and others" : "") + " (blank, or its probe got no reply)";
    }
    return c;
}

void runDoctor(Context &c) {
    // First of all: the library looks at the wire log's variable once, at
    // its first transfer.
    WireTap tap;
    const Invocation &inv = c.invocation();
    DoctorOptions options;
    options.mdioPort = static_cast<std::uint8_t>(c.optionNumber(kMdioPortOption.name, 0, 0xFF).value_or(1));
    options.writes = inv.flag(kWritesOption.name);
    options.announce = [](const std::string &text) {
        std::fprintf(stderr, "brevantctl: doctor: %s\n", text.c_str());
        std::fflush(stderr);
    };
    std::optional<OutputFile> report;
    if (const std::optional<std::string> path = inv.value(kReportOption.name)) {
        if (*path == "-") throw UsageError("--report needs a file name");
        report.emplace(*path);  // a file that cannot be written fails before any board is touched
    }

    std::vector<BoardId> boards;
    std::optional<std::string> selectedSerial;
    if (inv.type || inv.index || inv.serial) boards.push_back(selectBoard(inv, selectedSerial));
    noteSimulated();
    const Check found = enumeration();
    if (!inv.type && !inv.index && !inv.serial) boards = findBoards(std::nullopt);

    std::vector<std::string> text;
    Json boardsJson = Json::array();
    unsigned counts[4] = {0, 0, 0, 0};
    std::string firstFailure;
    auto tally = [&](const Check &check, const std::string &where) {
        ++counts[static_cast<int>(check.status)];
        if (check.status == Status::Failed && firstFailure.empty()) firstFailure = where + check.name + ": " + check.reason;
    };
    summaryLines(found, text, "");
    tally(found, "");
    for (const BoardId &id : boards) {
        BoardDoctor doctor(id, tap, options);
        const std::vector<Check> checks = doctor.run();
        const std::optional<std::string> serial = doctor.serial() ? doctor.serial() : selectedSerial;
        text.push_back("");
        text.push_back(describeBoard(id) + (serial ? ", serial " + displaySerial(*serial) : std::string()) +
                       (doctor.location().empty() ? std::string() : " (" + doctor.location() + ")"));
        Json board = Json::object();
        board["board"] = boardJson(id, serial);
        board["location"] = doctor.location().empty() ? Json() : Json(doctor.location());
        Json list = Json::array();
        for (const Check &check : checks) {
            summaryLines(check, text, "  ");
            list.push_back(checkJson(check));
            tally(check, describeBoard(id) + ": ");
        }
        board["checks"] = list;
        boardsJson.push_back(board);
    }
    text.push_back("");
    text.push_back("summary: " + std::to_string(counts[0]) + " ok, " + std::to_string(counts[1]) + " warnings, " +
                   std::to_string(counts[2]) + " failed, " + std::to_string(counts[3]) + " skipped");

    Json summary = Json::object();
    summary["ok"] = counts[0];
    summary["warning"] = counts[1];
    summary["failed"] = counts[2];
    summary["skipped"] = counts[3];
    c.json()["enumeration"] = checkJson(found);
    c.json()["boards"] = boardsJson;
    c.json()["summary"] = summary;
    c.json()["simulated"] = simulated();
    for (const std::string &line : text) c.line(line);

    if (report) {
        std::string body = "brevantctl doctor report\nbrevantctl " BREVANTCTL_VERSION ", library " + libraryVersion() +
                           (simulated() ? ", simulated boards" : "") + "\n\n";
        for (const std::string &line : text) body += line + "\n";
        body += "\n== report (JSON) ==\n" + dumpJson(c.json()) + "\n\n== wire log of the run ==\n";
        body += tap.available() ? tap.text() : std::string("(the run's wire log could not be read)\n");
        report->write(std::vector<std::uint8_t>(body.begin(), body.end()));
        report->commit();
    }
    if (counts[2] > 0)
        c.failAfterOutput(std::to_string(counts[2]) + (counts[2] == 1 ? " check" : " checks") + " failed (" +
                          firstFailure + ")");
}

CommandRegistration registration({
    {"doctor", "", 0, 0, "checks a board (or every board) from enumeration to the module, for bring-up and bug reports",
     kDoctorDetails, true, runDoctor, {kWritesOption, kReportOption, kMdioPortOption}},
});

}  // namespace
}  // namespace brevantctl
