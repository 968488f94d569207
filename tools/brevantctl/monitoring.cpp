// monitoring.cpp - status and watch: the board's readings, the registry of
// reading sources, and the sampling loop.
#include "monitoring.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <algorithm>
#include <thread>

#include "columns.h"
#include "handlers.h"
#include "transport.h"

namespace brevantctl {

const char kStatusDetails[] =
    "Reads, in one go: the supply voltage (vcc, V), the temperature sensors named by --sensors (temp0, temp1, ... "
    "in C), the current monitor (current_monitor) and port 3 (port3) with its FTDI supply bit, bit 7 "
    "(ftdi_supply). Supply voltage, temperatures and the FTDI supply exist on type-1 boards only; on a type-0 "
    "board they show as not available, which is not a failure. A reading that fails is shown with its reason, the "
    "others are still read, and the exit status is 1.";

const char kWatchDetails[] =
    "Takes the readings of status every --interval seconds, --count times or until Ctrl-C, and prints one row "
    "each: aligned columns with a header and the UTC date and time, or with --csv comma-separated values whose "
    "first column (time) is an ISO-8601 UTC time stamp and whose header names each reading with its unit (vcc_V, "
    "temp0_C, ...), ready to log and plot; --json prints one JSON object a line. Numbers are rounded alike in "
    "both: V to 4 decimals, C 2, mA 3, mW 4, dBm 2. In the table the module's lanes (--module) go on rows of their "
    "own beneath each sample. Readings the board type does not offer get no column. A reading that fails or times "
    "out leaves its cell empty (-- in the table), is reported on standard error, and the watch goes on; the board "
    "is reconnected before the next sample. --all samples every board (of --type), one row per board with index "
    "and serial columns. --summary prints the min, max and mean of each column at the end, also after Ctrl-C (on "
    "standard error with --csv, so the log stays one table). Ctrl-C ends the watch with status 0; the status is "
    "1 when no sample was taken without a failed reading (with --all: of any one board).";

// ---- Readings ------------------------------------------------------------------

int decimalsOf(const std::string &unit) { return unitDecimals(unit); }

namespace {

// `value` with `decimals` decimals; a value that rounds to zero has no sign
// (-0.0039 C is 0.00, in the table, in CSV and in the summary alike).
std::string roundedTo(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (std::strcmp(text, "-0") == 0 || std::strncmp(text, "-0.", 3) == 0) {
        bool zero = true;
        for (const char *p = text + 1; *p != '\0'; ++p) zero = zero && (*p == '0' || *p == '.');
        if (zero) return text + 1;
    }
    return text;
}

}  // namespace

std::string roundedText(double value, const std::string &unit) {
    const int decimals = decimalsOf(unit);
    return decimals < 0 ? decimal(value) : roundedTo(value, decimals);
}

Reading Reading::number(std::string key, std::string label, std::string unit, double value) {
    Reading r;
    r.key = std::move(key);
    r.label = std::move(label);
    r.unit = std::move(unit);
    r.value = value;
    r.decimals = decimalsOf(r.unit);
    r.text = roundedText(value, r.unit);
    return r;
}

Reading Reading::integer(std::string key, std::string label, std::string unit, long long value, std::string text) {
    Reading r;
    r.key = std::move(key);
    r.label = std::move(label);
    r.unit = std::move(unit);
    r.value = value;
    r.text = std::move(text);
    return r;
}

Reading Reading::boolean(std::string key, std::string label, bool value, const char *yes, const char *no) {
    Reading r;
    r.key = std::move(key);
    r.label = std::move(label);
    r.value = value;
    r.text = value ? yes : no;
    return r;
}

Reading Reading::unavailable(std::string key, std::string label, std::string unit, std::string why) {
    Reading r;
    r.key = std::move(key);
    r.label = std::move(label);
    r.unit = std::move(unit);
    r.state = State::Unavailable;
    r.why = std::move(why);
    return r;
}

Reading Reading::failed(std::string key, std::string label, std::string unit, std::string why) {
    Reading r = unavailable(std::move(key), std::move(label), std::move(unit), std::move(why));
    r.state = State::Failed;
    return r;
}

std::string Reading::cell() const {
    if (state != State::Ok) return "";
    if (value.is_string()) return text;  // a word such as a module state: as status shows it
    if (decimals >= 0 && value.is_number()) return roundedTo(value.get<double>(), decimals);
    const std::string dumped = dumpJson(value);
    if (dumped == "true") return "1";
    if (dumped == "false") return "0";
    if (dumped == "null") return "";  // a reading without a value (a dBm of no light)
    return dumped;
}

std::string Sample::failure(std::int32_t result) {
    return result == VESKCFP2_CMD_SHORT ? "short reply" : "no reply";
}

namespace {

std::vector<ReadingSource> &sources() {
    static std::vector<ReadingSource> registered;
    return registered;
}

std::vector<std::uint8_t> sensorList(const Invocation &inv) {
    const std::optional<std::string> text = inv.value("--sensors");
    if (!text) return {0};
    std::vector<std::uint8_t> sensors;
    std::size_t start = 0;
    while (start <= text->size()) {
        const std::size_t comma = text->find(',', start);
        const std::string item = text->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const auto sensor = static_cast<std::uint8_t>(parseNumber(item, "--sensors item", 0, 0xFF));
        if (std::find(sensors.begin(), sensors.end(), sensor) == sensors.end()) sensors.push_back(sensor);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return sensors;
}

// The board's own readings.
void readBoard(Sample &s) {
    CFP2INSTANCE *board = s.board().get();
    const bool type1 = s.board().id().type == 1;
    // Key, label and unit of each reading come from the column table; a
    // reading the board type lacks is not available, one that fails says why.
    auto query = [&s, type1](const std::string &key, const std::function<std::int32_t()> &ask,
                             const std::function<Reading(const ReadingColumn &)> &ok) {
        const ReadingColumn column = readingColumn(key);
        if (column.type1Only && !type1)
            return s.add(Reading::unavailable(key, column.label, column.unit, "type-1 boards only"));
        const std::int32_t result = ask();
        s.add(result == VESKCFP2_CMD_OK ? ok(column)
                                        : Reading::failed(key, column.label, column.unit, Sample::failure(result)));
    };

    double volts = 0;
    query("vcc", [&] { return veskcfp2_getVCC(board, &volts); },
          [&](const ReadingColumn &c) { return Reading::number(c.key, c.label, c.unit, volts); });
    for (std::uint8_t sensor : sensorList(s.invocation())) {
        double celsius = 0;
        query("temp" + std::to_string(sensor), [&] { return veskcfp2_getTemperature(board, sensor, &celsius); },
              [&](const ReadingColumn &c) { return Reading::number(c.key, c.label, c.unit, celsius); });
    }
    std::uint16_t current = 0;
    query("current_monitor", [&] { return veskcfp2_currentMonitor(board, &current); },
          [&](const ReadingColumn &c) {
              return Reading::integer(c.key, c.label, c.unit, current, hex(current, 4) + " (" + std::to_string(current) + ")");
          });
    std::uint8_t port3 = 0;
    query("port3", [&] { return veskcfp2_getPort(board, 3, &port3); },
          [&](const ReadingColumn &c) { return Reading::integer(c.key, c.label, c.unit, port3, hex(port3, 2)); });
    // The FTDI supply is bit 7 of port 3, read above.
    const bool port3Read = s.readings().back().state == Reading::State::Ok;
    query("ftdi_supply", [&] { return port3Read ? VESKCFP2_CMD_OK : VESKCFP2_CMD_FAILED; },
          [&](const ReadingColumn &c) { return Reading::boolean(c.key, c.label, (port3 & 0x80) != 0, "on", "off"); });
    if (s.readings().back().state == Reading::State::Failed) s.readings().back().why = "port 3 not read";
}

std::string boardLine(Link &link) {
    const std::optional<std::string> &serial = link.serial();
    return "type-" + std::to_string(link.id().type) + " board " +
           (serial ? displaySerial(*serial) : std::string("(serial unreadable)")) + " at device index " +
           std::to_string(link.id().index) + " (product " + hex(productId(link.id().type), 4) + ")";
}

// ---- watch ---------------------------------------------------------------------

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) { interrupted = true; }

double intervalOption(const Invocation &inv) {
    const std::optional<std::string> text = inv.value("--interval");
    if (!text) return 1.0;
    char *end = nullptr;
    const double seconds = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        throw UsageError("--interval must be 0 to 86400 seconds (decimals allowed), got '" + *text + "'");
    return seconds;
}



// Sleeps until `deadline`, waking for Ctrl-C.
void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    while (!interrupted) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                                                  std::chrono::milliseconds(50)));
    }
}

}  // namespace

