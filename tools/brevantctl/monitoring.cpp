// monitoring.cpp - status and watch: the board's readings, the registry of
// reading sources, and the sampling loop.
#include "monitoring.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <algorithm>
#include <thread>

#include "handlers.h"

namespace brevantctl {

const char kStatusDetails[] =
    "Reads, in one go: the supply voltage (vcc, V), the temperature sensors named by --sensors (temp0, temp1, ... "
    "in C), the current monitor (current_monitor) and port 3 (port3) with its FTDI supply bit, bit 7 "
    "(ftdi_supply). Supply voltage, temperatures and the FTDI supply exist on type-1 boards only; on a type-0 "
    "board they show as not available, which is not a failure. A reading that fails is shown with its reason, the "
    "others are still read, and the exit status is 1.";

const char kWatchDetails[] =
    "Takes the readings of status every --interval seconds, --count times or until Ctrl-C, and prints one row "
    "each: aligned columns with a header, or with --csv comma-separated values whose first column (time) is an "
    "ISO-8601 UTC time stamp and whose header names each reading with its unit (vcc_V, temp0_C, ...), ready to "
    "log and plot; --json prints one JSON object a line. Readings the board type does not offer get no column. A "
    "reading that fails or times out leaves its cell empty (-- in the table), is reported on standard error, and "
    "the watch goes on; the board is reconnected before the next sample. Ctrl-C ends the watch with status 0.";

// ---- Readings ------------------------------------------------------------------

Reading Reading::number(std::string key, std::string label, std::string unit, double value) {
    Reading r;
    r.key = std::move(key);
    r.label = std::move(label);
    r.unit = std::move(unit);
    r.value = value;
    r.text = decimal(value);
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
    const std::string type1Only = "type-1 boards only";
    // One query: its reading, or the failed one.
    auto query = [&s](const std::string &key, const std::string &label, const std::string &unit,
                      const std::function<std::int32_t()> &ask, const std::function<Reading()> &ok) {
        const std::int32_t result = ask();
        s.add(result == VESKCFP2_CMD_OK ? ok() : Reading::failed(key, label, unit, Sample::failure(result)));
    };

    double volts = 0;
    if (type1)
        query("vcc", "supply voltage", "V", [&] { return veskcfp2_getVCC(board, &volts); },
              [&] { return Reading::number("vcc", "supply voltage", "V", volts); });
    else
        s.add(Reading::unavailable("vcc", "supply voltage", "V", type1Only));
    for (std::uint8_t sensor : sensorList(s.invocation())) {
        const std::string key = "temp" + std::to_string(sensor);
        const std::string label = "temperature " + std::to_string(sensor);
        double celsius = 0;
        if (type1)
            query(key, label, "C", [&] { return veskcfp2_getTemperature(board, sensor, &celsius); },
                  [&] { return Reading::number(key, label, "C", celsius); });
        else
            s.add(Reading::unavailable(key, label, "C", type1Only));
    }
    std::uint16_t current = 0;
    query("current_monitor", "current monitor", "", [&] { return veskcfp2_currentMonitor(board, &current); },
          [&] {
              return Reading::integer("current_monitor", "current monitor", "", current,
                                      hex(current, 4) + " (" + std::to_string(current) + ")");
          });
    std::uint8_t port3 = 0;
    query("port3", "port 3", "", [&] { return veskcfp2_getPort(board, 3, &port3); },
          [&] { return Reading::integer("port3", "port 3", "", port3, hex(port3, 2)); });
    if (!type1) {
        s.add(Reading::unavailable("ftdi_supply", "FTDI supply", "", type1Only));
    } else if (s.readings().back().state == Reading::State::Ok) {
        s.add(Reading::boolean("ftdi_supply", "FTDI supply", (port3 & 0x80) != 0, "on", "off"));
    } else {
        s.add(Reading::failed("ftdi_supply", "FTDI supply", "", "port 3 not read"));
    }
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

void runStatus(Context &c) {
    sensorList(c.invocation());  // a wrong list is a usage error before the board is touched
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
    for (const Reading &r : readings) {
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

void runWatch(Context &c) {
    const Invocation &inv = c.invocation();
    sensorList(inv);
    const double interval = intervalOption(inv);
    const std::optional<std::uint32_t> count = c.optionNumber("--count", 1, 0xFFFFFFFFu);
    const bool csv = inv.flag("--csv");
    if (csv && inv.json) throw UsageError("--csv and --json are two output formats; choose one");
    Link &link = c.board();
    const Json board = boardJson(link.id(), link.serial());
    c.printed();  // rows go out as they come

    interrupted = false;
    std::signal(SIGINT, onInterrupt);
    std::vector<std::string> keys;      // the columns, fixed by the first sample
    std::vector<std::size_t> widths;
    bool reconnect = false;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t n = 0; !interrupted && (!count || n < *count); ++n) {
        if (n > 0) sleepUntil(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double>(interval * static_cast<double>(n))));
        if (interrupted) break;
        if (reconnect) link.reconnect();
        const std::string time = timestamp(std::chrono::system_clock::now());
        const std::vector<Reading> readings = takeSample(c, link);
        // One line on standard error for a sample with failed readings.
        reconnect = false;
        std::string failures;
        std::size_t more = 0;
        for (const Reading &r : readings) {
            if (r.state != Reading::State::Failed) continue;
            reconnect = true;
            if (failures.empty()) failures = r.label + ": " + r.why;
            else ++more;
        }
        if (reconnect)
            std::fprintf(stderr, "brevantctl: watch: %s %s%s\n", time.c_str(), failures.c_str(),
                         more == 0 ? "" : ("; " + std::to_string(more) + " more failed").c_str());
        if (n == 0) {
            for (const Reading &r : readings) {
                if (r.state != Reading::State::Unavailable) keys.push_back(r.key);
            }
        }
        auto find = [&readings](const std::string &key) -> const Reading * {
            for (const Reading &r : readings) {
                if (r.key == key) return &r;
            }
            return nullptr;
        };
        if (inv.json) {
            Json line = Json::object();
            line["time"] = time;
            line["board"] = board;
            line["readings"] = readingsJson(readings);
            std::printf("%s\n", dumpJson(line).c_str());
        } else if (csv) {
            if (n == 0) {
                std::string header = "time";
                for (const std::string &key : keys) {
                    const Reading *r = find(key);
                    header += "," + csvField(csvColumn(*r));
                }
                std::printf("%s\n", header.c_str());
            }
            std::string row = time;
            for (const std::string &key : keys) {
                const Reading *r = find(key);
                row += "," + (r ? csvField(r->cell()) : std::string());
            }
            std::printf("%s\n", row.c_str());
        } else {
            if (n == 0) {
                // The times are UTC, as in the CSV: say so.
                std::string header = "time (UTC)  ";
                for (const std::string &key : keys) {
                    const Reading *r = find(key);
                    const std::string name = key + (r->unit.empty() ? "" : "/" + r->unit);
                    widths.push_back(std::max<std::size_t>(name.size(), 10));
                    header += "  " + name + std::string(widths.back() - name.size(), ' ');
                }
                while (!header.empty() && header.back() == ' ') header.pop_back();
                std::printf("%s\n", header.c_str());
            }
            std::string row = time.substr(11, 12);  // hh:mm:ss.mmm
            for (std::size_t k = 0; k < keys.size(); ++k) {
                const Reading *r = find(keys[k]);
                const std::string text = r && r->state == Reading::State::Ok ? r->text : "--";
                row += "  " + text + std::string(text.size() < widths[k] ? widths[k] - text.size() : 0, ' ');
            }
            while (!row.empty() && row.back() == ' ') row.pop_back();
            std::printf("%s\n", row.c_str());
        }
        flushStdout();
    }
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace brevantctl