namespace {
Json readingJson(const Reading &r) {
    Json item = Json::object();
    switch (r.state) {
        case Reading::State::Ok: item["status"] = "ok"; item["value"] = r.value; break;
        case Reading::State::Unavailable: item["status"] = "unavailable"; item["reason"] = r.why; break;
        case Reading::State::Failed: item["status"] = "failed"; item["reason"] = r.why; break;
    }
    if (!r.unit.empty()) item["unit"] = r.unit;
    return item;
}

}  // namespace

Json readingsJson(const std::vector<Reading> &readings) {
    Json all = Json::object();
    for (const Reading &r : readings) all[r.key] = readingJson(r);
    return all;
}

// ISO-8601 UTC time stamp with milliseconds: 2026-12-07T23:10:01.123Z
std::string timestamp(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const std::size_t size = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + size, sizeof text - size, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::string csvField(const std::string &text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char ch : text) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

std::string csvColumn(const Reading &reading) { return reading.key + (reading.unit.empty() ? "" : "_" + reading.unit); }

bool hasColumn(const Reading &reading) { return reading.state != Reading::State::Unavailable || reading.keepsColumn; }

ReadingSourceRegistration::ReadingSourceRegistration(ReadingSource source) {
    addCommandOptions("status", source.options);
    addCommandOptions("watch", source.options);
    sources().push_back(std::move(source));
}

std::vector<Reading> takeSample(Context &context, Link &link) {
    Sample sample(context, link);
    readBoard(sample);
    for (const ReadingSource &source : sources()) source.read(sample);
    return std::move(sample.readings());
}

// Every usage error of the options of status and watch, before the board is
// touched.
void checkSourceOptions(const Invocation &inv) {
    sensorList(inv);
    for (const ReadingSource &source : sources()) {
        if (source.check != nullptr) source.check(inv);
    }
}

void runStatus(Context &c) {
    checkSourceOptions(c.invocation());
    Link &link = c.board();
    const std::string board = boardLine(link);
    const std::vector<Reading> readings = takeSample(c, link);
    std::size_t width = 5;
    for (const Reading &r : readings) width = std::max(width, r.label.size());
    auto row = [&](const std::string &label, const std::string &text) {
        c.line(label + std::string(width + 2 - label.size(), ' ') + text);
    };
    row("board", board);
    std::size_t failures = 0;
    std::string firstFailure;
    for (std::size_t k = 0; k < readings.size(); ++k) {
        const Reading &r = readings[k];
        // A power in mW and the same power in dBm share one line:
        // "lane 0 Tx power  0.8549 mW (-0.68 dBm)".
        const bool pair = k + 1 < readings.size() && r.key.size() > 3 && r.key.compare(r.key.size() - 3, 3, "_mW") == 0 &&
                          readings[k + 1].key == r.key.substr(0, r.key.size() - 3) + "_dBm";
        if (pair && r.state == Reading::State::Ok && readings[k + 1].state == Reading::State::Ok) {
            const std::string &dbm = readings[k + 1].text;
            row(r.label, r.text + " (" + dbm + ")");  // "(no light)" for 0 mW
            ++k;
            continue;
        }
        if (pair && r.state == readings[k + 1].state && r.why == readings[k + 1].why) ++k;  // one reason, once
        switch (r.state) {
            case Reading::State::Ok: row(r.label, r.text + (r.unit.empty() ? "" : " " + r.unit)); break;
            case Reading::State::Unavailable: row(r.label, "not available (" + r.why + ")"); break;
            case Reading::State::Failed:
                row(r.label, "failed: " + r.why);
                if (failures++ == 0) firstFailure = r.label + ": " + r.why;
                break;
        }
    }
    c.json()["board"] = boardJson(link.id(), link.serial());
    c.json()["readings"] = readingsJson(readings);
    if (failures > 0)
        c.failAfterOutput(std::to_string(failures) + (failures == 1 ? " reading" : " readings") + " of the " +
                          link.describe() + " failed (" + firstFailure + (failures > 1 ? ", ..." : "") + ")");
}

namespace {

// One board a watch samples.
struct Watched {
    std::unique_ptr<Link> owned;  // --all: the watch's own connection
    Link *link = nullptr;
    Json board;                   // the JSON "board" member
    std::string serial;           // the serial column ("" when unreadable)
    bool reconnect = false;
    std::uint64_t whole = 0;      // samples without a failed reading
};

// min, max and mean of one column of one board, for --summary.
struct Tally {
    double min = 0, max = 0, sum = 0;
    std::uint64_t n = 0;
    void add(double v) {
        min = n == 0 ? v : std::min(min, v);
        max = n == 0 ? v : std::max(max, v);
        sum += v;
        ++n;
    }
};

// "module_lane3_txPower_mW": lane 3, field "txPower_mW"; false for others.
bool laneColumn(const std::string &key, unsigned &lane, std::string &field) {
    static const std::string prefix = "module_lane";
    if (key.compare(0, prefix.size(), prefix) != 0) return false;
    std::size_t at = prefix.size(), end = at;
    while (end < key.size() && key[end] >= '0' && key[end] <= '9') ++end;
    if (end == at || end >= key.size() || key[end] != '_') return false;
    lane = static_cast<unsigned>(std::stoul(key.substr(at, end - at)));
    field = key.substr(end + 1);
    return true;
}

std::string padRight(std::string text, std::size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

std::string trimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

void runWatch(Context &c) {
    const Invocation &inv = c.invocation();
    checkSourceOptions(inv);
    const double interval = intervalOption(inv);
    const std::optional<std::uint32_t> count = c.optionNumber("--count", 1, 0xFFFFFFFFu);
    const bool csv = inv.flag("--csv");
    const bool all = inv.flag("--all");
    const bool summary = inv.flag("--summary");
    if (csv && inv.json) throw UsageError("--csv and --json are two output formats; choose one");
    if (all && (inv.index || inv.serial))
        throw UsageError(std::string("--all watches every board") + (inv.type ? " of the type" : "") +
                         "; drop " + (inv.index ? "--index" : "--serial"));

    std::vector<Watched> boards;
    if (all) {
        const std::optional<int> type = inv.type ? std::optional<int>(parseBoardType(*inv.type)) : std::nullopt;
        const std::vector<BoardId> found = findBoards(type);
        noteSimulated();
        if (found.empty())
            throw BoardFailure(std::string("not found: no ") + (type ? "type-" + std::to_string(*type) + " board" : "board") +
                               " is attached");
        for (const BoardId &id : found) {
            Watched w;
            try {
                w.owned = std::make_unique<Link>(id);
            } catch (const BoardFailure &e) {
                // A board that does not open is named here and left out;
                // the others are watched.
                std::fprintf(stderr, "brevantctl: watch: %s\n", e.what());
                continue;
            }
            w.link = w.owned.get();
            boards.push_back(std::move(w));
        }
        if (boards.empty()) throw BoardFailure("not connected: no board opened");
    } else {
        Watched w;
        w.link = &c.board();
        boards.push_back(std::move(w));
    }
    for (Watched &w : boards) {
        const std::optional<std::string> &serial = w.link->serial();
        w.serial = serial ? *serial : std::string();
        w.board = boardJson(w.link->id(), serial);
    }
    c.printed();  // rows go out as they come

    interrupted = false;
    std::signal(SIGINT, onInterrupt);
    std::vector<std::string> keys;  // the columns, fixed by the first round
    std::vector<std::string> names; // their headers: key with unit
    std::vector<std::size_t> widths;
    // Text with lane columns: the lanes go on rows of their own beneath
    // each sample's row, one lane a row.
    std::vector<std::string> laneFields;
    std::vector<std::size_t> laneWidths;
    std::map<std::pair<std::size_t, std::string>, Tally> tallies;  // (board, key)
    std::uint64_t taken = 0;  // samples of all boards
    std::uint64_t rounds = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t n = 0; !interrupted && (!count || n < *count); ++n) {
        if (n > 0) sleepUntil(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double>(interval * static_cast<double>(n))));
        if (interrupted) break;
        ++rounds;
        // The whole round is sampled before its rows go out: with --all the
        // columns are every board's of the first round, and the header that
        // names them comes before the first row.
        std::vector<std::pair<std::string, std::vector<Reading>>> round;
        for (std::size_t b = 0; b < boards.size(); ++b) {
            Watched &w = boards[b];
            Link &link = *w.link;
            const std::string time = timestamp(std::chrono::system_clock::now());
            if (w.reconnect) {
                // Another board may have moved into the watched one's place:
                // its readings fail rather than pass for the watched board's.
                std::optional<std::string> other;
                if (!link.reconnect(&other) && other)
                    std::fprintf(stderr, "brevantctl: watch: %s the %s now has serial number %s, not %s\n", time.c_str(),
                                 link.describe().c_str(), displaySerial(*other).c_str(),
                                 displaySerial(w.serial).c_str());
            }
            std::vector<Reading> readings = takeSample(c, link);
            // One line on standard error for a sample with failed readings.
            w.reconnect = false;
            std::string failures;
            std::size_t more = 0;
            for (const Reading &r : readings) {
                if (r.state != Reading::State::Failed) continue;
                w.reconnect = true;
                if (failures.empty()) failures = r.label + ": " + r.why;
                else ++more;
            }
            ++taken;
            if (!w.reconnect) ++w.whole;
            if (w.reconnect)
                std::fprintf(stderr, "brevantctl: watch: %s %s%s%s\n", time.c_str(),
                             all ? ("board " + std::to_string(link.id().index) + ": ").c_str() : "", failures.c_str(),
                             more == 0 ? "" : ("; " + std::to_string(more) + " more failed").c_str());
            if (n == 0) {
                // Every board of the first round adds its columns (a type-1
                // board has some a type-0 board lacks), each after the column
                // that precedes it on its own board, so a mixed bench gets
                // the columns in the order a type-1 board has them.
                std::size_t at = 0;
                for (const Reading &r : readings) {
                    if (!hasColumn(r)) continue;
                    const auto known = std::find(keys.begin(), keys.end(), r.key);
                    if (known != keys.end()) {
                        at = static_cast<std::size_t>(known - keys.begin()) + 1;
                        continue;
                    }
                    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), r.key);
                    names.insert(names.begin() + static_cast<std::ptrdiff_t>(at), csvColumn(r));
                    ++at;
                }
            }
            round.emplace_back(time, std::move(readings));
        }
        for (std::size_t b = 0; b < boards.size(); ++b) {
            Watched &w = boards[b];
            Link &link = *w.link;
            const std::string &time = round[b].first;
            const std::vector<Reading> &readings = round[b].second;
            auto find = [&readings](const std::string &key) -> const Reading * {
                for (const Reading &r : readings) {
                    if (r.key == key) return &r;
                }
                return nullptr;
            };
            const bool first = n == 0 && b == 0;
            for (const Reading &r : readings) {
                if (r.state == Reading::State::Ok && r.value.is_number()) tallies[{b, r.key}].add(r.value.get<double>());
            }
            if (inv.json) {
                Json line = Json::object();
                line["time"] = time;
                line["board"] = w.board;
                line["readings"] = readingsJson(readings);
                std::printf("%s\n", dumpJson(line).c_str());
            } else if (csv) {
                if (first) {
                    std::string header = all ? "time,index,serial" : "time";
                    for (const std::string &name : names) header += "," + csvField(name);
                    std::printf("%s\n", header.c_str());
                }
                std::string row = time;
                if (all) row += "," + std::to_string(link.id().index) + "," + csvField(w.serial);
                for (const std::string &key : keys) {
                    const Reading *r = find(key);
                    row += "," + (r ? csvField(r->cell()) : std::string());
                }
                std::printf("%s\n", row.c_str());
            } else {
                if (first) {
                    // The time is UTC, date and time, as in the CSV.
                    std::string header = padRight("date and time (UTC)", 23);
                    if (all) header += "  " + padRight("serial", 8);
                    for (std::size_t k = 0; k < keys.size(); ++k) {
                        unsigned lane = 0;
                        std::string field;
                        if (laneColumn(keys[k], lane, field)) {
                            if (std::find(laneFields.begin(), laneFields.end(), field) == laneFields.end()) {
                                laneFields.push_back(field);
                                laneWidths.push_back(std::max<std::size_t>(field.size(), 10));
                            }
                            widths.push_back(0);
                            continue;
                        }
                        const Reading *r = find(keys[k]);
                        widths.push_back(std::max({names[k].size(), r ? r->widestText : 0, std::size_t{10}}));
                        header += "  " + padRight(names[k], widths.back());
                    }
                    std::printf("%s\n", trimRight(header).c_str());
                    if (!laneFields.empty()) {
                        std::string lanes = padRight("", 23) + "  lane";
                        for (std::size_t f = 0; f < laneFields.size(); ++f)
                            lanes += "  " + padRight(laneFields[f], laneWidths[f]);
                        std::printf("%s\n", trimRight(lanes).c_str());
                    }
                }
                std::string row = time.substr(0, 10) + " " + time.substr(11, 12);  // 2026-12-08 03:10:01.123
                if (all) row += "  " + padRight(w.serial.empty() ? "-" : displaySerial(w.serial), 8);
                std::map<unsigned, std::map<std::string, std::string>> laneCells;
                for (std::size_t k = 0; k < keys.size(); ++k) {
                    const Reading *r = find(keys[k]);
                    std::string text = r && r->state == Reading::State::Ok ? r->text : "--";
                    unsigned lane = 0;
                    std::string field;
                    if (laneColumn(keys[k], lane, field)) {
                        // The unit is in the lane header: the cell is the number.
                        laneCells[lane][field] = r && r->state == Reading::State::Ok ? r->cell() : "--";
                        if (r && r->state == Reading::State::Ok && r->value.is_null()) laneCells[lane][field] = "-";
                        continue;
                    }
                    row += "  " + padRight(text, widths[k]);
                }
                std::printf("%s\n", trimRight(row).c_str());
                for (const auto &lane : laneCells) {
                    char number[16];
                    std::snprintf(number, sizeof number, "%4u", lane.first);
                    std::string line = padRight("", 23) + "  " + number;
                    for (std::size_t f = 0; f < laneFields.size(); ++f) {
                        const auto it = lane.second.find(laneFields[f]);
                        line += "  " + padRight(it == lane.second.end() ? "" : it->second, laneWidths[f]);
                    }
                    std::printf("%s\n", trimRight(line).c_str());
                }
            }
            flushStdout();
        }
    }
    std::signal(SIGINT, SIG_DFL);

    if (summary) {
        // min, max and mean of every numeric column, per board; on standard
        // error for CSV, so the log stays one table.
        std::FILE *out = csv ? stderr : stdout;
        if (inv.json) {
            Json boardsSummary = Json::array();
            for (std::size_t b = 0; b < boards.size(); ++b) {
                Json columns = Json::object();
                for (std::size_t k = 0; k < keys.size(); ++k) {
                    const auto it = tallies.find({b, keys[k]});
                    if (it == tallies.end()) continue;
                    const Tally &t = it->second;
                    columns[names[k]] = Json{{"min", t.min}, {"max", t.max}, {"mean", t.sum / static_cast<double>(t.n)},
                                             {"samples", t.n}};
                }
                boardsSummary.push_back(Json{{"board", boards[b].board}, {"columns", columns}});
            }
            std::fprintf(out, "%s\n", dumpJson(Json{{"summary", Json{{"rounds", rounds}, {"boards", boardsSummary}}}}).c_str());
        } else {
            std::size_t width = 6;
            for (const std::string &name : names) width = std::max(width, name.size());
            std::fprintf(out, "%ssummary of %llu sample%s%s\n", csv ? "" : "\n", static_cast<unsigned long long>(rounds),
                         rounds == 1 ? "" : "s", all ? " of each board" : "");
            for (std::size_t b = 0; b < boards.size(); ++b) {
                if (all)
                    std::fprintf(out, "board %s at device index %u\n",
                                 boards[b].serial.empty() ? "(serial unreadable)" : displaySerial(boards[b].serial).c_str(),
                                 static_cast<unsigned>(boards[b].link->id().index));
                std::fprintf(out, "%s  %-12s  %-12s  %-12s  %s\n", padRight("column", width).c_str(), "min", "max", "mean",
                             "samples");
                for (std::size_t k = 0; k < keys.size(); ++k) {
                    const auto it = tallies.find({b, keys[k]});
                    if (it == tallies.end()) continue;
                    const Tally &t = it->second;
                    // The unit's decimals, one more for the mean.
                    std::string unit = names[k].substr(names[k].rfind('_') + 1);
                    const int decimals = decimalsOf(unit);
                    auto shown = [&](double v, int extra) {
                        return decimals < 0 ? decimal(v) : roundedTo(v, decimals + extra);
                    };
                    std::fprintf(out, "%s  %-12s  %-12s  %-12s  %llu\n", padRight(names[k], width).c_str(),
                                 shown(t.min, 0).c_str(), shown(t.max, 0).c_str(),
                                 shown(t.sum / static_cast<double>(t.n), decimals < 0 ? 0 : 1).c_str(),
                                 static_cast<unsigned long long>(t.n));
                }
            }
        }
        std::fflush(out);
    }
    // A log of nothing but empty cells is no success, also for one board of
    // several: each board must have given one whole sample.
    std::string empty;
    std::size_t emptyBoards = 0;
    for (const Watched &w : boards) {
        if (w.whole != 0) continue;
        empty += (emptyBoards++ == 0 ? "the " : ", the ") + w.link->describe();
    }
    if (taken > 0 && emptyBoards > 0)
        c.failAfterOutput("no sample of " + empty + " was taken whole: every one of the " + std::to_string(rounds) +
                          " had a failed reading");
}

}  // namespace brevantctl
